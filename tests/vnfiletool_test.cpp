#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "settings_fixture.h"
#include "vnfiletool.h"
#include "vnresource.h"

namespace {

using settings_test::SettingsTest;

class RcFileLoader : public SettingsTest {};
class ParamSetter : public SettingsTest {};
class ParamQuery : public SettingsTest {};
class ParamConstraint : public SettingsTest {};
class ParamContractDeathTest : public SettingsTest {};

constexpr const char* kBadSectionMessage = "Error: invalid printer name at rc-file !!\n";

// A writable copy of exactly the pattern's size, so a read or write past its end shows
// in the sanitizer build.
std::vector<char> Writable(const char* psz)
{
    return std::vector<char>(psz, psz + std::strlen(psz) + 1);
}

int OpenDescriptorCount()
{
    int nCount = 0;
    DIR* pDir = opendir("/proc/self/fd");
    if (!pDir)
        return -1;
    while (readdir(pDir))
        ++nCount;
    closedir(pDir);
    return nCount;
}

// ---- the rc-file loader ----

// The loader's result and what it printed on standard error.
struct LoadResult { int nResult; std::string err; };

LoadResult LoadCaptured(const std::string& path)
{
    testing::internal::CaptureStderr();
    int nResult = LoadRcFile(path.c_str(), &g_rcInfo);
    return {nResult, testing::internal::GetCapturedStderr()};
}

TEST_F(RcFileLoader, MissingFileIsCodeOneWithItsPath)
{
    std::string path = Dir() + "/missing.rc";
    LoadResult r = LoadCaptured(path);
    EXPECT_EQ(r.nResult, 1);
    EXPECT_EQ(r.err, "Error: " + path + " :cannot open file !!\n");
    EXPECT_STREQ(GetKeyValue("PageSize", &g_rcInfo), "A4");
}

// A path that opens but cannot be read was not read whole: not a success.
TEST_F(RcFileLoader, UnreadablePathIsCodeOne)
{
    LoadResult r = LoadCaptured(Dir());
    EXPECT_EQ(r.nResult, 1);
    EXPECT_EQ(r.err, "Error: " + Dir() + " :cannot open file !!\n");
}

TEST_F(RcFileLoader, CommentsAndBlankLinesOnlyKeepTheDefaults)
{
    LoadResult r = LoadCaptured(WriteRc("# settings\n\n   \t\n#[NotASection]\n# PageSize=Letter\n"));
    EXPECT_EQ(r.nResult, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_STREQ(g_rcInfo.szPrinterName, "");
    EXPECT_STREQ(GetKeyValue("PageSize", &g_rcInfo), "A4");
    EXPECT_EQ(tblVnParams[kRowCopies].nValue, 1);
}

TEST_F(RcFileLoader, SectionLineNamesThePrinter)
{
    const std::string name31(31, 'n');
    const std::string name32(32, 'n');
    struct Case { const char* pszWhat; std::string text; int nResult; const char* pszName; };
    const Case cases[] = {
        {"plain", "[MyPrinter]\n", 0, "MyPrinter"},
        {"blanks around and inside", "   [ My Printer ]\n", 0, "MyPrinter"},
        {"tabs", "\t[My\tPrinter]\t\n", 0, "MyPrinter"},
        {"no closing bracket", "[abc\n", 0, "abc"},
        {"text after the bracket", "[abc]xyz\n", 0, "abc"},
        {"comment before it", "# head\n\n[abc]\n", 0, "abc"},
        {"carriage return after the bracket", "[abc]\r\n", 0, "abc"},
        {"31 characters", "[" + name31 + "]\n", 0, name31.c_str()},
        {"last line without newline", "[abc]", 0, "abc"},
        {"32 characters", "[" + name32 + "]\n", 5, ""},
        {"bracket alone", "[\n", 5, ""},
        {"empty name", "[]\n", 5, ""},
        {"blanks as name", "[  ]\n", 5, ""},
        {"key line first", "PageSize=Letter\n[abc]\n", 5, ""},
        {"line without = first", "PageSize\n[abc]\n", 5, ""},
        {"carriage return line first", "\r\n[abc]\n", 5, ""},
        {"repeated", "[abc]\n[abc]\n", 5, "abc"},
        {"second name", "[abc]\n[xyz]\n", 5, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        settings_test::RestoreInitialSettings();
        LoadResult r = LoadCaptured(WriteRc(c.text));
        EXPECT_EQ(r.nResult, c.nResult);
        EXPECT_EQ(r.err, c.nResult == 5 ? kBadSectionMessage : "");
        EXPECT_STREQ(g_rcInfo.szPrinterName, c.pszName);
    }
}

TEST_F(RcFileLoader, KeyLinesSetTheirRows)
{
    struct Case { const char* pszWhat; const char* pszLines; const char* pszKey; const char* pszWord; };
    const Case cases[] = {
        {"exact key and word", "PageSize=Letter", "PageSize", "Letter"},
        {"blanks removed", "  Page Size = Letter  ", "PageSize", "Letter"},
        {"key case differs", "pagesize=Letter", "PageSize", "A4"},
        {"word case differs", "PageSize=letter", "PageSize", "A4"},
        {"no trailing comments", "PageSize=Letter#A4", "PageSize", "A4"},
        {"no =", "PageSize", "PageSize", "A4"},
        {"empty value", "PageSize=", "PageSize", "A4"},
        {"row 0 spelling on row 1", "PageSize=PostCard", "PageSize", "A4"},
        {"row 1 spelling on row 1", "PageSize=Postcard", "PageSize", "Postcard"},
        {"unknown key", "Paper=Letter", "PageSize", "A4"},
        {"enable flag not honoured", "MediaType=Thin", "MediaType", "Thin"},
        {"type-3 row", "VNSkipBlank=ON", "VNSkipBlank", "ON"},
        {"last line wins", "Collate=ON\nCollate=OFF", "Collate", "OFF"},
        {"bad word keeps the last valid", "Collate=ON\nCollate=Maybe", "Collate", "ON"},
        {"carriage return", "Collate=ON\r", "Collate", "OFF"},
        {"comment between", "Language=canada\n# Language=other", "Language", "canada"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        settings_test::RestoreInitialSettings();
        LoadResult r = LoadCaptured(WriteRc(std::string("[P]\n") + c.pszLines + "\n"));
        EXPECT_EQ(r.nResult, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_STREQ(GetKeyValue(c.pszKey, &g_rcInfo), c.pszWord);
    }
}

// Numbers are taken as written, without a range check, and kept as their low 16 bits.
// Beyond long long a number reads as the nearest bound.
TEST_F(RcFileLoader, NumberLinesStoreLow16Bits)
{
    struct Case { const char* pszLine; int nRow; int16_t nValue; };
    const Case cases[] = {
        {"Copies=2", kRowCopies, 2},
        {"Copies=12x", kRowCopies, 12},
        {"Copies=abc", kRowCopies, 0},
        {"Copies=", kRowCopies, 0},
        {"Copies=-5", kRowCopies, -5},
        {"Copies=+7", kRowCopies, 7},
        {"Copies=65537", kRowCopies, 1},
        {"Copies=32768", kRowCopies, -32768},
        {"Copies=99999999999999999999", kRowCopies, -1},
        {"Copies=-99999999999999999999", kRowCopies, 0},
        {"Copies=3\r", kRowCopies, 3},
        {"Brightness = - 4", kRowBrightness, -4},
        {"Saturation=1=2", kRowSaturation, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszLine);
        settings_test::RestoreInitialSettings();
        ASSERT_EQ(LoadRcText(std::string("[P]\n") + c.pszLine + "\n"), 0);
        EXPECT_EQ(tblVnParams[c.nRow].nValue, c.nValue);
        EXPECT_EQ(tblVnParams[c.nRow].nIndex, -1);
    }
}

TEST_F(RcFileLoader, CarriageReturnLineEndsSpoilOnlyWords)
{
    ASSERT_EQ(LoadRcText("[Model]\r\nPageSize=Letter\r\nCopies=3\r\nVNDuplex=DuplexTumble\r\n"), 0);
    EXPECT_STREQ(g_rcInfo.szPrinterName, "Model");
    EXPECT_STREQ(GetKeyValue("PageSize", &g_rcInfo), "A4");
    EXPECT_STREQ(GetKeyValue("VNDuplex", &g_rcInfo), "None");
    EXPECT_EQ(tblVnParams[kRowCopies].nValue, 3);
}

// A line longer than the loader's 1023 characters is one line all the same: what does not
// fit is skipped, never read as a setting of its own.
TEST_F(RcFileLoader, LongLineIsOneLine)
{
    const std::string comment = "#" + std::string(1022, 'x');
    ASSERT_EQ(LoadRcText("[P]\n" + comment + "VNDuplex=DuplexTumble\n" + comment + "\nPageSize=Letter\n"), 0);
    EXPECT_STREQ(GetKeyValue("VNDuplex", &g_rcInfo), "None");
    EXPECT_STREQ(GetKeyValue("PageSize", &g_rcInfo), "Letter");   // the next line is read whole

    settings_test::RestoreInitialSettings();
    std::string longValue = "Copies=" + std::string(3000, '9');
    ASSERT_EQ(LoadRcText("[P]\n" + longValue + "\nCollate=ON\n"), 0);
    EXPECT_EQ(tblVnParams[kRowCopies].nValue, -1);
    EXPECT_STREQ(GetKeyValue("Collate", &g_rcInfo), "ON");
}

TEST_F(RcFileLoader, FailureKeepsEarlierSettings)
{
    testing::internal::CaptureStderr();
    int nResult = LoadRcText("[P]\nCopies=4\nPageSize=Legal\n[Q]\nCollate=ON\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kBadSectionMessage);
    EXPECT_EQ(nResult, 5);
    EXPECT_EQ(tblVnParams[kRowCopies].nValue, 4);
    EXPECT_STREQ(GetKeyValue("PageSize", &g_rcInfo), "Legal");
    EXPECT_STREQ(GetKeyValue("Collate", &g_rcInfo), "OFF");
}

TEST_F(RcFileLoader, ClosesTheFileOnEveryReturn)
{
    std::string good = WriteRc("[P]\nCopies=2\n", "good.rc");
    std::string bad = WriteRc("Copies=2\n", "bad.rc");
    int nBefore = OpenDescriptorCount();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(LoadRcFile(good.c_str(), &g_rcInfo), 0);
        EXPECT_EQ(LoadRcFile(bad.c_str(), &g_rcInfo), 5);
        EXPECT_EQ(LoadRcFile(Dir().c_str(), &g_rcInfo), 1);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(OpenDescriptorCount(), nBefore);
}

// ---- the loader's line tools ----

TEST(RcLineTools, ReadLineCutsTheNewlineOnly)
{
    char szText[] = "ab\r\ncdef\n\nlast";
    FILE* fp = fmemopen(szText, std::strlen(szText), "r");
    ASSERT_NE(fp, nullptr);
    char szBuf[4];
    std::vector<std::string> lines;
    while (ReadLine(szBuf, sizeof szBuf, fp))
        lines.push_back(szBuf);
    fclose(fp);
    const std::vector<std::string> expected = {"ab\r", "", "cde", "f", "", "las", "t"};
    EXPECT_EQ(lines, expected);
}

TEST(RcLineTools, EraseSpaceRemovesEveryBlankAndTab)
{
    struct Case { const char* pszIn; const char* pszOut; };
    const Case cases[] = {
        {"", ""}, {"   \t", ""}, {"a b\tc", "abc"}, {" Page Size = Letter ", "PageSize=Letter"},
        {"x\r\n", "x\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszIn);
        std::vector<char> text = Writable(c.pszIn);
        EXPECT_EQ(EraseSpace(text.data()), text.data());
        EXPECT_STREQ(text.data(), c.pszOut);
    }
}

TEST(RcLineTools, ParamSearchSplitsAtTheFirstEqualSign)
{
    struct Case { const char* pszLine; int nRow; const char* pszValue; };
    const Case cases[] = {
        {"Copies=3", kRowCopies, "3"},
        {"Language=a=b", kRowLanguage, "a=b"},
        {"VNSkipBlank=", kRowSkipBlank, ""},
        {"Copy=3", -1, "3"},
        {"Copiesx=3", -1, "3"},
        {"=3", -1, "3"},
        {"Copies", -2, "untouched"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszLine);
        char szValue[32] = "untouched";
        EXPECT_EQ(ParamSearch(c.pszLine, szValue), c.nRow);
        EXPECT_STREQ(szValue, c.pszValue);
    }
}

// ---- setters ----

TEST_F(ParamSetter, NumberCheckComparesTheWholeNumber)
{
    ParamEntry& row = tblVnParams[kRowBrightness];
    row.nMin = -5;
    row.nMax = 5;
    struct Case { const char* pszValue; int bCheck; int nResult; int16_t nValue; };
    const Case cases[] = {
        {"3", 1, 0, 3},
        {"-5", 1, 0, -5},
        {"6", 1, -3, 0},
        {"65537", 1, -3, 0},    // its low 16 bits (1) would be in range; the number is not
        {"-65536", 1, -3, 0},
        {"6", 0, 0, 6},
        {"65537", 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszValue);
        row.nValue = 0;
        EXPECT_EQ(SetNumericalParam(kRowBrightness, c.pszValue, &g_rcInfo, c.bCheck), c.nResult);
        EXPECT_EQ(row.nValue, c.nValue);
    }
    EXPECT_EQ(SetNumericalParam(-1, "1", &g_rcInfo, 0), -1);
    EXPECT_EQ(SetNumericalParam(kParamCount, "1", &g_rcInfo, 0), -1);
}

TEST_F(ParamSetter, SelectionHonoursEnableFlagsOnlyWhenChecked)
{
    struct Case {
        const char* pszWhat; int nRow; const char* pszWord; int bCheck; int nResult; int16_t nIndex;
    };
    const Case cases[] = {
        {"unchecked ignores the flag", kRowPageSize, "Letter", 0, 0, 1},
        {"checked, disabled", kRowPageSize, "Letter", 1, -2, -1},
        {"checked, enabled", kRowSkipBlank, "ON", 1, 0, 1},
        {"word of no choice", kRowPageSize, "letter", 1, -1, 0},
        {"word of no choice, unchecked", kRowPageSize, "Letter ", 0, -1, 0},
        {"number row", kRowCopies, "1", 0, -1, -1},
        {"row outside the table", kParamCount, "ON", 0, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        settings_test::RestoreInitialSettings();
        EXPECT_EQ(SetSelectionParam(c.nRow, c.pszWord, &g_rcInfo, c.bCheck), c.nResult);
        if (c.nRow < kParamCount) {
            EXPECT_EQ(tblVnParams[c.nRow].nIndex, c.nIndex);
        }
    }
}

TEST_F(ParamSetter, IndicatedCmdParamHonoursEnableFlags)
{
    EXPECT_EQ(SetIndicatedCmdParam(kRowSkipBlank, "ON", &g_rcInfo), 0);
    EXPECT_STREQ(GetKeyValue("VNSkipBlank", &g_rcInfo), "ON");
    EXPECT_EQ(SetIndicatedCmdParam(kRowPageSize, "letter", &g_rcInfo), -1);
    EXPECT_STREQ(GetKeyValue("PageSize", &g_rcInfo), "A4");
    // A refused choice leaves the row without one: it has no word left to give.
    EXPECT_EQ(SetIndicatedCmdParam(kRowPageSize, "Letter", &g_rcInfo), -2);
    EXPECT_EQ(tblVnParams[kRowPageSize].nIndex, -1);
    EXPECT_EQ(GetKeyValue("PageSize", &g_rcInfo), nullptr);
    char szBuf[16] = "untouched";
    EXPECT_EQ(GetParamItemValue(kRowPageSize, &g_rcInfo, szBuf, sizeof szBuf), -1);
    EXPECT_STREQ(szBuf, "untouched");
}

// ---- queries ----

TEST_F(ParamQuery, KeyValueComparesKeysExactly)
{
    EXPECT_STREQ(GetKeyValue("Collate", &g_rcInfo), "OFF");
    EXPECT_EQ(GetKeyValue("collate", &g_rcInfo), nullptr);
    EXPECT_EQ(GetKeyValue("Collate ", &g_rcInfo), nullptr);
    EXPECT_EQ(GetKeyValue("", &g_rcInfo), nullptr);
    EXPECT_EQ(GetKeyValue(nullptr, &g_rcInfo), nullptr);
    EXPECT_EQ(GetKeyValue("Copies", &g_rcInfo), nullptr);   // a number row has no word
    tblVnParams[kRowCollate].nIndex = 2;                   // past the choices
    EXPECT_EQ(GetKeyValue("Collate", &g_rcInfo), nullptr);
}

TEST_F(ParamQuery, ParamTypeOfRows)
{
    struct Case { int nRow; int nType; };
    const Case cases[] = {
        {kRowMediaType, 0}, {kRowCopies, 1}, {kRowBrightness, 1}, {kRowSaturation, 1},
        {kRowDuplex, 0}, {kRowSkipBlank, 3}, {kRowLanguage, 2}, {-1, 3}, {kParamCount, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetParamType(c.nRow, &g_rcInfo), c.nType) << "row " << c.nRow;

    RcInfo shortInfo = g_rcInfo;
    shortInfo.nParamCount = 4;
    EXPECT_EQ(GetParamType(kRowCopies, &shortInfo), 3);
}

TEST_F(ParamQuery, ParamItemValueNeedsRoomForTwoMore)
{
    struct Case { const char* pszWhat; int nRow; int nSize; int nResult; const char* pszText; };
    const Case cases[] = {
        {"word in 4 bytes", kRowPageSize, 4, 0, "A4"},
        {"word in 3 bytes", kRowPageSize, 3, -1, "untouched"},
        {"word in 1 byte", kRowPageSize, 1, -1, "untouched"},
        {"word, negative size", kRowPageSize, -4, -1, "untouched"},
        {"label is not the text", kRowResolution, 16, 0, "Fine"},
        {"copies above nMax", kRowCopies, 16, -1, "untouched"},
        {"number in 3 bytes", kRowBrightness, 3, 0, "0"},
        {"number in 2 bytes", kRowBrightness, 2, -1, "untouched"},
        {"type-3 row", kRowSkipBlank, 16, -1, "untouched"},
        {"type-2 row", kRowLanguage, 16, 0, "us"},
        {"row -1", -1, 16, -1, "untouched"},
        {"row 22", kParamCount, 16, -1, "untouched"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        char szBuf[16] = "untouched";
        EXPECT_EQ(GetParamItemValue(c.nRow, &g_rcInfo, szBuf, c.nSize), c.nResult);
        EXPECT_STREQ(szBuf, c.pszText);
    }
}

TEST_F(ParamQuery, ParamItemValueOfNumbersWithinBounds)
{
    ParamEntry& row = tblVnParams[kRowContrast];
    struct Case { int16_t nMin, nMax, nValue; int nResult; const char* pszText; };
    const Case cases[] = {
        {-32768, 32767, -32768, 0, "-32768"},
        {-10, 10, 10, 0, "10"},
        {-10, 10, 11, -1, "untouched"},
        {5, -5, 0, -1, "untouched"},   // bounds the wrong way round
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nValue);
        row.nMin = c.nMin;
        row.nMax = c.nMax;
        row.nValue = c.nValue;
        char szBuf[16] = "untouched";
        EXPECT_EQ(GetParamItemValue(kRowContrast, &g_rcInfo, szBuf, sizeof szBuf), c.nResult);
        EXPECT_STREQ(szBuf, c.pszText);
    }
}

TEST_F(ParamQuery, CommandSearchFindsSwitchesExactly)
{
    EXPECT_EQ(CommandSearch("-pt"), kRowPageSize);
    EXPECT_EQ(CommandSearch("-sb"), kRowSkipBlank);
    EXPECT_EQ(CommandSearch("-rc"), -1);
    EXPECT_EQ(CommandSearch("-PT"), -1);
    EXPECT_EQ(CommandSearch(""), -1);
    EXPECT_EQ(CommandSearch(nullptr), -1);
    g_rcInfo.nParamCount = 0;
    EXPECT_EQ(CommandSearch("-pt"), -1);
}

TEST(ParamItemHit, MatchesTheFirstList)
{
    const char* pszConstraint = "PaperType={A4_B,Letter_B}*RResolution={300,600}";
    struct Case { const char* pszWhat; int nType; const char* pszValue; const char* pszPattern; int nHit; };
    const Case cases[] = {
        {"word in list", 0, "Letter_B", pszConstraint, 1},
        {"first item", 0, "A4_B", pszConstraint, 1},
        {"prefix of an item", 0, "Letter", pszConstraint, 0},
        {"item of a later list", 0, "300", pszConstraint, 0},
        {"type 2 like type 0", 2, "A4_B", pszConstraint, 1},
        {"blanks are kept", 0, " A4", "K={ A4,B5}", 1},
        {"blanks are kept, no hit", 0, "A4", "K={ A4,B5}", 0},
        {"empty item", 0, "", "K={a,,b}", 1},
        {"empty list", 0, "", "K={}", 1},
        {"number", 1, "5", "K={1,3~7}", 1},
        {"reversed range", 1, "5", "K={7~3}", 1},
        {"open range is its first number", 1, "5", "K={1,6~}", 0},
        {"open range hits its number", 1, "6", "K={1,6~}", 1},
        {"empty first bound is 0", 1, "0", "K={~4}", 1},
        {"range bounds included", 1, "-3", "K={-3~-1}", 1},
        {"16-bit reduction", 1, "65541", "K={5}", 1},
        {"value reduced", 1, "-1", "K={65535}", 1},
        {"not in list", 1, "8", "K={1,3~7}", 0},
        {"number of a later list", 1, "600", pszConstraint, 0},
        {"} before {", 0, "a", "K=}a{", 0},
        {"} before {, number", 1, "1", "K=}1{1}", 0},
        {"no {", 0, "a", "K=a}", 0},
        {"no }", 0, "a", "K={a", 0},
        {"no }, number", 1, "1", "K={1,2", 0},
        {"unknown type", 3, "a", "K={a}", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<char> pattern = Writable(c.pszPattern);
        EXPECT_EQ(IsItemHit(c.nType, c.pszValue, pattern.data()), c.nHit);
    }
    std::vector<char> pattern = Writable("K={a}");
    EXPECT_EQ(IsItemHit(0, nullptr, pattern.data()), 0);
    EXPECT_EQ(IsItemHit(0, "a", nullptr), 0);
}

// A word match leaves the pattern for a later group; a number match uses it up, but
// never past its list.
TEST(ParamItemHit, WritesOnlyIntoTheNumberList)
{
    std::vector<char> words = Writable("A={x,y}*B={1~2}");
    EXPECT_EQ(IsItemHit(0, "z", words.data()), 0);
    EXPECT_STREQ(words.data(), "A={x,y}*B={1~2}");

    std::vector<char> numbers = Writable("A={1,3~4}*B={5}");
    EXPECT_EQ(IsItemHit(1, "9", numbers.data()), 0);
    const char expected[] = "A={1\0" "3\0" "4\0*B={5}";
    ASSERT_EQ(numbers.size(), sizeof expected);
    EXPECT_EQ(std::memcmp(numbers.data(), expected, sizeof expected), 0);
}

// ---- constraint list ----

TEST_F(ParamConstraint, AddStoresEachNewConstraintOnce)
{
    const char* pszBuiltIn =
        "PaperType={A4_B,Letter_B,A6_B,Photo_B,IndexCard_B,PhotoL_B,Photo2L_B,Hagaki_B}"
        "*RResolution={300,600,750,1200,1200x2400}";
    AddConstraint(pszBuiltIn, &g_rcInfo);
    EXPECT_EQ(g_rcInfo.nConstraintCount, 2);

    AddConstraint("A={x}", &g_rcInfo);
    AddConstraint("A={x}", &g_rcInfo);
    AddConstraint("A={x}tail", &g_rcInfo);   // the same once cut after its last "}"
    ASSERT_EQ(g_rcInfo.nConstraintCount, 3);
    EXPECT_STREQ(g_rcInfo.ppszConstraint[2], "A={x}");

    AddConstraint("A={x}*B={1~3}tail", &g_rcInfo);
    ASSERT_EQ(g_rcInfo.nConstraintCount, 4);
    EXPECT_STREQ(g_rcInfo.ppszConstraint[3], "A={x}*B={1~3}");

    struct Case { const char* pszWhat; std::string text; };
    const Case refused[] = {
        {"empty", ""},
        {"no }", "A={x"},
        {"1025 characters", "A={" + std::string(1019, 'x') + "}tt"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.pszWhat);
        AddConstraint(c.text.c_str(), &g_rcInfo);
        EXPECT_EQ(g_rcInfo.nConstraintCount, 4);
    }
    AddConstraint(nullptr, &g_rcInfo);
    EXPECT_EQ(g_rcInfo.nConstraintCount, 4);
    std::string longest = "A={" + std::string(1020, 'x') + "}";
    ASSERT_EQ(longest.size(), 1024u);
    AddConstraint(longest.c_str(), &g_rcInfo);
    ASSERT_EQ(g_rcInfo.nConstraintCount, 5);
    EXPECT_EQ(g_rcInfo.ppszConstraint[4], longest);

    FreeConstraint(&g_rcInfo);
    EXPECT_EQ(g_rcInfo.nConstraintCount, 2);
    EXPECT_STREQ(g_rcInfo.ppszConstraint[0], pszBuiltIn);
    EXPECT_EQ(g_rcInfo.ppszConstraint[2], nullptr);
    FreeConstraint(&g_rcInfo);   // safe to repeat
    EXPECT_EQ(g_rcInfo.nConstraintCount, 2);
}

TEST_F(ParamConstraint, FullListStoresNothingMore)
{
    for (int i = 0; i < kMaxConstraints + 5; ++i)
        AddConstraint(("K={" + std::to_string(i) + "}").c_str(), &g_rcInfo);
    EXPECT_EQ(g_rcInfo.nConstraintCount, kMaxConstraints);
    EXPECT_STREQ(g_rcInfo.ppszConstraint[kMaxConstraints - 1], "K={97}");
    FreeConstraint(&g_rcInfo);
    EXPECT_EQ(g_rcInfo.nConstraintCount, 2);
}

// ---- contract assertions ----

TEST_F(ParamContractDeathTest, BrokenContractsStopWithTheCondition)
{
    using settings_test::DisableCoreDumps;
    char szBuf[8];
    struct Case { const char* pszWhat; std::function<void()> call; const char* pszReport; };
    const Case cases[] = {
        {"GetParamType without record", [] { GetParamType(0, nullptr); },
         "src_header/vnfiletool:[0-9]+: GetParamType: Assertion `pRcInfo' failed"},
        {"GetParamItemValue without buffer",
         [] { GetParamItemValue(kRowPageSize, &g_rcInfo, nullptr, 8); },
         "src_header/vnfiletool:[0-9]+: GetParamItemValue: Assertion `pszBuf' failed"},
        {"GetParamItemValue with size 0",
         [&szBuf] { GetParamItemValue(kRowPageSize, &g_rcInfo, szBuf, 0); },
         "src_header/vnfiletool:[0-9]+: GetParamItemValue: Assertion `nSize' failed"},
        {"GetPjpInnerValue of a number row", [] { GetPjpInnerValue(kRowCopies, &g_rcInfo); },
         "src_header/vnfiletool:[0-9]+: GetPjpInnerValue: Assertion `pParam->nIndex >= 0' failed"},
        {"FreeConstraint without record", [] { FreeConstraint(nullptr); },
         "src_header/vnfiletool:[0-9]+: FreeConstraint: Assertion `pRcInfo' failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        EXPECT_DEATH({ DisableCoreDumps(); c.call(); }, c.pszReport);
    }
}

}  // namespace
