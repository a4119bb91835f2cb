#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "filterjob.h"
#include "settings_fixture.h"
#include "vnfiletool.h"
#include "vnresource.h"

namespace {

using settings_test::SettingsTest;

class VnResourceTable : public SettingsTest {};

bool HasBlank(const char* psz)
{
    return std::strpbrk(psz, " \t") != nullptr;
}

// A job whose rc file names no key prints with the table's initial choices.
TEST_F(VnResourceTable, SectionOnlyRcFileGivesTheDefaults)
{
    ASSERT_EQ(LoadRcText("[Model]\n"), 0);
    EXPECT_STREQ(g_rcInfo.szPrinterName, "Model");

    struct Case { const char* pszKey; int nRow; const char* pszWord; uint16_t nInner; };
    const Case cases[] = {
        {"MediaType", kRowMediaType, "Plain", 0},
        {"PageSize", kRowPageSize, "A4", 9},
        {"InputSlot", kRowInputSlot, "AutoSelect", 0},
        {"VNResolution", kRowResolution, "Fine", 2},   // choice 1, not 0
        {"VNMonoColor", kRowMonoColor, "Auto", 2},
        {"VNColorMatching", kRowColorMatching, "Auto", 3},
        {"VNImproveOutput", kRowImproveOutput, "OFF", 0},
        {"VNDuplex", kRowDuplex, "None", 0},
        {"VNSkipBlank", kRowSkipBlank, "OFF", 0},
        {"Language", kRowLanguage, "us", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszKey);
        EXPECT_STREQ(GetKeyValue(c.pszKey, &g_rcInfo), c.pszWord);
        EXPECT_EQ(GetPjpInnerValue(c.nRow, &g_rcInfo), c.nInner);
    }
    EXPECT_EQ(tblVnParams[kRowCopies].nValue, 1);
    for (int nRow : {kRowBrightness, kRowContrast, kRowRedKey, kRowGreenKey, kRowBlueKey,
                     kRowSaturation})
        EXPECT_EQ(tblVnParams[nRow].nValue, 0) << "row " << nRow;
}

// Every word of every choice row can be chosen through an rc file: the loader removes
// blanks, so a word holding one, or a word listed twice in a row, would be out of reach.
TEST_F(VnResourceTable, EveryChoiceCanBeSetFromAnRcFile)
{
    for (int nRow = 0; nRow < kParamCount; ++nRow) {
        const ParamEntry& row = tblVnParams[nRow];
        ASSERT_FALSE(HasBlank(row.pszName)) << row.pszName;
        for (int i = 0; i < row.nItemCount; ++i) {
            const char* pszWord = row.pCmdItem[i];
            SCOPED_TRACE(std::string(row.pszName) + "=" + pszWord);
            settings_test::RestoreInitialSettings();
            ASSERT_EQ(LoadRcText(std::string("[P]\n") + row.pszName + "=" + pszWord + "\n"), 0);
            EXPECT_EQ(tblVnParams[nRow].nIndex, i);
            EXPECT_STREQ(GetKeyValue(row.pszName, &g_rcInfo), pszWord);
        }
    }
}

TEST_F(VnResourceTable, RowsAreWellFormed)
{
    std::set<std::string> keys;
    for (int nRow = 0; nRow < kParamCount; ++nRow) {
        const ParamEntry& row = tblVnParams[nRow];
        SCOPED_TRACE(row.pszName);
        EXPECT_TRUE(keys.insert(row.pszName).second) << "key listed twice";
        ASSERT_LE(row.nItemCount, kMaxItems);
        if (GetParamType(nRow, &g_rcInfo) == 1) {
            EXPECT_EQ(row.nItemCount, 0);
            EXPECT_EQ(row.pCmdItem, nullptr);
            EXPECT_EQ(row.pPrmItem, nullptr);
            EXPECT_EQ(row.pInnerVal, nullptr);
            EXPECT_EQ(row.nIndex, -1);
            EXPECT_STREQ(GetKeyValue(row.pszName, &g_rcInfo), nullptr);
            continue;
        }
        ASSERT_GT(row.nItemCount, 0);
        EXPECT_NE(row.pCmdItem, nullptr);
        EXPECT_NE(row.pPrmItem, nullptr);
        EXPECT_NE(row.pInnerVal, nullptr);
        EXPECT_EQ(row.nValue, 0);
        for (int i = row.nItemCount; i < kMaxItems; ++i)
            EXPECT_EQ(row.nEnable[i], 0) << "flag " << i;
    }
}

// Only the skip-blank and language choices are enabled: a set that honours the flags
// selects nothing else.
TEST_F(VnResourceTable, OnlySkipBlankAndLanguageChoicesAreEnabled)
{
    for (int nRow = 0; nRow < kParamCount; ++nRow) {
        const ParamEntry& row = tblVnParams[nRow];
        bool bEnabled = nRow == kRowSkipBlank || nRow == kRowLanguage;
        for (int i = 0; i < row.nItemCount; ++i) {
            SCOPED_TRACE(std::string(row.pszName) + "=" + row.pCmdItem[i]);
            EXPECT_EQ(SetIndicatedCmdParam(nRow, row.pCmdItem[i], &g_rcInfo), bEnabled ? 0 : -2);
        }
    }
}

// Each switch leads back to its own row; only "Language" has none.
TEST_F(VnResourceTable, EverySwitchFindsItsRow)
{
    for (int nRow = 0; nRow < kParamCount; ++nRow) {
        const char* pszSwitch = tblVnParams[nRow].pszCmdSwitch;
        if (nRow == kRowLanguage) {
            EXPECT_EQ(pszSwitch, nullptr);
            continue;
        }
        ASSERT_NE(pszSwitch, nullptr) << "row " << nRow;
        EXPECT_EQ(CommandSearch(pszSwitch), nRow) << pszSwitch;
    }
}

TEST_F(VnResourceTable, RecordStartsWithTheBuiltInConstraints)
{
    EXPECT_STREQ(g_rcInfo.szPrinterName, "");
    EXPECT_EQ(g_rcInfo.nParamCount, kParamCount);
    EXPECT_EQ(g_rcInfo.pParamTable, tblVnParams);
    EXPECT_EQ(g_rcInfo.nFixedConstraint, 2);
    EXPECT_EQ(g_rcInfo.nConstraintCount, 2);
    EXPECT_EQ(g_rcInfo.ppszConstraint, tblConstraint);
    // Both built-in strings are well-formed constraints: their first list can be matched.
    std::string first = tblConstraint[0];
    EXPECT_EQ(IsItemHit(0, "Hagaki_B", first.data()), 1);
    EXPECT_EQ(tblConstraint[2], nullptr);
}

}  // namespace

