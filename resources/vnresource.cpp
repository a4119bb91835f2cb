// vnresource: the printer's parameter table. Owns tblVnParams, the choice tables behind
// its rows, the constraint list and g_rcInfo. The rc-file loader and the setters of
// vnfiletool write the current values; the conversion, the paper lookups and the blank
// test read them. Everything here is constant-initialised, so no code that runs before
// main can see the table half built.
#include "vnresource.h"

#include <cstddef>
#include <iterator>

namespace {

// Row 0 "MediaType". No choice has the inner value 4.
constexpr const char* tblPrmItem_Media[] = {
    "Plain Paper", "Thin Paper", "Thick Paper", "Thicker Paper", "Bond Paper",
    "Recycled Paper", "Envelopes", "Env.Thin", "Env.Thick", "PostCard", "Label",
    "Glossy Paper"};
constexpr const char* tblCmdItem_Media[] = {
    "Plain", "Thin", "Thick", "Thicker", "BOND", "Recycled",
    "Env", "EnvThin", "EnvThick", "PostCard", "Label", "Glossy"};
constexpr int16_t tblInnerVal_Media[] = {0, 1, 2, 3, 6, 5, 7, 8, 9, 10, 11, 12};

// Row 1 "PageSize": the word is also the paper's key in the paper-information files.
constexpr const char* tblPrmItem_PaperType[] = {
    "A4", "Letter", "Legal", "Executive", "A5", "PRA5Rotated", "A6", "ISO B5", "JIS B5",
    "JIS B6", "DL", "C5", "Com-10", "Monarch", "3 x 5", "Folio", "Hagaki", "Envelope #4",
    "Envelope MAX", "270mm Paper", "16K(195x270mm)", "16K(184x260mm)", "16K(197x273mm)",
    "Mexico Legal", "India Legal"};
constexpr const char* tblCmdItem_PaperType[] = {
    "A4", "Letter", "Legal", "Executive", "A5", "PRA5Rotated", "A6", "ISOB5", "JISB5",
    "JISB6", "EnvDL", "EnvC5", "Env10", "EnvMonarch", "Vn3x5", "FanFoldGermanLegal",
    "Postcard", "EnvYou4", "EnvChou3", "210x270mm", "195x270mm", "184x260mm", "197x273mm",
    "MexicanLegal", "IndianLegal"};
constexpr int16_t tblInnerVal_PaperType[] = {
    9, 1, 5, 7, 11, 61, 70, 13, 34, 69, 27, 28, 20, 37, 261, 14, 43, 91, 73, 74, 77, 76, 75,
    78, 79};

// Row 2 "InputSlot".
constexpr const char* tblPrmItem_PaperSource[] = {
    "Auto Select", "Tray 1", "Tray 2", "Tray 3", "Tray 4", "Tray 5", "MP Tray", "Manual"};
constexpr const char* tblCmdItem_PaperSource[] = {
    "AutoSelect", "Tray1", "Tray2", "Tray3", "Tray4", "Tray5", "MPTray", "Manual"};
constexpr int16_t tblInnerVal_PaperSource[] = {0, 1, 2, 3, 4, 5, 6, 7};

// Row 3 "VNResolution".
constexpr const char* tblPrmItem_Resolution[] = {"Normal(600*600dpi)", "Fine(2400 dpi class)"};
constexpr const char* tblCmdItem_Resolution[] = {"Normal", "Fine"};
constexpr int16_t tblInnerVal_Resolution[] = {1, 2};

// Row 5 "Collate".
constexpr const char* tblPrmItem_Collate[] = {"OFF", "ON"};
constexpr const char* tblCmdItem_Collate[] = {"OFF", "ON"};
constexpr int16_t tblInnerVal_Collate[] = {0, 1};

// Row 6 "VNReverse": one table serves as labels and words.
constexpr const char* tblPrmItem_ReversePrinting[] = {"OFF", "ON"};
constexpr int16_t tblInnerVal_ReversePrinting[] = {0, 1};

// Row 7 "VNMonoColor".
constexpr const char* tblPrmItem_ColorOrMono[] = {"Auto", "FullColor", "Mono"};
constexpr const char* tblCmdItem_ColorOrMono[] = {"Auto", "FullColor", "Mono"};
constexpr int16_t tblInnerVal_ColorOrMono[] = {2, 1, 0};

// Row 8 "VNColorMatching".
constexpr const char* tblPrmItem_ColorMatch[] = {"Auto", "Normal", "Vivid", "None"};
constexpr const char* tblCmdItem_ColorMatch[] = {"Auto", "Normal", "Vivid", "None"};
constexpr int16_t tblInnerVal_ColorMatch[] = {3, 1, 2, 0};

// Row 9 "VNGray": one table serves as labels and words.
constexpr const char* tblPrmItem_Gray[] = {"OFF", "ON"};
constexpr int16_t tblInnerVal_Gray[] = {0, 1};

// Row 10 "VNEnhanceBlkPrt": one table serves as labels and words.
constexpr const char* tblPrmItem_ColorEnhance[] = {"OFF", "ON"};
constexpr int16_t tblInnerVal_ColorEnhance[] = {0, 1};

// Row 11 "TonerSaveMode": one table serves as labels and words.
constexpr const char* tblPrmItem_TonerSaveMode[] = {"OFF", "ON"};
constexpr int16_t tblInnerVal_TonerSaveMode[] = {0, 1};

// Row 12 "VNImproveOutput".
constexpr const char* tblPrmItem_ImproveOutput[] = {
    "off", "Reduce Paper Curl", "Improve Toner Fixing"};
constexpr const char* tblCmdItem_ImproveOutput[] = {"OFF", "VNLessPaperCurl", "VNFixIntensity"};
constexpr int16_t tblInnerVal_ImproveOutput[] = {0, 1, 2};

// Row 19 "VNDuplex".
constexpr const char* tblPrmItem_Duplex[] = {
    "Off", "Shot-edged binding", "Long-edged binding"};
constexpr const char* tblCmdItem_Duplex[] = {"None", "DuplexTumble", "DuplexNoTumble"};
constexpr int16_t tblInnerVal_Duplex[] = {0, 1, 2};

// Row 20 "VNSkipBlank": one table serves as labels and words.
constexpr const char* tblPrmItem_SKIP_BLANK[] = {"OFF", "ON"};
constexpr int16_t tblInnerVal_SKIP_BLANK[] = {0, 1};

// Row 21 "Language".
constexpr const char* tblPrmItem_Language[] = {"LANG_USA", "LANG_CANADA", "LANG_OTHER"};
constexpr const char* tblCmdItem_Language[] = {"us", "canada", "other"};
constexpr int16_t tblInnerVal_Language[] = {1, 2, 0};

enum class Enable { kNone, kAll };   // the choices' enable flags: all 0 or all 1

// A choice row. The three tables must have one entry per choice; the compiler checks
// that through N.
template <size_t N>
constexpr ParamEntry ChoiceRow(const char* pszName, const char* pszCmdSwitch,
                               const char* const (&pPrmItem)[N],
                               const char* const (&pCmdItem)[N],
                               const int16_t (&pInnerVal)[N], int16_t nIndex,
                               Enable enable = Enable::kNone)
{
    static_assert(N <= kMaxItems, "a row holds at most kMaxItems choices");
    ParamEntry row{};
    row.pszName = pszName;
    row.pszCmdSwitch = pszCmdSwitch;
    row.nItemCount = static_cast<int16_t>(N);
    row.pPrmItem = pPrmItem;
    row.pCmdItem = pCmdItem;
    row.pInnerVal = pInnerVal;
    for (size_t i = 0; i < N; ++i)
        row.nEnable[i] = enable == Enable::kAll ? 1 : 0;
    row.nIndex = nIndex;
    return row;
}

// A number row: no choices, no current choice.
constexpr ParamEntry NumberRow(const char* pszName, const char* pszCmdSwitch, int16_t nValue)
{
    ParamEntry row{};
    row.pszName = pszName;
    row.pszCmdSwitch = pszCmdSwitch;
    row.nValue = nValue;
    row.nIndex = -1;
    return row;
}

// The built-in constraint strings. They belong to the list for the whole run and are
// never freed; the list's type makes them writable arrays.
char szConstraintResolution[] =
    "PaperType={A4_B,Letter_B,A6_B,Photo_B,IndexCard_B,PhotoL_B,Photo2L_B,Hagaki_B}"
    "*RResolution={300,600,750,1200,1200x2400}";
char szConstraintMedia[] =
    "PaperType={A4_B,Letter_B,A6_B,Photo_B,IndexCard_B,PhotoL_B,Photo2L_B,Hagaki_B}"
    "*Media={PlainPaper,InkjetPaper,GlossyPaper,SlowDryingPaper}";

}  // namespace

