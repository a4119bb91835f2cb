// velnora_cups_test: the CUPS filter run as cupsd runs it: job id, user, title, copies and
// the options string as arguments, the queue's PPD (made by makeppd) in PPD, the document
// on standard input, the filter standing in a private install prefix with the tests'
// model tables; checked through the exit status, the message lines and the job read back.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <unistd.h>

#include "filterjob.h"

using namespace std::chrono_literals;

namespace {

bool HasLine(const VnJob& job, const std::string& line)
{
    return std::find(job.headerLines.begin(), job.headerLines.end(), line) != job.headerLines.end();
}

// The "PAGE: " lines of the messages, in order.
std::vector<std::string> PageLines(const std::string& err)
{
    std::vector<std::string> lines;
    size_t nStart = 0;
    while (nStart < err.size()) {
        size_t nEnd = err.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = err.size();
        const std::string line = err.substr(nStart, nEnd - nStart);
        if (line.rfind("PAGE: ", 0) == 0)
            lines.push_back(line);
        nStart = nEnd + 1;
    }
    return lines;
}

class CupsFilterTest : public FilterJobTest {
protected:
    static constexpr int kWidth = 64;   // the tests' A4 page, in pixels
    static constexpr int kHeight = 96;

    std::string prefix = dir / "prefix";
    std::string cupsFilter = prefix + "/lib/cups/filter/velnora-cups";
    std::string ppdPath = dir / "ppd/" + kPrinter + ".ppd";

    void SetUp() override
    {
        FilterJobTest::SetUp();
        WritePaperInfo("A4: 64 96\nLetter: 48 32\n");
        namespace fs = std::filesystem;
        MakeDirs(prefix + "/lib/cups/filter");
        MakeDirs(prefix + "/bin");
        MakeDirs(prefix + "/share/velnora");
        // A copy, not a link: the filter finds its prefix from its own executable's path.
        fs::copy_file(VELNORA_CUPS_PATH, cupsFilter);
        fs::create_symlink(FilterPath(), prefix + "/bin/rastertovelnora");
        fs::create_symlink(paperInfPath, prefix + "/share/velnora/paperinfo");
        fs::create_symlink(modelRoot, prefix + "/share/velnora/model");
        MakePpd("");
    }

    // The queue's PPD, its defaults the rc lines given.
    void MakePpd(const std::string& defaultLines)
    {
        WriteRc(defaultLines);
        RemoveTree(dir / "ppd");
        MakeDirs(dir / "ppd");
        FilterProcess make(VELNORA_MAKEPPD_PATH, {paperInfPath, modelRoot, rcPath, dir / "ppd"}, {}, false);
        const FilterResult made = make.Wait(60s);
        ASSERT_EQ(0, made.nExitStatus) << made.err;
    }

    FilterResult RunCups(const std::string& copies, const std::string& options, const std::vector<uint8_t>& input)
    {
        FilterProcess filter(cupsFilter, {"42", "alice", "Quarterly report", copies, options},
                             {{"PPD", ppdPath}, {"TMPDIR", tmpDir}, {"CONTENT_TYPE", "application/pdf"}}, true);
        filter.Write(input);
        FilterResult result = filter.Wait(60s);
        ExpectNothingLeft(result.nPid);
        return result;
    }