// The inner values that do not follow the order of the choices, seen where they act: the
// words of the printer job's header, the paper's raster and the gray page.
class ChoiceOutputTest : public FilterJobTest {};

TEST_F(ChoiceOutputTest, ChoicesReachThePrinterAsTheirWords)
{
    // Letter and Vn3x5 share a 5 x 3 raster here, A4 is 8 x 6.
    WritePaperInfo("A4: 8 6\nLetter: 5 3\nVn3x5: 5 3\n");
    WriteModelTables(modelRoot, kPrinter, "A4:\t12\t18\t12\t18\nLetter:\t12\t12\t12\t12\nVn3x5:\t1\t2\t3\t4\n",
                     "A4: 595 842\nLetter: 612 792\nVn3x5: 216 360\n");
    const RgbImage a4 = Page(4);
    const RgbImage small = MakeImage(5, 3, [](int x, int y, uint8_t* p) { p[0] = p[1] = p[2] = uint8_t(40 * x + y); });
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<std::string> lines;   // header lines the job must hold
        const RgbImage* pInput;
        std::vector<uint8_t> expected;    // the decoded page image
    };
    const Case cases[] = {
        {"Mono is gray", "VNMonoColor=Mono\n", {"@PJL SET RENDERMODE=GRAYSCALE", "@PJL SET COLORADAPT=OFF"}, &a4,
         GrayPixels(a4)},
        {"FullColor is colour without adapting", "VNMonoColor=FullColor\n",
         {"@PJL SET RENDERMODE=COLOR", "@PJL SET COLORADAPT=OFF"}, &a4, a4.pixels},
        {"Auto adapts", "VNMonoColor=Auto\n", {"@PJL SET RENDERMODE=COLOR", "@PJL SET COLORADAPT=ON"}, &a4, a4.pixels},
        {"matching None", "VNColorMatching=None\n", {"@PJL SET COLORMODE=NONE"}, &a4, a4.pixels},
        {"BOND", "MediaType=BOND\n", {"@PJL SET MEDIATYPE=BOND"}, &a4, a4.pixels},
        {"Recycled", "MediaType=Recycled\n", {"@PJL SET MEDIATYPE=RECYCLED"}, &a4, a4.pixels},
        {"Thicker", "MediaType=Thicker\n", {"@PJL SET MEDIATYPE=THICK2"}, &a4, a4.pixels},
        {"Vn3x5", "PageSize=Vn3x5\n", {"@PJL SET PAPER=P3X5"}, &small, small.pixels},
        {"Letter", "PageSize=Letter\n", {"@PJL SET PAPER=LETTER"}, &small, small.pixels},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteRc(c.rc);
        const FilterResult result = Run(PpmPage(*c.pInput));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        for (const std::string& line : c.lines)
            EXPECT_EQ(1, std::count(job.headerLines.begin(), job.headerLines.end(), line)) << line;
        ExpectPages(job, {c.expected});
    }
}
