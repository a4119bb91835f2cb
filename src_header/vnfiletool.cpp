// vnfiletool: the settings library shared by the printer's tools. Owns the rc-file
// loader, which start-up calls once to fill g_rcInfo, and the queries, setters and
// constraint-list operations on an RcInfo, which the settings conversion, the paper
// lookups and the blank-page test call afterwards. Keeps no state of its own: all
// of it lives in the RcInfo it is given. Its traces go to Debug_dummy.
#include "vnfiletool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debugtool.h"
#include "fileptr.h"
#include "vnerror.h"

// A caller's broken contract: stops the process with an assertion report that names the
// condition, this source and the function. The checks stay on in release builds.
#define VN_ASSERT(cond)                                                                   \
    ((cond) ? static_cast<void>(0)                                                        \
            : ContractBroken(#cond, "../../src_header/vnfiletool", __LINE__, __func__))

namespace {

// Writes the report in the C library's assertion format, which administrators' log
// filters know ("prog: file:line: function: Assertion `cond' failed."), and aborts.
[[noreturn]] void ContractBroken(const char* pszCondition, const char* pszFile, unsigned int nLine,
                                 const char* pszFunction)
{
    fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, pszFile, nLine,
            pszFunction, pszCondition);
    abort();
}

constexpr int kLineSize = 1024;            // an rc line is read in pieces of 1023 characters
constexpr size_t kMaxConstraintLen = 1024; // longest constraint string AddConstraint takes

// Type codes of the rows, as GetParamType reports them.
enum ParamType : int {
    kTypeSelect = 0,      // choice row
    kTypeNumber = 1,      // number row
    kTypeSelectExt = 2,   // choice row, handled like kTypeSelect
    kTypeNoValue = 3,     // no reportable value; also the answer for a row outside the table
};

// The type code of every row of tblVnParams, by row number.
constexpr int tblParamType[kParamCount] = {
    kTypeSelect, kTypeSelect, kTypeSelect, kTypeSelect,            // 0-3
    kTypeNumber,                                                   // 4 Copies
    kTypeSelect, kTypeSelect, kTypeSelect, kTypeSelect,            // 5-8
    kTypeSelect, kTypeSelect, kTypeSelect, kTypeSelect,            // 9-12
    kTypeNumber, kTypeNumber, kTypeNumber, kTypeNumber,            // 13-16
    kTypeNumber, kTypeNumber,                                      // 17-18
    kTypeSelect,                                                   // 19 VNDuplex
    kTypeNoValue,                                                  // 20 VNSkipBlank
    kTypeSelectExt,                                                // 21 Language
};

// Rows of the record that may be addressed: nParamCount, never more than the fixed table.
int RowCount(const RcInfo* pRcInfo)
{
    if (!pRcInfo->pParamTable || pRcInfo->nParamCount <= 0)
        return 0;
    return std::min<int>(pRcInfo->nParamCount, kParamCount);
}

ParamEntry* RowOf(RcInfo* pRcInfo, int nRow)
{
    if (nRow < 0 || nRow >= RowCount(pRcInfo))
        return nullptr;
    return &pRcInfo->pParamTable[nRow];
}

// Choices a row really has: none without a word table, never more than the flags cover.
int ChoiceCount(const ParamEntry* pParam)
{
    if (!pParam->pCmdItem || pParam->nItemCount <= 0)
        return 0;
    return std::min<int>(pParam->nItemCount, kMaxItems);
}

// The word of the row's current choice, or null when it has none.
const char* CurrentWord(const ParamEntry* pParam)
{
    if (pParam->nIndex < 0 || pParam->nIndex >= ChoiceCount(pParam))
        return nullptr;
    return pParam->pCmdItem[pParam->nIndex];
}

// A decimal number as strtol reads it: optional sign and digits, the reading stops at
// the first other character, no digits give 0. A number beyond long long reads as the
// nearest bound, so 99999999999999999999 is LLONG_MAX.
long long ReadNumber(const char* pszText)
{
    return strtoll(pszText, nullptr, 10);
}

// What the 16-bit fields keep of a number: its low 16 bits.
int16_t Low16(long long nNumber)
{
    return static_cast<int16_t>(nNumber);
}

// The section line "[name]", blanks already removed: the name runs to the first "]" or
// to the end of the line. false when it is empty or does not fit szPrinterName.
bool ReadSectionLine(const char* pszLine, RcInfo* pRcInfo)
{
    const char* pszName = pszLine + 1;
    size_t nLen = strcspn(pszName, "]");
    if (nLen == 0 || nLen >= sizeof pRcInfo->szPrinterName)
        return false;
    memcpy(pRcInfo->szPrinterName, pszName, nLen);
    pRcInfo->szPrinterName[nLen] = '\0';
    return true;
}

// Splits "key=value" at the first "=" and looks the key up in the rows of pRcInfo. The
// value is copied to pszValue, which must have room for as many characters as pszLine.
// Results: the row number; -1 no row has the key; -2 the line has no "=" (nothing copied).
int SearchParam(const RcInfo* pRcInfo, const char* pszLine, char* pszValue)
{
    const char* pEqual = strchr(pszLine, '=');
    if (!pEqual)
        return -2;
    strcpy(pszValue, pEqual + 1);
    size_t nKeyLen = static_cast<size_t>(pEqual - pszLine);
    for (int nRow = 0; nRow < RowCount(pRcInfo); ++nRow) {
        const char* pszName = pRcInfo->pParamTable[nRow].pszName;
        if (pszName && strncmp(pszName, pszLine, nKeyLen) == 0 && pszName[nKeyLen] == '\0')
            return nRow;
    }
    return -1;
}

// A "key=value" line: stores the value in the key's row. Lines without "=", unknown keys
// and words of no choice are passed over; numbers are taken without a range check.
void ApplyKeyLine(const char* pszLine, RcInfo* pRcInfo)
{
    char szValue[kLineSize];
    int nRow = SearchParam(pRcInfo, pszLine, szValue);
    if (nRow < 0 || nRow >= kParamCount)
        return;
    if (tblParamType[nRow] == kTypeNumber)
        SetNumericalParam(nRow, szValue, pRcInfo, 0);
    else
        SetSelectionParam(nRow, szValue, pRcInfo, 0);
}

}  // namespace

// Reads the rc file line by line into pRcInfo: first the section line that names the
// printer, then "key=value" lines; blank lines and "#" comments anywhere. Results:
// 0 the whole file was read; 1 the file cannot be opened or read (message with the
// path); 5 a key line before the section line, a second section line, or a section
// line without a name or with one of 32 characters or more (settings of earlier lines
// stay). The file is closed on every return.
int LoadRcFile(const char* pszPath, RcInfo* pRcInfo)
{
    VN_ASSERT(pRcInfo);
    FilePtr fp(fopen(pszPath, "r"));
    if (!fp)
        return VnError(1, pszPath);
    char szLine[kLineSize];
    bool bSectionSeen = false;
    while (ReadWholeLine(szLine, sizeof szLine, fp.get())) {
        EraseSpace(szLine);
        if (szLine[0] == '\0' || szLine[0] == '#')
            continue;
        if (szLine[0] == '[') {
            if (bSectionSeen || !ReadSectionLine(szLine, pRcInfo))
                return VnError(5, nullptr);
            bSectionSeen = true;
            continue;
        }
        if (!bSectionSeen)
            return VnError(5, nullptr);
        ApplyKeyLine(szLine, pRcInfo);
    }
    // A file that opens but cannot be read (a directory, an I/O error) was not read whole.
    if (ferror(fp.get()))
        return VnError(1, pszPath);
    return 0;
}

// Reads at most nSize - 1 characters, up to and including a newline, and cuts the
// newline; a carriage return stays. The rest of a longer line comes with the next call.
// Null at end of file, on a read error, or without room for a character.
char* ReadLine(char* pszBuf, int nSize, FILE* fp)
{
    if (!pszBuf || nSize < 2 || !fp)
        return nullptr;
    if (!fgets(pszBuf, nSize, fp))
        return nullptr;
    if (char* pNewline = strchr(pszBuf, '\n'))
        *pNewline = '\0';
    return pszBuf;
}

char* ReadWholeLine(char* pszBuf, int nSize, FILE* fp)
{
    if (!ReadLine(pszBuf, nSize, fp))
        return nullptr;
    // A line that filled the buffer stopped before its newline: skip to it.
    if (strlen(pszBuf) == size_t(nSize - 1)) {
        int c;
        while ((c = getc(fp)) != EOF && c != '\n') {
        }
    }
    return pszBuf;
}

char* EraseSpace(char* pszText)
{
    if (!pszText)
        return pszText;
    char* pTo = pszText;
    for (const char* pFrom = pszText; *pFrom; ++pFrom)
        if (*pFrom != ' ' && *pFrom != '\t')
            *pTo++ = *pFrom;
    *pTo = '\0';
    return pszText;
}

// Splits "key=value" at the first "=" and looks the key up in g_rcInfo; see SearchParam.
int ParamSearch(const char* pszLine, char* pszValue)
{
    return SearchParam(&g_rcInfo, pszLine, pszValue);
}

// Stores the number in the row's nValue as its low 16 bits. With bCheck the number
// itself must lie within nMin..nMax, else nValue is kept and the result is -3.
// Results: 0 stored; -1 no such row; -3 out of range.
int SetNumericalParam(int nRow, const char* pszValue, RcInfo* pRcInfo, int bCheck)
{
    VN_ASSERT(pRcInfo);
    ParamEntry* pParam = RowOf(pRcInfo, nRow);
    if (!pParam || !pszValue)
        return -1;
    long long nNumber = ReadNumber(pszValue);
    int nResult = 0;
    if (bCheck && (nNumber < pParam->nMin || nNumber > pParam->nMax))
        nResult = -3;
    else
        pParam->nValue = Low16(nNumber);
    Debug_dummy("SetNumericalParam: check(%d) index(%d) val(%d) min(%d) max(%d) nResult(%d)\n",
                bCheck, nRow, Low16(nNumber), pParam->nMin, pParam->nMax, nResult);
    return nResult;
}

// Selects the choice whose word equals pszValue (the first one). With bCheck the choice
// must be enabled: when it is not, the row is left without a choice (nIndex -1).
// Results: 0 selected; -1 no such row, a row without choices or no equal word (row
// unchanged); -2 the choice is not enabled.
int SetSelectionParam(int nRow, const char* pszValue, RcInfo* pRcInfo, int bCheck)
{
    VN_ASSERT(pRcInfo);
    ParamEntry* pParam = RowOf(pRcInfo, nRow);
    if (!pParam || !pszValue)
        return -1;
    for (int i = 0; i < ChoiceCount(pParam); ++i) {
        if (!pParam->pCmdItem[i] || strcmp(pParam->pCmdItem[i], pszValue) != 0)
            continue;
        if (bCheck && pParam->nEnable[i] != 1) {
            pParam->nIndex = -1;
            return -2;
        }
        pParam->nIndex = static_cast<int16_t>(i);
        return 0;
    }
    return -1;
}

// The word of the current choice of the first row keyed pszKey. Null when no row has
// the key, or the row has no current word (a number row, or no choice).
const char* GetKeyValue(const char* pszKey, RcInfo* pRcInfo)
{
    VN_ASSERT(pRcInfo);
    if (!pszKey)
        return nullptr;
    for (int nRow = 0; nRow < RowCount(pRcInfo); ++nRow) {
        const ParamEntry* pParam = &pRcInfo->pParamTable[nRow];
        if (pParam->pszName && strcmp(pParam->pszName, pszKey) == 0)
            return CurrentWord(pParam);
    }
    return nullptr;
}

// The inner value of the row's current choice. The caller passes a choice row that has
// a current choice.
uint16_t GetPjpInnerValue(int nRow, RcInfo* pRcInfo)
{
    VN_ASSERT(pRcInfo);
    const ParamEntry* pParam = RowOf(pRcInfo, nRow);
    VN_ASSERT(pParam);
    if (pParam->nIndex < 0)
        Debug_dummy("ID(%d) index(%d)\n", nRow, pParam->nIndex);
    VN_ASSERT(pParam->nIndex >= 0);
    VN_ASSERT(pParam->pInnerVal && pParam->nIndex < ChoiceCount(pParam));
    return static_cast<uint16_t>(pParam->pInnerVal[pParam->nIndex]);
}

// The row's type code; kTypeNoValue (3) for a row outside the table.
int GetParamType(int nRow, RcInfo* pRcInfo)
{
    VN_ASSERT(pRcInfo);
    if (nRow < 0 || nRow >= RowCount(pRcInfo))
        return kTypeNoValue;
    return tblParamType[nRow];
}

// Writes the row's current value as text: the word of a choice row, the decimal number
// of a number row within its bounds. The buffer takes at most nSize - 2 characters.
// Results: 0 written; -1 no such row, no value to report, or no room (buffer untouched).
int GetParamItemValue(int nRow, RcInfo* pRcInfo, char* pszBuf, int nSize)
{
    VN_ASSERT(pRcInfo);
    VN_ASSERT(pszBuf);
    VN_ASSERT(nSize);
    const ParamEntry* pParam = RowOf(pRcInfo, nRow);
    if (!pParam)
        return -1;
    char szNumber[8];
    const char* pszText = nullptr;
    switch (tblParamType[nRow]) {
    case kTypeSelect:
    case kTypeSelectExt:
        if (pParam->pPrmItem)
            pszText = CurrentWord(pParam);
        break;
    case kTypeNumber:
        if (pParam->nMin <= pParam->nMax && pParam->nMin <= pParam->nValue &&
            pParam->nValue <= pParam->nMax) {
            snprintf(szNumber, sizeof szNumber, "%d", pParam->nValue);
            pszText = szNumber;
        }
        break;
    default:
        break;
    }
    if (!pszText)
        return -1;
    size_t nLen = strlen(pszText);
    if (nSize < 2 || nLen >= static_cast<size_t>(nSize - 1)) {
        Debug_dummy("ERROR: Insufficient buffer size.\n");
        return -1;
    }
    memcpy(pszBuf, pszText, nLen + 1);
    return 0;
}

// Selects a choice by its word with its enable flag honoured; results as
// SetSelectionParam with the check on.
int SetIndicatedCmdParam(int nRow, const char* pszWord, RcInfo* pRcInfo)
{
    return SetSelectionParam(nRow, pszWord, pRcInfo, 1);
}

// The first row of g_rcInfo whose switch text is pszSwitch; -1 when none.
int CommandSearch(const char* pszSwitch)
{
    if (!pszSwitch)
        return -1;
    for (int nRow = 0; nRow < RowCount(&g_rcInfo); ++nRow) {
        const char* pszCmd = g_rcInfo.pParamTable[nRow].pszCmdSwitch;
        if (pszCmd && strcmp(pszCmd, pszSwitch) == 0)
            return nRow;
    }
    return -1;
}

namespace {

// A choice hits when an item of the list equals the value whole.
bool IsWordInList(const char* pszValue, const char* pList, const char* pEnd)
{
    size_t nValueLen = strlen(pszValue);
    for (const char* pItem = pList;; ++pItem) {
        const char* pItemEnd = std::find(pItem, pEnd, ',');
        if (static_cast<size_t>(pItemEnd - pItem) == nValueLen &&
            memcmp(pItem, pszValue, nValueLen) == 0)
            return true;
        if (pItemEnd == pEnd)
            return false;
        pItem = pItemEnd;
    }
}

// A number item "n" or a range "a~b" (either order; "a~" is a alone, "~b" is 0 to b).
// The item must be NUL-terminated; the tilde is overwritten.
bool IsNumberInItem(int16_t nValue, char* pszItem)
{
    char* pTilde = strchr(pszItem, '~');
    if (!pTilde)
        return nValue == Low16(ReadNumber(pszItem));
    *pTilde = '\0';
    int16_t nFirst = Low16(ReadNumber(pszItem));
    int16_t nSecond = pTilde[1] ? Low16(ReadNumber(pTilde + 1)) : nFirst;
    return std::min(nFirst, nSecond) <= nValue && nValue <= std::max(nFirst, nSecond);
}

// Walks the items up to pEnd (the list's "}"), terminating each one in place.
bool IsNumberInList(const char* pszValue, char* pList, char* pEnd)
{
    int16_t nValue = Low16(ReadNumber(pszValue));
    for (char* pItem = pList;; ++pItem) {
        char* pItemEnd = std::find(pItem, pEnd, ',');
        bool bLast = pItemEnd == pEnd;
        *pItemEnd = '\0';
        if (IsNumberInItem(nValue, pItem))
            return true;
        if (bLast)
            return false;
        pItem = pItemEnd;
    }
}

}  // namespace

// 1 when pszValue is an item of the pattern's first list "{item,item,...}", else 0.
// Choice types (0, 2) compare words exactly and leave the pattern as it is. The number
// type (1) matches numbers and ranges "a~b" by their low 16 bits and writes a NUL over
// each item's ending comma or "}" and over its tilde, up to the item that hits: the
// pattern must be a writable copy the caller does not use again. Nothing beyond the
// list's "}" is read or written.
int IsItemHit(int nType, const char* pszValue, char* pszPattern)
{
    if (!pszValue || !pszPattern)
        return 0;
    char* pOpen = strchr(pszPattern, '{');
    char* pClose = strchr(pszPattern, '}');
    if (!pOpen || !pClose || pClose < pOpen)
        return 0;
    switch (nType) {
    case kTypeSelect:
    case kTypeSelectExt:
        return IsWordInList(pszValue, pOpen + 1, pClose) ? 1 : 0;
    case kTypeNumber:
        return IsNumberInList(pszValue, pOpen + 1, pClose) ? 1 : 0;
    default:
        return 0;
    }
}

// Appends a copy of the constraint, cut after its last "}", to the list. Nothing is
// stored for an empty text or one longer than kMaxConstraintLen, a text without "}", a
// copy equal to a string already listed, a failed allocation, or a full list.
void AddConstraint(const char* pszConstraint, RcInfo* pRcInfo)
{
    VN_ASSERT(pRcInfo);
    size_t nLen = pszConstraint ? strlen(pszConstraint) : 0;
    if (nLen == 0 || nLen > kMaxConstraintLen) {
        Debug_dummy("Invalid length of constraint string(%d).\n", static_cast<int>(nLen));
        return;
    }
    const char* pLastBrace = strrchr(pszConstraint, '}');
    if (!pLastBrace)
        return;
    if (pRcInfo->nConstraintCount >= kMaxConstraints) {
        Debug_dummy("The constraint list is full.\n");
        return;
    }
    size_t nCopyLen = static_cast<size_t>(pLastBrace - pszConstraint) + 1;
    char* pszCopy = static_cast<char*>(malloc(nCopyLen + 1));
    if (!pszCopy) {
        Debug_dummy("Insufficient Memory.\n");
        return;
    }
    memcpy(pszCopy, pszConstraint, nCopyLen);
    pszCopy[nCopyLen] = '\0';
    for (int i = 0; i < pRcInfo->nConstraintCount; ++i) {
        if (pRcInfo->ppszConstraint[i] && strcmp(pRcInfo->ppszConstraint[i], pszCopy) == 0) {
            Debug_dummy("The constraint is already Added: %s\n", pszCopy);
            free(pszCopy);
            return;
        }
    }
    pRcInfo->ppszConstraint[pRcInfo->nConstraintCount] = pszCopy;
    ++pRcInfo->nConstraintCount;
}

// Frees every string AddConstraint appended; the built-in ones stay.
void FreeConstraint(RcInfo* pRcInfo)
{
    VN_ASSERT(pRcInfo);
    while (pRcInfo->nConstraintCount > pRcInfo->nFixedConstraint) {
        --pRcInfo->nConstraintCount;
        free(pRcInfo->ppszConstraint[pRcInfo->nConstraintCount]);
        pRcInfo->ppszConstraint[pRcInfo->nConstraintCount] = nullptr;
    }
}