// The 22 rows, in their fixed order (see ParamRow); the initial choices are the
// defaults of a job whose rc file does not name the key.
constinit ParamEntry tblVnParams[kParamCount] = {
    ChoiceRow("MediaType", "-md", tblPrmItem_Media, tblCmdItem_Media, tblInnerVal_Media, 0),
    ChoiceRow("PageSize", "-pt", tblPrmItem_PaperType, tblCmdItem_PaperType,
              tblInnerVal_PaperType, 0),
    ChoiceRow("InputSlot", "-inslot", tblPrmItem_PaperSource, tblCmdItem_PaperSource,
              tblInnerVal_PaperSource, 0),
    ChoiceRow("VNResolution", "-reso", tblPrmItem_Resolution, tblCmdItem_Resolution,
              tblInnerVal_Resolution, 1),
    NumberRow("Copies", "-copies", 1),
    ChoiceRow("Collate", "-collate", tblPrmItem_Collate, tblCmdItem_Collate,
              tblInnerVal_Collate, 0),
    ChoiceRow("VNReverse", "-rev", tblPrmItem_ReversePrinting, tblPrmItem_ReversePrinting,
              tblInnerVal_ReversePrinting, 0),
    ChoiceRow("VNMonoColor", "-corm", tblPrmItem_ColorOrMono, tblCmdItem_ColorOrMono,
              tblInnerVal_ColorOrMono, 0),
    ChoiceRow("VNColorMatching", "-cm", tblPrmItem_ColorMatch, tblCmdItem_ColorMatch,
              tblInnerVal_ColorMatch, 0),
    ChoiceRow("VNGray", "-gray", tblPrmItem_Gray, tblPrmItem_Gray, tblInnerVal_Gray, 0),
    ChoiceRow("VNEnhanceBlkPrt", "-bp", tblPrmItem_ColorEnhance, tblPrmItem_ColorEnhance,
              tblInnerVal_ColorEnhance, 0),
    ChoiceRow("TonerSaveMode", "-ts", tblPrmItem_TonerSaveMode, tblPrmItem_TonerSaveMode,
              tblInnerVal_TonerSaveMode, 0),
    ChoiceRow("VNImproveOutput", "-improve", tblPrmItem_ImproveOutput,
              tblCmdItem_ImproveOutput, tblInnerVal_ImproveOutput, 0),
    NumberRow("Brightness", "-brit", 0),
    NumberRow("Contrast", "-cont", 0),
    NumberRow("RedKey", "-red", 0),
    NumberRow("GreenKey", "-green", 0),
    NumberRow("BlueKey", "-blue", 0),
    NumberRow("Saturation", "-satu", 0),
    ChoiceRow("VNDuplex", "-duplex", tblPrmItem_Duplex, tblCmdItem_Duplex,
              tblInnerVal_Duplex, 0),
    ChoiceRow("VNSkipBlank", "-sb", tblPrmItem_SKIP_BLANK, tblPrmItem_SKIP_BLANK,
              tblInnerVal_SKIP_BLANK, 0, Enable::kAll),
    ChoiceRow("Language", nullptr, tblPrmItem_Language, tblCmdItem_Language,
              tblInnerVal_Language, 0, Enable::kAll),
};

// The constraint strings: the built-in ones first, then those that AddConstraint appends.
constinit char* tblConstraint[kMaxConstraints] = {szConstraintResolution, szConstraintMedia};

constinit RcInfo g_rcInfo = {
    "",                  // szReserved
    "",                  // szPrinterName: set by the rc file's section line
    kParamCount,
    tblVnParams,
    kFixedConstraints,
    kFixedConstraints,   // nConstraintCount
    tblConstraint,
};
