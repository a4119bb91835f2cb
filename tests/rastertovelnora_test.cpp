// End-to-end tests of the job driver: start-up failures and exit statuses, the page loop
// with its copies, blank pages and cancellation, run through the built filter.
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "filterjob.h"

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------
// Start-up

class StartupTest : public FilterJobTest {};

TEST_F(StartupTest, EveryFailureHasItsMessageAndStatusAndNoOutput)
{
    const std::string pi = paperInfPath, rc = rcPath;
    const std::string page = dir / "page.ppm";
    WriteBytes(page, PpmPage(Page(1)));
    const std::string missing = dir / "missing.ppm";
    struct Case {
        const char* pszWhat;
        std::function<void()> prepare;   // changes to the settings files
        std::vector<std::string> args;
        std::string expectedErr;
        int nStatus;
    };
    const std::string imagingArea = modelRoot + "/TestModel/bin/inf/ImagingArea";
    const std::string paperDimension = modelRoot + "/TestModel/bin/inf/PaperDimension";
    const Case cases[] = {
        {"no arguments", nullptr, {}, "Error: invalid option !!\n", 2},
        {"a second input file", nullptr, {page, "-pi", pi, "-rc", rc, "second.ppm"},
         "Error: second.ppm :invalid option !!\n", 2},
        {"an unreadable input file, options missing too", nullptr, {missing},
         "Error: " + missing + " :cannot open file !!\n", 1},
        {"-rc missing", nullptr, {"-pi", pi}, "Error: invalid option !!\n", 2},
        {"-rc standing last", nullptr, {"-pi", pi, "-rc"}, "Error: invalid option !!\n", 2},
        {"-pi -rc a.rc: a.rc opened as the input", nullptr, {"-pi", "-rc", rc}, "Error: invalid option !!\n", 2},
        {"rc file missing", nullptr, {"-pi", pi, "-rc", dir / "none.rc"},
         "Error: " + (dir / "none.rc") + " :cannot open file !!\n", 1},
        {"key line before the section line", [&] { WriteFile(rc, "PageSize=A4\n[TestModel]\n"); }, Args(),
         "Error: invalid printer name at rc-file !!\n", 5},
        {"section line []", [&] { WriteFile(rc, "[]\n"); }, Args(), "Error: invalid printer name at rc-file !!\n", 5},
        {"section line repeated", [&] { WriteFile(rc, "[TestModel]\n[TestModel]\n"); }, Args(),
         "Error: invalid printer name at rc-file !!\n", 5},
        {"paper-information file missing", [&] { unlink(pi.c_str()); }, Args(),
         "Error: " + pi + " :cannot open file !!\n", 1},
        {"paper-information file empty", [&] { WriteFile(pi, ""); }, Args(),
         "Error: A4 :invalid format found in paperinf !!\n", 6},
        {"paper-information record incomplete", [&] { WritePaperInfo("Letter: 5\n"); }, Args(),
         "Error: A4 :invalid format found in paperinf !!\n", 6},
        {"page height beyond 16 bits", [&] { WritePaperInfo("A4: 8 40000\n"); }, Args(),
         "Error: A4 :invalid format found in paperinf !!\n", 6},
        {"negative page width", [&] { WritePaperInfo("A4: -8 6\n"); }, Args(),
         "Error: A4 :invalid format found in paperinf !!\n", 6},
        {"paper not listed", [&] { WritePaperInfo("Letter: 5 3\n"); }, Args(),
         "Error: A4: paper info not found in paperinf !!\n", 7},
        {"model tables missing", [&] { RemoveTree(modelRoot); }, Args(),
         "Error: " + imagingArea + " :cannot open file !!\n", 1},
        {"PaperDimension missing", [&] { unlink(paperDimension.c_str()); }, Args(),
         "Error: " + paperDimension + " :cannot open file !!\n", 1},
        {"ImagingArea line short", [&] { WriteFile(imagingArea, "A4:\t12\t18\t12\n"); }, Args(), "", 13},
        {"ImagingArea number beyond 16 bits", [&] { WriteFile(imagingArea, "A4:\t12\t99999\t12\t18\n"); }, Args(),
         "", 13},
        {"PaperDimension line short", [&] { WriteFile(paperDimension, "A4: 595\n"); }, Args(), "", 14},
        {"neither table lists the paper",
         [&] {
             WriteFile(imagingArea, "Letter:\t1\t1\t1\t1\n");
             WriteFile(paperDimension, "Letter: 612 792\n");
         },
         Args(), "Error: A4: paper info not found in paperinf !!\n", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        SetUp();
        if (c.prepare)
            c.prepare();
        const FilterResult result = RunWithArgs(c.args, PpmPage(Page(1)));
        EXPECT_TRUE(result.bExited);
        EXPECT_EQ(c.nStatus, result.nExitStatus);
        EXPECT_EQ(c.expectedErr, result.err);
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(StartupTest, InputFileMayStandAnywhereAndStandardInputIsTheDefault)
{
    const std::vector<uint8_t> input = PpmPage(Page(3));
    const std::string page = dir / "page.ppm";
    WriteBytes(page, input);
    const FilterResult fromStdin = RunWithArgs({"-rc", rcPath, "-pi", paperInfPath}, input);
    const FilterResult fromFile = RunWithArgs({page, "-pi", paperInfPath, "-rc", rcPath}, {});
    EXPECT_EQ(0, fromStdin.nExitStatus) << fromStdin.err;
    EXPECT_EQ(0, fromFile.nExitStatus) << fromFile.err;
    EXPECT_EQ(fromStdin.out, fromFile.out);
    EXPECT_EQ(1u, ReadOutput(fromFile).pages.size());
}

TEST_F(StartupTest, OnlyAreaOrOnlyDimensionListedStillPrints)
{
    const std::string inf = modelRoot + "/TestModel/bin/inf/";
    struct Case {
        const char* pszWhat;
        std::string imagingArea, paperDimension;
        uint32_t nSheetWidth, nSheetHeight;
    };
    const Case cases[] = {
        {"only ImagingArea", "A4:\t12\t18\t12\t18\n", "Letter: 612 792\n", 0, 0},
        {"only PaperDimension, text after the numbers", "Letter:\t1\t1\t1\t1\n", "A4: 595 842 portrait\n", 595, 842},
        {"word with more after the colon", "A4:x\t1\t2\t3\t4\n", "A4:wide\t600\t800\n", 600, 800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteFile(inf + "ImagingArea", c.imagingArea);
        WriteFile(inf + "PaperDimension", c.paperDimension);
        const FilterResult result = Run(PpmPage(Page(1)));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(1u, job.pages.size());
        EXPECT_EQ(c.nSheetWidth, job.pages[0].nPageSizeX);
        EXPECT_EQ(c.nSheetHeight, job.pages[0].nPageSizeY);
    }
}

// ---------------------------------------------------------------------------------------
// The page loop

class PageLoopTest : public FilterJobTest {};

TEST_F(PageLoopTest, InputWithoutPagesGivesNoOutputAndStatusOne)
{
    struct Case {
        const char* pszWhat;
        std::string input, expectedErr;
    };
    const Case cases[] = {
        {"empty input", "", "ERROR: No pages found!\n"},
        {"invalid first header", "P5\n8 6\n255\n",
         "Error: error occurred at print phase !!\nERROR: No pages found!\n"},
        {"header cut short", "P6\n8 6", "Error: error occurred at print phase !!\nERROR: No pages found!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = Run(Bytes(c.input));
        EXPECT_EQ(1, result.nExitStatus);
        EXPECT_EQ(c.expectedErr, result.err);
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(PageLoopTest, PagesArePrintedInOrderWithTheirPixels)
{
    const RgbImage a = Page(1), b = Page(2), c = Page(3);
    const FilterResult result = Run(Concat({PpmPage(a), PpmPage(b), PpmPage(c)}));
    ASSERT_EQ(0, result.nExitStatus);
    EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
    ExpectPages(ReadOutput(result), {&a, &b, &c});
}

TEST_F(PageLoopTest, TroubleAfterTheFirstPageStillClosesTheJob)
{
    const RgbImage a = Page(1);
    std::vector<uint8_t> shortPage = PpmPage(Page(2));
    shortPage.resize(shortPage.size() - 10);
    RgbImage shortEnd = Page(2);   // what the short page becomes: its end in zero bytes
    std::fill(shortEnd.pixels.end() - 10, shortEnd.pixels.end(), 0);
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> input;
        std::string expectedErr;
        std::vector<const RgbImage*> expected;
    };
    const Case cases[] = {
        {"stray byte after the last page", Concat({PpmPage(a), Bytes("\n")}),
         "Error: error occurred at print phase !!\nINFO: The printer is ready to print.\n", {&a}},
        {"second header without pixel data", Concat({PpmPage(a), Bytes("P6\n8 6\n255\n")}),
         "ERROR:   Reading pixels failed\nINFO: The printer is ready to print.\n", {&a}},
        {"short second page", Concat({PpmPage(a), shortPage}), "INFO: The printer is ready to print.\n",
         {&a, &shortEnd}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = Run(c.input);
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_EQ(c.expectedErr, result.err);
        ExpectPages(ReadOutput(result), c.expected);
    }
}

TEST_F(PageLoopTest, ShortPageEndsInZeroBytes)
{
    std::vector<uint8_t> input = PpmPage(SolidImage(kPageWidth, kPageHeight, 9, 9, 9));
    input.resize(input.size() - 5);
    const FilterResult result = Run(input);
    ASSERT_EQ(0, result.nExitStatus);
    std::vector<uint8_t> expected(size_t(kPageWidth * kPageHeight * 3), 9);
    std::fill(expected.end() - 5, expected.end(), 0);
    ExpectPages(ReadOutput(result), {expected});
}

TEST_F(PageLoopTest, CopiesFollowCollation)
{
    const RgbImage a = Page(1), b = Page(2);
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<const RgbImage*> expected;
    };
    const Case cases[] = {
        {"three uncollated copies", "Copies=3\n", {&a, &a, &a, &b, &b, &b}},
        {"three collated copies", "Copies=3\nCollate=ON\n", {&a, &b}},
        {"copy count 0", "Copies=0\n", {&a, &b}},
        {"copy count -5", "Copies=-5\n", {&a, &b}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteRc(c.rc);
        const FilterResult result = Run(Concat({PpmPage(a), PpmPage(b)}));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
        const VnJob job = ReadOutput(result);
        ExpectPages(job, c.expected);
        EXPECT_EQ(1, std::count(job.headerLines.begin(), job.headerLines.end(), "@PJL ENTER LANGUAGE=PWGRASTER"));
    }
}

TEST_F(PageLoopTest, UncollatedCopiesWithoutACopyFilePrintEachPageOnce)
{
    WriteRc("Copies=3\n");
    const RgbImage a = Page(1), b = Page(2);
    const FilterResult result = Run(Concat({PpmPage(a), PpmPage(b)}), {{"TMPDIR", dir / "no-such-folder"}});
    ExpectEachPageOnceWithoutCopyFile(result, a, b);
}

TEST_F(PageLoopTest, CopyFileGoesToTmpWhenTmpdirIsEmpty)
{
    // An empty TMPDIR must never put the copy file at the root of the file system.
    WriteRc("Copies=2\n");
    FilterResult result = RunFilter(Args(), {{"VELNORA_ROOT", modelRoot}, {"TMPDIR", ""}}, PpmPage(Page(1)));
    ASSERT_EQ(0, result.nExitStatus) << result.err;
    EXPECT_EQ(2u, ReadOutput(result).pages.size());
}

// ---------------------------------------------------------------------------------------
// Blank pages

class BlankPageTest : public FilterJobTest {};

TEST_F(BlankPageTest, OnlyAllWhitePagesAreLeftOut)
{
    const RgbImage white = SolidImage(kPageWidth, kPageHeight, 255, 255, 255);
    const RgbImage lastByte = MakeImage(kPageWidth, kPageHeight, [](int x, int y, uint8_t* p) {
        p[0] = p[1] = 255;
        p[2] = (x == kPageWidth - 1 && y == kPageHeight - 1) ? 0 : 255;
    });
    RgbImage almostWhite = white;
    almostWhite.pixels[40] = 0xFE;
    const RgbImage ink = Page(5);
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<const RgbImage*> input, expected;
    };
    const Case cases[] = {
        {"white page left out", "VNSkipBlank=ON\n", {&ink, &white, &ink}, {&ink, &ink}},
        {"white but for the last byte", "VNSkipBlank=ON\n", {&lastByte}, {&lastByte}},
        {"0xFE is not white", "VNSkipBlank=ON\n", {&almostWhite}, {&almostWhite}},
        {"all pages blank", "VNSkipBlank=ON\n", {&white, &white}, {}},
        {"uncollated copies of a blank page", "VNSkipBlank=ON\nCopies=3\n", {&white, &ink}, {&ink, &ink, &ink}},
        {"skipping off prints everything", "", {&white, &ink}, {&white, &ink}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteRc(c.rc);
        std::vector<std::vector<uint8_t>> pages;
        for (const RgbImage* p : c.input)
            pages.push_back(PpmPage(*p));
        const FilterResult result = Run(Concat(pages));
        ASSERT_EQ(0, result.nExitStatus);
        ExpectPages(ReadOutput(result), c.expected);
    }
}

TEST_F(BlankPageTest, WhiteButForTheLastByteWhenTheSizeIsNoMultipleOfFour)
{
    WritePaperInfo("A4: 7 3\n");   // 63 bytes a page
    WriteRc("VNSkipBlank=ON\n");
    RgbImage page = SolidImage(7, 3, 255, 255, 255);
    page.pixels.back() = 0xFE;
    const FilterResult result = Run(Concat({PpmPage(SolidImage(7, 3, 255, 255, 255)), PpmPage(page)}));
    ASSERT_EQ(0, result.nExitStatus);
    ExpectPages(ReadOutput(result), {&page});
}

// ---------------------------------------------------------------------------------------
// Cancellation

class CancelTest : public FilterJobTest {
protected:
    static constexpr size_t kNullBytes = 5768;

    // The end of a cancelled job: 5768 zero bytes, then the end of the gzip stream and the
    // trailer. Without the zeros the output is a whole job holding the page images that
    // were complete before the signal.
    static void ExpectClosedJob(const std::vector<uint8_t>& out, const std::vector<const RgbImage*>& expected)
    {
        const std::string text = Text(out);
        const std::string enter = "@PJL ENTER LANGUAGE=PWGRASTER\n";
        const size_t nStream = text.find(enter);
        ASSERT_NE(std::string::npos, nStream);
        const size_t nZeros = text.find(std::string(kNullBytes, '\0'), nStream + enter.size());
        ASSERT_NE(std::string::npos, nZeros) << "no 5768 zero bytes";
        const std::string trailer = "\x1b%-12345X\x1b%-12345X\n";
        ASSERT_GE(text.size(), trailer.size());
        EXPECT_EQ(trailer, text.substr(text.size() - trailer.size()));
        std::vector<uint8_t> job = out;
        job.erase(job.begin() + ptrdiff_t(nZeros), job.begin() + ptrdiff_t(nZeros + kNullBytes));
        FilterResult withoutZeros;
        withoutZeros.out = job;
        ExpectPages(ReadOutput(withoutZeros), expected);
    }
};

TEST_F(CancelTest, BeforeTheFirstPageTheSignalEndsTheFilter)
{
    FilterProcess filter(Args(), Env());
    filter.Write(Bytes("P6\n8 6\n"));   // the first header, not yet complete
    std::this_thread::sleep_for(200ms);
    filter.Signal(SIGTERM);
    const FilterResult result = filter.Wait(10s);
    EXPECT_FALSE(result.bExited);
    EXPECT_EQ(SIGTERM, result.nSignal);
    EXPECT_TRUE(result.out.empty());
    ExpectNothingLeft(result.nPid);
}

TEST_F(CancelTest, BetweenPageImagesTheSignalChangesNothing)
{
    FilterProcess filter(Args(), Env());
    filter.Write(PpmPage(Page(1)));
    ASSERT_TRUE(filter.WaitForOutput(1, 10s));   // the first page is done and flushed
    std::this_thread::sleep_for(100ms);
    filter.Signal(SIGTERM);
    std::this_thread::sleep_for(100ms);
    filter.Write(PpmPage(Page(2)));
    const FilterResult result = filter.Wait(10s);
    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(0, result.nExitStatus);
    EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
    EXPECT_EQ(2u, ReadOutput(result).pages.size());
    ExpectNothingLeft(result.nPid);
}

// The spooler cancels while the filter waits for the rest of a page, and its writer neither
// writes nor closes: the signal alone must end the job.
TEST_F(CancelTest, WhileAPageIsReadTheJobIsClosedPromptly)
{
    const RgbImage a = Page(1);
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<const RgbImage*> fullPages;   // sent before the page that is cut
        std::vector<const RgbImage*> expected;    // page images of the closed job
        int nSignal;                              // what the spooler or an administrator sends
    };
    const Case cases[] = {
        {"first page", "", {}, {}, SIGTERM},
        {"second page", "", {&a}, {&a}, SIGTERM},
        {"uncollated copies", "Copies=3\n", {&a}, {&a, &a, &a}, SIGTERM},
        {"SIGINT", "", {&a}, {&a}, SIGINT},
        {"SIGHUP", "", {&a}, {&a}, SIGHUP},
        {"SIGQUIT", "Copies=2\n", {&a}, {&a, &a}, SIGQUIT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteRc(c.rc);
        FilterProcess filter(Args(), Env());
        for (const RgbImage* pPage : c.fullPages)
            ASSERT_TRUE(filter.Write(PpmPage(*pPage)));
        std::vector<uint8_t> partial = PpmPage(Page(9));
        partial.resize(partial.size() - 20);
        ASSERT_TRUE(filter.Write(partial));
        ASSERT_TRUE(filter.WaitForReadCatching(c.nSignal, 30s)) << "the filter never waited for the page's pixels";
        filter.Signal(c.nSignal);
        // A hang guard: a filter that goes back to reading is killed at the timeout.
        const FilterResult result = filter.WaitKeepingInput(30s);
        ASSERT_TRUE(result.bExited) << "ended by signal " << result.nSignal;
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_EQ("", result.err);
        ExpectClosedJob(result.out, c.expected);
        ExpectNothingLeft(result.nPid);
    }
}

// ---------------------------------------------------------------------------------------
// Settings conversion, in process

#include "jobsettings.h"
#include "rastertovelnora.h"
#include "settings_fixture.h"

class ConversionTest : public settings_test::SettingsTest {
protected:
    TempDir files;
    std::string paperInf = files / "paperinfo";

    void SetUp() override
    {
        SettingsTest::SetUp();
        WriteModelTables(files / "model", "TestModel", "A4:\t12\t18\t12\t18\nVn3x5:\t1\t2\t3\t4\n",
                         "A4: 595 842\nVn3x5: 216 360\n");
        WriteFile(paperInf, "Info 600 600 dpi\nA4: 100 7\nVn3x5: 1800 3000\n");
        setenv("VELNORA_ROOT", (files / "model").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("VELNORA_ROOT");
        SettingsTest::TearDown();
    }

    // Loads the rc text and converts it; the status of the first failing step.
    int Convert(const std::string& rcText, JobSettings* pJob)
    {
        memset(pJob, 0, sizeof *pJob);
        pJob->pszPaperInf = paperInf.data();
        const std::string rc = WriteRc(rcText);
        const int nStatus = LoadRcFile(rc.c_str(), &g_rcInfo);
        return nStatus != 0 ? nStatus : ConvertRc2Pjp(&g_rcInfo, pJob);
    }
};

TEST_F(ConversionTest, SectionLineAloneGivesTheDefaults)
{
    JobSettings js;
    ASSERT_EQ(0, Convert("[TestModel]\n", &js));
    EXPECT_EQ(0, js.page.nMediaType);
    EXPECT_EQ(9, js.page.nPaperSize);
    EXPECT_EQ(2, js.page.nResolution);
    EXPECT_EQ(0, js.nInputSlot);
    EXPECT_EQ(1, js.nCopyCount);
    EXPECT_EQ(2, js.nColorMode);
    EXPECT_EQ(0, js.nCollate);
    EXPECT_EQ(3, js.nColorMatching);
    for (int16_t n : {js.nEnhanceBlack, js.nImproveOutput, js.nBrightness, js.nContrast, js.nRedKey, js.nGreenKey,
                      js.nBlueKey, js.nDuplex, js.nTonerSave, js.nGray})
        EXPECT_EQ(0, n);
    EXPECT_EQ(100, js.page.nPageWidth);
    EXPECT_EQ(7, js.page.nPageHeight);
    EXPECT_EQ(300, js.nBytesPerLine);
    EXPECT_EQ(12, js.page.nAreaLeftPt);
    EXPECT_EQ(824, js.page.nAreaBottomPt);
    EXPECT_EQ(595, js.page.nPaperWidthPt);
    EXPECT_EQ(842, js.page.nPaperHeightPt);
}

TEST_F(ConversionTest, WordsAndNumbersReachTheirFields)
{
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::function<void(const JobSettings&)> check;
    };
    const Case cases[] = {
        {"Mono is gray; bytes per line stay 3 x width", "VNMonoColor=Mono\n",
         [](const JobSettings& js) {
             EXPECT_EQ(0, js.nColorMode);
             EXPECT_EQ(300, js.nBytesPerLine);
         }},
        {"None", "VNColorMatching=None\n", [](const JobSettings& js) { EXPECT_EQ(0, js.nColorMatching); }},
        {"Vn3x5 is code 261 and its own paper", "PageSize=Vn3x5\n",
         [](const JobSettings& js) {
             EXPECT_EQ(261, js.page.nPaperSize);
             EXPECT_EQ(1800, js.page.nPageWidth);
             EXPECT_EQ(216, js.page.nPaperWidthPt);
             EXPECT_EQ(358, js.page.nAreaBottomPt);
         }},
        {"Copies=65537 keeps the low 16 bits", "Copies=65537\n", [](const JobSettings& js) { EXPECT_EQ(1, js.nCopyCount); }},
        {"Saturation reaches no field", "Saturation=40\nCopies=3\n",
         [](const JobSettings& js) {
             EXPECT_EQ(3, js.nCopyCount);
             EXPECT_EQ(0, js.nBrightness);
         }},
        {"carriage returns: words skipped, numbers read", "VNMonoColor=Mono\r\nCopies=4\r\n",
         [](const JobSettings& js) {
             EXPECT_EQ(2, js.nColorMode);
             EXPECT_EQ(4, js.nCopyCount);
         }},
        {"long-edge duplex and a tray", "VNDuplex=DuplexNoTumble\nInputSlot=MPTray\nBrightness=-4\n",
         [](const JobSettings& js) {
             EXPECT_EQ(2, js.nDuplex);
             EXPECT_EQ(6, js.nInputSlot);
             EXPECT_EQ(-4, js.nBrightness);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        settings_test::RestoreInitialSettings();
        JobSettings js;
        ASSERT_EQ(0, Convert("[TestModel]\n" + c.rc, &js));
        c.check(js);
    }
}

TEST_F(ConversionTest, PaperMissingFromThePaperFileStopsBeforeTheModelTables)
{
    RemoveTree(files / "model");
    testing::internal::CaptureStderr();
    JobSettings js;
    EXPECT_EQ(7, Convert("[TestModel]\nPageSize=Letter\n", &js));
    EXPECT_EQ("Error: Letter: paper info not found in paperinf !!\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(1, js.page.nPaperSize);
    EXPECT_EQ(0, js.nBytesPerLine);
}

TEST_F(ConversionTest, PaperFileMatchingRule)
{
    struct Case {
        const char* pszWhat;
        std::string records;
        int nStatus;
        int16_t nWidth, nHeight;
    };
    const Case cases[] = {
        {"line breaks carry no meaning", "A4:\n100\n\n200\n", 0, 100, 200},
        {"word without colon", "A4 100 200\n", 7, 0, 0},
        {"blank before the colon", "A4 : 100 200\n", 6, 0, 0},
        {"longer word does not belong", "A4x: 1 2\nA4: 3 4\n", 0, 3, 4},
        {"more after the colon belongs", "A4:portrait 5 6\n", 0, 5, 6},
        {"first record wins", "A4: 5 6\nA4: 7 8\n", 0, 5, 6},
        {"lower case is another word", "a4: 5 6\n", 7, 0, 0},
        {"incomplete record before the paper", "Letter: 5\nA4: 5 6\n", 6, 0, 0},
        {"header only", "", 7, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteFile(paperInf, "Info 600 600 dpi\n" + c.records);
        PageSetup page = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.nStatus, GetPaperInf(paperInf.c_str(), &page));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.nWidth, page.nPageWidth);
        EXPECT_EQ(c.nHeight, page.nPageHeight);
    }
}

TEST_F(ConversionTest, ModelRootComesFromTheEnvironment)
{
    const std::string longRoot = files.Path() + "/" + std::string(300, 'r');
    setenv("VELNORA_ROOT", longRoot.c_str(), 1);
    EXPECT_EQ(longRoot + "/P/bin/inf/ImagingArea", ModelTablePath("P", "ImagingArea"));
    setenv("VELNORA_ROOT", "", 1);
    EXPECT_EQ("/opt/velnora/P/bin/inf/PaperDimension", ModelTablePath("P", "PaperDimension"));
    unsetenv("VELNORA_ROOT");
    EXPECT_EQ("/opt/velnora/P/bin/inf/PaperDimension", ModelTablePath("P", "PaperDimension"));
}