    RgbImage Picture(uint8_t nSeed) const
    {
        return MakeImage(kWidth, kHeight, [nSeed](int x, int y, uint8_t* p) {
            p[0] = uint8_t(nSeed + x * 3);
            p[1] = uint8_t(nSeed * 7 + y * 2);
            p[2] = uint8_t(x == y ? 0 : nSeed + 100);
        });
    }
};

TEST_F(CupsFilterTest, MapsCupsOptionsOntoTheJob)
{
    const RgbImage a = Picture(1), b = Picture(2), white = SolidImage(kWidth, kHeight, 255, 255, 255);
    const std::vector<uint8_t> input = Concat({PpmPage(a), PpmPage(b), PpmPage(white)});
    const std::vector<uint8_t> pa = a.pixels, pb = b.pixels, pw = white.pixels;
    struct Case {
        const char* pszWhat;
        std::string copies, options;
        std::vector<std::string> headerLines;
        std::vector<std::vector<uint8_t>> pages;   // empty: not checked
        std::vector<std::string> pageLines;        // empty: one "PAGE: n 1" per page
    };
    const Case cases[] = {
        {"the PPD's defaults", "1", "",
         {"@PJL SET HOLD=OFF", "@PJL SET DUPLEX=OFF", "@PJL SET PAPER=A4", "@PJL SET USERNAME=\"alice\"",
          "@PJL SET JOBNAME=\"Quarterly report\"", "@PJL SET ECONOPRINT=OFF", "@PJL SET APTMODE=ON"},
         {pa, pb, pw}, {"PAGE: 1 1", "PAGE: 2 1", "PAGE: 3 1"}},
        {"unknown options pass", "1", "number-up=1 fit-to-page job-uuid=urn:uuid:1 finishings=3", {}, {pa, pb, pw}, {}},
        {"job-password", "1", "job-password=1234",
         {"@PJL SET HOLD=STORE", "@PJL SET HOLDTYPE=PRIVATE", "@PJL SET HOLDKEY=1234"}, {}, {}},
        {"uncollated copies", "2", "", {}, {pa, pa, pb, pb, pw, pw}, {"PAGE: 1 2", "PAGE: 2 2", "PAGE: 3 2"}},
        {"collated copies", "2", "Collate=True", {}, {pa, pb, pw, pa, pb, pw}, {}},
        {"collated by IPP", "2", "multiple-document-handling=separate-documents-collated-copies", {},
         {pa, pb, pw, pa, pb, pw}, {}},
        {"collate attribute", "2", "collate=true", {}, {pa, pb, pw, pa, pb, pw}, {}},
        {"page ranges", "1", "page-ranges=2-3", {}, {pb, pw}, {}},
        {"sides", "1", "sides=two-sided-long-edge", {"@PJL SET DUPLEX=ON"}, {pa, Turned(b).pixels, pw}, {}},
        {"Duplex", "1", "Duplex=DuplexTumble", {"@PJL SET DUPLEX=ON"}, {pa, pb, pw}, {}},
        {"print-color-mode", "1", "print-color-mode=monochrome", {"@PJL SET RENDERMODE=GRAYSCALE"},
         {GrayPixels(a), GrayPixels(b), GrayPixels(white)}, {}},
        {"the PPD option wins", "1", "print-color-mode=monochrome ColorModel=RGB", {"@PJL SET RENDERMODE=COLOR"}, {}, {}},
        {"ColorModel", "1", "ColorModel=Gray", {"@PJL SET RENDERMODE=GRAYSCALE"}, {}, {}},
        {"PWG media", "1", "media=na_letter_8.5x11in", {"@PJL SET PAPER=LETTER"}, {}, {}},
        {"PageSize", "1", "PageSize=Letter", {"@PJL SET PAPER=LETTER"}, {}, {}},
        {"media with source and type", "1", "media=iso_a4_210x297mm,tray-3,labels",
         {"@PJL SET PAPER=A4", "@PJL SET SOURCETRAY=TRAY3", "@PJL SET MEDIATYPE=LABEL"}, {}, {}},
        {"media-source", "1", "media-source=tray-2", {"@PJL SET SOURCETRAY=TRAY2"}, {}, {}},
        {"InputSlot", "1", "InputSlot=Manual", {"@PJL SET MANUALFEED=ON"}, {}, {}},
        {"media-type", "1", "media-type=stationery-heavyweight", {"@PJL SET MEDIATYPE=THICK"}, {}, {}},
        {"MediaType", "1", "MediaType=Thick", {"@PJL SET MEDIATYPE=THICK"}, {}, {}},
        {"print-quality normal", "1", "print-quality=4", {"@PJL SET APTMODE=OFF"}, {}, {}},
        {"print-quality high", "1", "print-quality=5", {"@PJL SET APTMODE=ON"}, {}, {}},
        {"cupsPrintQuality", "1", "cupsPrintQuality=Normal", {"@PJL SET APTMODE=OFF"}, {}, {}},
        {"toner save, a bare Boolean", "1", "TonerSaveMode", {"@PJL SET ECONOMODE=ON"}, {}, {}},
        {"skip blank pages", "1", "VNSkipBlank=True", {}, {pa, pb}, {"PAGE: 1 1", "PAGE: 2 1", "PAGE: 3 1"}},
        {"escaped values", "1", "job-name=a\\ b\\\\c media-type=stationery", {"@PJL SET MEDIATYPE=REGULAR"}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunCups(c.copies, c.options, input);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        for (const std::string& line : c.headerLines)
            EXPECT_TRUE(HasLine(job, line)) << line;
        if (!c.pages.empty())
            ExpectPages(job, c.pages);
        std::vector<std::string> pageLines = c.pageLines;
        if (pageLines.empty()) {
            for (size_t i = 0; i < c.pages.size(); ++i)
                pageLines.push_back("PAGE: " + std::to_string(i + 1) + " 1");
        }
        if (!pageLines.empty()) {
            EXPECT_EQ(pageLines, PageLines(result.err));
        }
    }
}

TEST_F(CupsFilterTest, TakesWhatTheOptionsLeaveFromThePpd)
{
    MakePpd("PageSize=Letter\nVNDuplex=DuplexNoTumble\nVNMonoColor=Mono\nTonerSaveMode=ON\nInputSlot=Tray2\n"
            "MediaType=Thick\nVNResolution=Normal\n");
    const std::string ppd = ReadText(ppdPath);
    for (const char* pszDefault : {"*DefaultPageSize: Letter", "*DefaultDuplex: DuplexNoTumble", "*DefaultColorModel: Gray",
                                   "*DefaultTonerSaveMode: True", "*DefaultInputSlot: Tray2"})
        EXPECT_NE(std::string::npos, ppd.find(pszDefault)) << pszDefault;
    const RgbImage page = MakeImage(48, 32, [](int x, int y, uint8_t* p) { p[0] = p[1] = p[2] = uint8_t(x * y); });
    const FilterResult result = RunCups("1", "noTonerSaveMode media-type=labels", PpmPage(page));
    ASSERT_EQ(0, result.nExitStatus) << result.err;
    const VnJob job = ReadOutput(result);
    for (const char* pszLine : {"@PJL SET PAPER=LETTER", "@PJL SET DUPLEX=ON", "@PJL SET RENDERMODE=GRAYSCALE",
                                "@PJL SET ECONOPRINT=OFF", "@PJL SET SOURCETRAY=TRAY2", "@PJL SET MEDIATYPE=LABEL",
                                "@PJL SET APTMODE=OFF"})
        EXPECT_TRUE(HasLine(job, pszLine)) << pszLine;
}

TEST_F(CupsFilterTest, RefusesValuesAKnownOptionDoesNotTake)
{
    struct Case {
        const char* pszWhat;
        std::string copies, options, message;
    };
    const Case cases[] = {
        {"sides", "1", "sides=three-sided", "ERROR: Invalid value \"three-sided\" for the option sides\n"},
        {"a size the model lacks", "1", "media=iso_a0_841x1189mm",
         "ERROR: Invalid value \"iso_a0_841x1189mm\" for the option media\n"},
        {"a Boolean", "1", "TonerSaveMode=maybe", "ERROR: Invalid value \"maybe\" for the option TonerSaveMode\n"},
        {"a PIN", "1", "job-password=12a4", "ERROR: The job-password of a secure job must be exactly four digits\n"},
        {"copies", "0", "", "ERROR: Invalid value \"0\" for copies; valid values: 1 to 999\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunCups(c.copies, c.options, PpmPage(Picture(1)));
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_EQ(c.message, result.err);
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(CupsFilterTest, CancelClosesTheJobAndLeavesNoProcess)
{
    const RgbImage a = Picture(1);
    FilterProcess filter(cupsFilter, {"7", "bob", "t", "1", ""}, {{"PPD", ppdPath}, {"TMPDIR", tmpDir}}, true);
    const std::vector<uint8_t> page = PpmPage(a);
    filter.Write(Concat({page, std::vector<uint8_t>(page.begin(), page.begin() + 100)}));
    ASSERT_TRUE(filter.WaitForMessage("PAGE: 1 1", 60s));
    filter.Signal(SIGTERM);   // the pid alone, as a non-root cupsd cancels
    const FilterResult result = filter.WaitKeepingInput(60s);
    ExpectNothingLeft(result.nPid);
    EXPECT_EQ(0, result.nExitStatus) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("INFO: Job cancelled (SIGTERM)")) << result.err;
    const std::string text = Text(result.out);
    EXPECT_EQ(0u, text.find("\x1b%-12345X@PJL")) << "no job header";
    EXPECT_EQ("\x1b%-12345X\n", text.substr(text.size() - 10)) << "the job is not closed";
}

}  // namespace
