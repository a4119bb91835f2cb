// vnresource: the printer's parameter table. Owns tblVnParams (22 rows, current values
// writable), the choice tables behind it, the constraint list and g_rcInfo. Rows are
// addressed by their fixed numbers below.
#pragma once

#include <cstdint>

constexpr int kMaxItems = 30;         // choices a row can hold
constexpr int kParamCount = 22;       // rows of tblVnParams
constexpr int kMaxConstraints = 100;  // room in tblConstraint
constexpr int kFixedConstraints = 2;  // built-in strings at the head of the list

// Fixed row numbers of tblVnParams.
enum ParamRow : int {
    kRowMediaType = 0, kRowPageSize = 1, kRowInputSlot = 2, kRowResolution = 3,
    kRowCopies = 4, kRowCollate = 5, kRowReverse = 6, kRowMonoColor = 7,
    kRowColorMatching = 8, kRowGray = 9, kRowEnhanceBlkPrt = 10, kRowTonerSave = 11,
    kRowImproveOutput = 12, kRowBrightness = 13, kRowContrast = 14, kRowRedKey = 15,
    kRowGreenKey = 16, kRowBlueKey = 17, kRowSaturation = 18, kRowDuplex = 19,
    kRowSkipBlank = 20, kRowLanguage = 21,
};

struct ParamEntry {
    const char* pszName;              // key in the rc file
    const char* pszCmdSwitch;         // command-line switch text; null for "Language"
    int16_t nItemCount;               // choices; 0 for number rows
    const char* const* pPrmItem;      // display labels; null for number rows
    const char* const* pCmdItem;      // words of the choices; null for number rows
    const int16_t* pInnerVal;         // inner value of each choice; null for number rows
    int16_t nEnable[kMaxItems];       // per-choice enable flags
    int16_t nMax;                     // bounds and current value of a number row
    int16_t nMin;
    int16_t nValue;
    int16_t nIndex;                   // current choice; -1 for none
};

struct RcInfo {
    char szReserved[32];              // stays empty
    char szPrinterName[32];           // from the rc file's section line
    int32_t nParamCount;              // 22
    ParamEntry* pParamTable;          // tblVnParams
    int16_t nFixedConstraint;         // 2
    int16_t nConstraintCount;         // current number of constraint strings
    char** ppszConstraint;            // tblConstraint
};

extern ParamEntry tblVnParams[kParamCount];
extern char* tblConstraint[kMaxConstraints];
extern RcInfo g_rcInfo;
