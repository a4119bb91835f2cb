// velnora_filter_test: the queue filter run as LPRng runs it: LPRng's arguments and -Z
// options, the document on standard input or named, the environment; checked through
// the exit status, standard error, the printer job read back, the private TMPDIR and the
// processes left. PDF and PostScript documents are made here with Ghostscript.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "filterjob.h"

using namespace std::chrono_literals;

namespace {

// Two pages of the paper's shape (2:3, as the tests' A4): red, then blue.
constexpr const char* kTwoPagesPs =
    "%!PS\n"
    "<< /PageSize [48 72] >> setpagedevice\n"
    "1 0 0 setrgbcolor clippath fill showpage\n"
    "0 0 1 setrgbcolor clippath fill showpage\n";

const std::string kUel = "\x1b%-12345X";

// Path of a program in the PATH the tests give the filter.
std::string ProgramInPath(const std::string& name)
{
    for (const char* pszDir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        const std::string path = std::string(pszDir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return name;
}

// Processes whose command line names the folder (and the program, when given): what a
// job left running.
std::vector<pid_t> ProcessesNaming(const std::string& folder, const std::string& program = "")
{
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (!proc)
        return pids;
    while (dirent* entry = readdir(proc)) {
        const pid_t nPid = pid_t(atoi(entry->d_name));
        if (nPid <= 0 || nPid == getpid())
            continue;
        const std::string cmdline = ReadText("/proc/" + std::string(entry->d_name) + "/cmdline");
        if (cmdline.find(folder) != std::string::npos && cmdline.find(program) != std::string::npos)
            pids.push_back(nPid);
    }
    closedir(proc);
    return pids;
}

bool HasLine(const VnJob& job, const std::string& line)
{
    return std::find(job.headerLines.begin(), job.headerLines.end(), line) != job.headerLines.end();
}

std::vector<uint8_t> SolidPixels(int nWidth, int nHeight, uint8_t r, uint8_t g, uint8_t b)
{
    return SolidImage(nWidth, nHeight, r, g, b).pixels;
}

// The bytes compressed as gzip does.
std::string GzipBytes(const std::string& data)
{
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(data.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Where a page's pixels of one kind lie: how many, and the box around them.
struct InkBox {
    int nCount = 0;
    int nLeft = INT32_MAX, nTop = INT32_MAX, nRight = -1, nBottom = -1;   // inclusive
};

InkBox FindInk(const PwgPage& page, const std::function<bool(const uint8_t*)>& isInk)
{
    InkBox box;
    for (int y = 0; y < int(page.nHeight); ++y)
        for (int x = 0; x < int(page.nWidth); ++x)
            if (isInk(&page.pixels[size_t(y) * page.nBytesPerLine + size_t(x) * 3])) {
                ++box.nCount;
                box.nLeft = std::min(box.nLeft, x);
                box.nTop = std::min(box.nTop, y);
                box.nRight = std::max(box.nRight, x);
                box.nBottom = std::max(box.nBottom, y);
            }
    return box;
}

bool IsNotWhite(const uint8_t* p) { return p[0] < 200 || p[1] < 200 || p[2] < 200; }
bool IsDark(const uint8_t* p) { return p[0] < 128 && p[1] < 128 && p[2] < 128; }
bool IsRed(const uint8_t* p) { return p[0] > 160 && p[1] < 96 && p[2] < 96; }
bool IsBlue(const uint8_t* p) { return p[0] < 96 && p[1] < 96 && p[2] > 160; }

}  // namespace

class QueueFilterTest : public FilterJobTest {
protected:
    static constexpr int kWidth = 64;    // the tests' A4 page, in pixels
    static constexpr int kHeight = 96;

    void SetUp() override
    {
        FilterJobTest::SetUp();
        WritePaperInfo("A4: 64 96\nLetter: 48 32\n");
    }

    void TearDown() override
    {
        const std::vector<pid_t> left = ProcessesNaming(dir.Path());
        EXPECT_EQ(std::vector<pid_t>{}, left) << "processes left running";
        for (pid_t nPid : left)
            kill(nPid, SIGKILL);
    }

    // The printcap's arguments, then LPRng's.
    std::vector<std::string> QueueArgs(const std::vector<std::string>& lprngArgs = {}) const
    {
        std::vector<std::string> args = {"--rc", rcPath, "--pi", paperInfPath, "--model-root", modelRoot};
        args.insert(args.end(), lprngArgs.begin(), lprngArgs.end());
        return args;
    }

    EnvList QueueEnv() const { return {{"TMPDIR", tmpDir}}; }

    FilterResult RunQueue(const std::vector<std::string>& lprngArgs, const std::vector<uint8_t>& input)
    {
        FilterProcess filter(QueueFilterPath(), QueueArgs(lprngArgs), QueueEnv(), true);
        filter.Write(input);
        FilterResult result = filter.Wait(60s);
        ExpectNothingLeft(result.nPid);
        return result;
    }

    // Runs Ghostscript on a PostScript program with the device's arguments; its output.
    std::vector<uint8_t> MakeWithGs(const std::vector<std::string>& deviceArgs, const std::string& postScript)
    {
        WriteFile(dir / "make.ps", postScript);
        std::vector<std::string> args = {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE"};
        args.insert(args.end(), deviceArgs.begin(), deviceArgs.end());
        args.insert(args.end(), {"-sOutputFile=" + dir / "made", dir / "make.ps"});
        FilterProcess gs(ProgramInPath("gs"), args, {}, false);
        const FilterResult result = gs.Wait(60s);
        EXPECT_EQ(0, result.nExitStatus) << result.err;
        const std::string made = ReadText(dir / "made");
        RemoveTree(dir / "make.ps");
        RemoveTree(dir / "made");
        return Bytes(made);
    }

    std::vector<uint8_t> MakePdf(const std::string& postScript) { return MakeWithGs({"-sDEVICE=pdfwrite"}, postScript); }

    RgbImage Picture(uint8_t nSeed) const
    {
        return MakeImage(kWidth, kHeight, [nSeed](int x, int y, uint8_t* p) {
            p[0] = uint8_t(nSeed + x * 3);
            p[1] = uint8_t(nSeed * 7 + y * 2);
            p[2] = uint8_t(x == y ? 0 : nSeed + 100);
        });
    }

    // A job that began ends with the trailer: "\x1b%-12345X" ... "\x1b%-12345X\n".
    static void ExpectJobClosed(const std::vector<uint8_t>& out)
    {
        const std::string text = Text(out);
        ASSERT_EQ(0u, text.find(kUel + "@PJL")) << "no job header";
        const size_t nEnter = text.find("@PJL ENTER LANGUAGE=PWGRASTER\n");
        ASSERT_NE(std::string::npos, nEnter);
        ASSERT_GE(text.size(), kUel.size() + 1);
        EXPECT_EQ(kUel + "\n", text.substr(text.size() - kUel.size() - 1)) << "the job does not end with UEL";
        const size_t nTrailer = text.rfind(kUel, text.size() - kUel.size() - 2);
        EXPECT_TRUE(nTrailer != std::string::npos && nTrailer > nEnter) << "no trailer after the pages";
    }
};

// ---------------------------------------------------------------------------------------
// Documents

TEST_F(QueueFilterTest, PrintsPdfPostScriptAndPpmPages)
{
    // A model without margins: the pages, of the sheet's shape, fill the page image.
    WriteModelTables(modelRoot, kPrinter, "A4:\t0\t0\t0\t0\n", "A4: 595 842\n");
    const RgbImage a = Picture(1);
    const RgbImage b = Picture(2);
    const std::vector<uint8_t> red = SolidPixels(kWidth, kHeight, 255, 0, 0);
    const std::vector<uint8_t> blue = SolidPixels(kWidth, kHeight, 0, 0, 255);
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> document;
        std::vector<std::vector<uint8_t>> pages;
        std::string expectedErr;   // whole, or "" when rendering messages come first
    };
    const Case cases[] = {
        {"PDF", MakePdf(kTwoPagesPs), {red, blue}, ""},
        {"PostScript", Bytes(kTwoPagesPs), {red, blue}, ""},
        {"PPM", Concat({PpmPage(a), PpmPage(b)}), {a.pixels, b.pixels}, "INFO: The printer is ready to print.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue({"-Jtitle", "-nalice", "-Pqueue", "-c", "-hhost"}, c.document);
        ASSERT_TRUE(result.bExited);
        EXPECT_EQ(0, result.nExitStatus) << result.err;
        if (!c.expectedErr.empty()) {
            EXPECT_EQ(c.expectedErr, result.err);
        } else {
            EXPECT_EQ("INFO: Rendering the " + std::string(c.pszWhat) +
                          " document with Ghostscript (64x96 pixels at 600 dpi)\n"
                          "INFO: Rendered page 1\nINFO: Rendered page 2\nINFO: The printer is ready to print.\n",
                      result.err);
        }
        const VnJob job = ReadOutput(result);
        EXPECT_TRUE(HasLine(job, "@PJL SET USERNAME=\"alice\""));
        EXPECT_TRUE(HasLine(job, "@PJL SET JOBNAME=\"title\""));
        EXPECT_EQ("title", job.szEojTitle);
        ExpectPages(job, c.pages);
        for (const PwgPage& page : job.pages)
            EXPECT_EQ(uint32_t(kWidth), page.nWidth);
    }
}

TEST_F(QueueFilterTest, ReadsANamedDocumentAndNeverTheAccountingFile)
{
    WriteModelTables(modelRoot, kPrinter, "A4:\t0\t0\t0\t0\n", "A4: 595 842\n");   // pages fill the page image
    const std::string oddName = dir / "% odd \"name\" $(id) & ;\n`id` 'x'.doc";
    const std::string accounting = dir / "acct";
    WriteFile(accounting, "");
    const RgbImage a = Picture(5);
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> document;
        std::vector<uint8_t> firstPage;
    };
    const Case cases[] = {
        {"PDF", MakePdf(kTwoPagesPs), SolidPixels(kWidth, kHeight, 255, 0, 0)},
        {"PostScript", Bytes(kTwoPagesPs), SolidPixels(kWidth, kHeight, 255, 0, 0)},
        {"PPM", PpmPage(a), a.pixels},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteBytes(oddName, c.document);
        // LPRng's "$a" and "$-a": the accounting file also as a bare argument.
        const FilterResult result = RunQueue({"-a" + accounting, oddName, accounting}, {});
        EXPECT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        ASSERT_FALSE(job.pages.empty());
        EXPECT_EQ(c.firstPage, job.pages[0].pixels);
    }
    EXPECT_EQ(std::string(), ReadText(accounting));

    const FilterResult missing = RunQueue({dir / "no such document"}, {});
    EXPECT_EQ(1, missing.nExitStatus);
    EXPECT_EQ(0u, missing.err.find("ERROR: Cannot open the document ")) << missing.err;
}

TEST_F(QueueFilterTest, RefusesDocumentsOfOtherKinds)
{
    const std::string accepted = "; the queue prints PDF, PostScript, EPS, UTF-8 text, PNG, JPEG, PPM pages "
                                 "(\"P6\"), or one of these compressed with gzip\n";
    struct Case {
        const char* pszWhat;
        std::string document;
        std::string message;
    };
    const Case cases[] = {
        {"GIF", "GIF89a\x01\x02\x03\x04 and more",
         "ERROR: Cannot print a GIF image (it begins with \"GIF89a\\x01\\x02\\x03\\x04 and m...\")" + accepted},
        {"gray PGM", "P5\n64 96\n255\n\x01\x02",
         "ERROR: Cannot print a PGM image (it begins with \"P5\\x0A64 96\\x0A255\\x0A\\x01\\x02\")" + accepted},
        {"ZIP", std::string("PK\x03\x04\x14\x00", 6),
         "ERROR: Cannot print a ZIP archive (or an office document) (it begins with \"PK\\x03\\x04\\x14\\x00\")" +
             accepted},
        {"ELF", std::string("\x7F" "ELF\x02\x01\x01\x00", 8),
         "ERROR: Cannot print an ELF program (it begins with \"\\x7FELF\\x02\\x01\\x01\\x00\")" + accepted},
        {"UTF-16", std::string("h\0i\0!\0\n\0", 8),
         "ERROR: Cannot print a UTF-16 text (it begins with \"h\\x00i\\x00!\\x00\\x0A\\x00\")" + accepted},
        {"Latin-1", "caf\xE9\n",
         "ERROR: Cannot print a text that is not UTF-8 (an 8-bit encoding such as Latin-1) (it begins with "
         "\"caf\\xE9\\x0A\")" + accepted},
        {"binary", std::string("\x00\x01\x02\xFE", 4),
         "ERROR: Cannot print binary data (it begins with \"\\x00\\x01\\x02\\xFE\")" + accepted},
        {"gzip of binary", GzipBytes(std::string("\x00\x01", 2)),
         "ERROR: Cannot print the gzip-compressed document: it holds binary data" + accepted},
        {"empty", "", "ERROR: The document is empty: nothing to print\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue({"-Jtitle"}, Bytes(c.document));
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_EQ(c.message, result.err);
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(QueueFilterTest, GhostscriptFailureRefusesTheJob)
{
    struct Case {
        const char* pszWhat;
        std::string document;
        std::string message;
    };
    const Case cases[] = {
        {"PostScript error", "%!PS\nnosuchoperator\n", "ERROR: Ghostscript could not render the document (exit status 1)\n"},
        {"PDF without pages", "%PDF-1.4\nnothing here\n", "ERROR: Ghostscript found no page to print in the document\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue({}, Bytes(c.document));
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
}

// UTF-8 text with accented letters and a form feed: two pages, the text in the upper left
// of each, nothing in the printer's margins. A larger page image, so the letters show.
TEST_F(QueueFilterTest, PrintsUtf8TextInTheUpperLeftOfEachPage)
{
    WritePaperInfo("A4: 620 877\n");   // 74.4 x 105.2 points
    const std::string text = "Gr\xC3\xBC\xC3\x9F" "e, caf\xC3\xA9, \xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1\n"
                             "\tindented\n\fon the second page\n";
    const FilterResult result = RunQueue({}, Bytes(text));
    ASSERT_EQ(0, result.nExitStatus) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("INFO: Rendering the text document with Ghostscript")) << result.err;
    const VnJob job = ReadOutput(result);
    ASSERT_EQ(2u, job.pages.size());
    // The printable area: 12 points of 595 at the sides, 18 of 842 at the top and bottom.
    const int nMarginX = 13;
    const int nMarginY = 19;
    for (const PwgPage& page : job.pages) {
        const InkBox ink = FindInk(page, IsDark);
        EXPECT_GT(ink.nCount, 50);
        EXPECT_LT(ink.nRight, 620 / 2) << "the text is in the left half";
        EXPECT_LT(ink.nBottom, 877 / 4) << "the text is at the top";
        EXPECT_GE(ink.nLeft, nMarginX);
        EXPECT_GE(ink.nTop, nMarginY);
    }
}

// Images keep their size at their resolution, upright: 40 x 60 pixels at 600 dpi, red
// above blue, centred in the 64 x 96 page image.
TEST_F(QueueFilterTest, PrintsPngAndJpegImagesUprightAtTheirSize)
{
    const std::string redOverBlue = "1 0 0 setrgbcolor 0 3.6 4.8 3.6 rectfill 0 0 1 setrgbcolor 0 0 4.8 3.6 rectfill "
                                    "showpage\n";
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> document;
    };
    const Case cases[] = {
        {"PNG", MakeWithGs({"-sDEVICE=png16m", "-r600", "-g40x60"}, redOverBlue)},
        {"JPEG", MakeWithGs({"-sDEVICE=jpeg", "-r600", "-g40x60", "-dJPEGQ=95"}, redOverBlue)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue({}, c.document);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(1u, job.pages.size());
        const InkBox red = FindInk(job.pages[0], IsRed);
        const InkBox blue = FindInk(job.pages[0], IsBlue);
        const InkBox all = FindInk(job.pages[0], IsNotWhite);
        EXPECT_NEAR(12, all.nLeft, 1);
        EXPECT_NEAR(51, all.nRight, 1);
        EXPECT_NEAR(18, all.nTop, 1);
        EXPECT_NEAR(77, all.nBottom, 1);
        EXPECT_NEAR(1200, red.nCount, 80);
        EXPECT_NEAR(1200, blue.nCount, 80);
        EXPECT_LT(red.nBottom, blue.nTop + 2) << "red above blue";
    }
}

// Pages keep their size when they fit the printable area and shrink into it when they do
// not. A model with wide margins: 20% of the sheet on each side, so the area of the 64 x
// 96 page image is 38.4 x 57.6 pixels from (12.8, 19.2).
TEST_F(QueueFilterTest, PlacesPagesInsideThePrintableArea)
{
    WriteModelTables(modelRoot, kPrinter, "A4:\t119\t168\t119\t168\n", "A4: 595 842\n");
    // A 3 x 3 point EPS logo is 25 x 25 pixels at 600 dpi: not blown up to the page.
    const std::string eps = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 10 10 13 13\n%%EndComments\n"
                            "0 setgray 10 10 3 3 rectfill\n";
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> document;
        int nLeft, nTop, nRight, nBottom;   // the expected box of ink, inclusive
    };
    const Case cases[] = {
        {"EPS smaller than the area", Bytes(eps), 20, 36, 44, 60},
        {"PDF larger than the area", MakePdf("%!PS\n<< /PageSize [480 720] >> setpagedevice\n"
                                             "0 setgray clippath fill showpage\n"),
         13, 19, 51, 76},
        {"gzip-compressed PostScript larger than the area", Bytes(GzipBytes("%!PS\n<< /PageSize [48 72] >> "
                                                                            "setpagedevice\n0 setgray 0 0 48 72 "
                                                                            "rectfill showpage\n")),
         13, 19, 51, 76},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue({}, c.document);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(1u, job.pages.size());
        const InkBox ink = FindInk(job.pages[0], IsNotWhite);
        EXPECT_NEAR(c.nLeft, ink.nLeft, 1);
        EXPECT_NEAR(c.nTop, ink.nTop, 1);
        EXPECT_NEAR(c.nRight, ink.nRight, 1);
        EXPECT_NEAR(c.nBottom, ink.nBottom, 1);
        EXPECT_NEAR((c.nRight - c.nLeft + 1) * (c.nBottom - c.nTop + 1), ink.nCount, 60);
    }
}

// ---------------------------------------------------------------------------------------
// Job options and LPRng's arguments

TEST_F(QueueFilterTest, AppliesEachJobOption)
{
    const RgbImage a = Picture(1);
    const RgbImage b = Picture(2);
    const RgbImage white = SolidImage(kWidth, kHeight, 255, 255, 255);
    const std::vector<uint8_t> input = Concat({PpmPage(a), PpmPage(b), PpmPage(white)});
    const std::vector<uint8_t> pa = a.pixels, pw = white.pixels, pb = b.pixels;
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
        std::vector<std::string> headerLines;
        std::vector<std::vector<uint8_t>> pages;   // empty: not checked
    };
    const Case cases[] = {
        {"defaults", {}, {"@PJL SET HOLD=OFF", "@PJL SET DUPLEX=OFF", "@PJL SET ECONOPRINT=OFF"}, {pa, pb, pw}},
        {"pin", {"-Zpin=1234"}, {"@PJL SET HOLD=STORE", "@PJL SET HOLDTYPE=PRIVATE", "@PJL SET HOLDKEY=1234"}, {}},
        {"copies", {"-Zcopies=2"}, {}, {pa, pa, pb, pb, pw, pw}},
        {"copies uncollated", {"-Zcopies=2,collate=off"}, {}, {pa, pa, pb, pb, pw, pw}},
        {"duplex long", {"-Zduplex=long"}, {"@PJL SET DUPLEX=ON"}, {pa, Turned(b).pixels, pw}},
        {"duplex short", {"-Zduplex=short"}, {"@PJL SET DUPLEX=ON"}, {pa, pb, pw}},
        {"duplex none", {"-Zduplex=none"}, {"@PJL SET DUPLEX=OFF"}, {pa, pb, pw}},
        {"mono", {"-Zcolor=mono"}, {"@PJL SET RENDERMODE=GRAYSCALE"}, {GrayPixels(a), GrayPixels(b), GrayPixels(white)}},
        {"colour", {"-Zcolor=color"}, {"@PJL SET RENDERMODE=COLOR", "@PJL SET COLORADAPT=OFF"}, {pa, pb, pw}},
        {"automatic colour", {"-Zcolor=auto"}, {"@PJL SET RENDERMODE=COLOR", "@PJL SET COLORADAPT=ON"}, {}},
        {"media type", {"-Zmediatype=Thick"}, {"@PJL SET MEDIATYPE=THICK"}, {}},
        {"tray", {"-Ztray=Tray2"}, {"@PJL SET MANUALFEED=OFF", "@PJL SET SOURCETRAY=TRAY2"}, {}},
        {"manual feed", {"-Ztray=manual"}, {"@PJL SET MANUALFEED=ON"}, {}},
        {"normal quality", {"-Zquality=normal"}, {"@PJL SET APTMODE=OFF"}, {}},
        {"fine quality", {"-Zquality=fine"}, {"@PJL SET APTMODE=ON"}, {}},
        {"toner save", {"-Ztonersave=on"}, {"@PJL SET ECONOMODE=ON"}, {}},
        {"no toner save", {"-Ztonersave=off"}, {"@PJL SET ECONOPRINT=OFF"}, {}},
        {"skip blank pages", {"-Zskipblank=on"}, {}, {pa, pb}},
        {"keep blank pages", {"-Zskipblank=off"}, {}, {pa, pb, pw}},
        {"any case, blanks", {"-Z", " Duplex = LONG , MEDIATYPE=thick"}, {"@PJL SET DUPLEX=ON", "@PJL SET MEDIATYPE=THICK"}, {}},
        {"several -Z, both forms", {"-Z", "copies=2", "-Zskipblank=on", "-Z", "pin=0042"},
         {"@PJL SET HOLDKEY=0042"}, {pa, pa, pb, pb}},
        {"a later option wins", {"-Zcolor=mono,color=color"}, {"@PJL SET RENDERMODE=COLOR"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue(c.args, input);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
        const VnJob job = ReadOutput(result);
        for (const std::string& line : c.headerLines)
            EXPECT_TRUE(HasLine(job, line)) << line;
        if (c.pages.empty())
            continue;
        ExpectPages(job, c.pages);
    }

    // Collated copies: the document once per copy, in page order; the queue's own settings
    // hold where no option says otherwise.
    WriteRc("VNMonoColor=Mono\nTonerSaveMode=ON\n");
    const FilterResult collated = RunQueue({"-Zcopies=2,collate=on,tonersave=off"}, input);
    ASSERT_EQ(0, collated.nExitStatus) << collated.err;
    const VnJob job = ReadOutput(collated);
    EXPECT_TRUE(HasLine(job, "@PJL SET RENDERMODE=GRAYSCALE"));
    EXPECT_TRUE(HasLine(job, "@PJL SET ECONOPRINT=OFF"));
    ExpectPages(job, {GrayPixels(a), GrayPixels(b), GrayPixels(white), GrayPixels(a), GrayPixels(b), GrayPixels(white)});
}

TEST_F(QueueFilterTest, MediaChoosesTheRenderedPageSize)
{
    const FilterResult result = RunQueue({"-Zmedia=letter"}, Bytes(kTwoPagesPs));
    ASSERT_EQ(0, result.nExitStatus) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("(48x32 pixels at 600 dpi)")) << result.err;
    const VnJob job = ReadOutput(result);
    EXPECT_TRUE(HasLine(job, "@PJL SET PAPER=LETTER"));
    ASSERT_EQ(2u, job.pages.size());
    EXPECT_EQ(48u, job.pages[0].nWidth);
    EXPECT_EQ(32u, job.pages[0].nHeight);
}

// The option table itself is tested in jobrequest_test; here a refusal ends the job as the
// spooler sees it: status 2, the message alone, no byte for the printer.
TEST_F(QueueFilterTest, RefusesJobOptionsItCannotApply)
{
    struct Case {
        std::string option;
        std::string message;
    };
    const Case cases[] = {
        {"pin=123", "ERROR: The PIN of a secure job must be exactly four digits (pin=NNNN)\n"},
        {"copies=2,frobnicate=1", "ERROR: Unknown job option \"frobnicate\"; valid options: pin, copies, pages, collate, "
                                  "duplex, color, media, mediatype, tray, quality, tonersave, skipblank\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        const FilterResult result = RunQueue({"-Jtitle", "-Z" + c.option}, PpmPage(Picture(1)));
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_EQ(c.message, result.err);
        EXPECT_TRUE(result.out.empty());
    }
    // Page sizes come from the paper-information file the queue names.
    const FilterResult media = RunQueue({"-Zmedia=A0"}, PpmPage(Picture(1)));
    EXPECT_EQ(2, media.nExitStatus);
    EXPECT_EQ(0u, media.err.find("ERROR: Invalid value \"A0\" for media; valid values: A4, Letter, Legal, ")) << media.err;
}

TEST_F(QueueFilterTest, RefusesABadCommandLine)
{
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"no rc file", {"--pi", paperInfPath}, "ERROR: Both --rc RCFILE and --pi PAPERINFO must be given\n"},
        {"no value", {"--rc", rcPath, "--pi"}, "ERROR: The option --pi needs a value\n"},
        {"unknown long option", {"--rc=" + rcPath, "--pi=" + paperInfPath, "--colour"},
         "ERROR: Unknown option --colour (known: --rc, --pi, --model-root, --gs-memory, --gs-page-timeout)\n"},
        {"two documents", {"--rc", rcPath, "--pi", paperInfPath, "a.pdf", "b.pdf"},
         "ERROR: More than one document named: b.pdf\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        FilterProcess filter(QueueFilterPath(), c.args, QueueEnv(), true);
        const FilterResult result = filter.Wait(30s);
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_EQ(c.message, result.err);
    }
}

TEST_F(QueueFilterTest, TitleAndUserReachTheHeaderSanitised)
{
    const std::string pwned = dir / "pwned";
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
        std::string title;   // as the header carries it
    };
    const Case cases[] = {
        {"quotes, newline, command", {"-J", "Q3 \"final\"\n$(touch " + pwned + ") `touch " + pwned + "`; | &", "-nbob"},
         "Q3 final$(touch " + pwned + ") `touch " + pwned + "`; | &"},
        {"file name when no title", {"-Nreport 'v2'.pdf", "-nbob"}, "report 'v2'.pdf"},
        {"title before file name", {"-Nfile.pdf", "-Jthe title", "-nbob"}, "the title"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue(c.args, Bytes(kTwoPagesPs));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        EXPECT_TRUE(HasLine(job, "@PJL SET JOBNAME=\"" + c.title + "\""));
        EXPECT_TRUE(HasLine(job, "@PJL SET USERNAME=\"bob\""));
        EXPECT_EQ(c.title, job.szEojTitle);
    }
    EXPECT_NE(0, access(pwned.c_str(), F_OK)) << "a shell ran the title";
}

// A name longer than the kernel takes for one environment string (128 KiB) reaches the
// printer cut to 255 bytes, and the job prints.
TEST_F(QueueFilterTest, LongOwnerAndTitleAreCutAndTheJobPrints)
{
    const std::string longName(131070, 'x');
    const std::string cut(255, 'x');
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> document;
        std::vector<std::string> args;
        std::string owner;
        std::string title;
    };
    const Case cases[] = {
        {"PPM, title", PpmPage(Picture(1)), {"-J", longName, "-nbob"}, "bob", cut},
        {"PDF, title", MakePdf(kTwoPagesPs), {"-J", longName, "-nbob"}, "bob", cut},
        {"PostScript, owner", Bytes(kTwoPagesPs), {"-n", longName, "-Jtitle"}, cut, "title"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue(c.args, c.document);
        ASSERT_EQ(0, result.nExitStatus) << result.err.substr(0, 2000);
        const VnJob job = ReadOutput(result);
        EXPECT_TRUE(HasLine(job, "@PJL SET JOBNAME=\"" + c.title + "\""));
        EXPECT_TRUE(HasLine(job, "@PJL SET USERNAME=\"" + c.owner + "\""));
        EXPECT_EQ(c.title, job.szEojTitle);
        EXPECT_FALSE(job.pages.empty());
    }
}

TEST_F(QueueFilterTest, PassesTheFiltersRefusalsOn)
{
    struct Case {
        const char* pszWhat;
        std::string rc;       // the whole rc file
        std::string option;
        int nStatus;
    };
    const std::string section = "[" + std::string(kPrinter) + "]\n";
    const Case cases[] = {
        {"paper not in the paper information", section, "-Zmedia=Legal", 7},
        {"rc file without its section line first", "Copies=2\n" + section, "-Zcopies=1", 5},
    };
    for (const Case& c : cases) {
        for (const auto& [pszKind, document] : {std::pair{"PPM", PpmPage(Picture(1))},
                                                std::pair{"PostScript", Bytes(kTwoPagesPs)}}) {
            SCOPED_TRACE(std::string(c.pszWhat) + ", " + pszKind);
            WriteFile(rcPath, c.rc);
            const FilterResult result = RunQueue({c.option}, document);
            EXPECT_EQ(c.nStatus, result.nExitStatus) << result.err;
            EXPECT_EQ(0u, result.err.find("Error: ")) << result.err;
            EXPECT_TRUE(result.out.empty());
        }
    }
}

// ---------------------------------------------------------------------------------------
// Installation faults and Ghostscript's bounds

// Ghostscript missing from PATH and rastertovelnora missing beside the wrapper are both
// faults of the installation: status 1 (the spooler retries later), one message, nothing
// for the printer.
TEST_F(QueueFilterTest, AMissingProgramFailsTheJobForALaterRetry)
{
    const std::string emptyBin = dir / "empty-bin";
    MakeDirs(emptyBin);
    // A wrapper alone in its folder: rastertovelnora is looked for beside it.
    const std::string lonely = dir / "lonely/velnora-filter";
    MakeDirs(dir / "lonely");
    WriteFile(lonely, ReadText(QueueFilterPath()));
    ASSERT_EQ(0, chmod(lonely.c_str(), 0755));
    const std::string rendering = "INFO: Rendering the PostScript document with Ghostscript (64x96 pixels at 600 dpi)\n";
    const std::string noFilter = "ERROR: Cannot run " + dir / "lonely/rastertovelnora" + ": No such file or directory\n";
    struct Case {
        const char* pszWhat;
        std::string program;
        std::vector<std::string> args;   // before the queue's arguments
        std::vector<uint8_t> document;
        std::string err;
    };
    const Case cases[] = {
        {"no gs in PATH", "/usr/bin/env", {"PATH=" + emptyBin, QueueFilterPath()}, Bytes(kTwoPagesPs),
         rendering + "ERROR: Cannot run gs: No such file or directory\n"},
        {"no rastertovelnora, PostScript", lonely, {}, Bytes(kTwoPagesPs), noFilter},
        {"no rastertovelnora, PPM", lonely, {}, PpmPage(Picture(1)), noFilter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<std::string> args = c.args;
        for (const std::string& arg : QueueArgs({"-Jtitle"}))
            args.push_back(arg);
        FilterProcess queue(c.program, args, QueueEnv(), true);
        queue.Write(c.document);
        const FilterResult result = queue.Wait(60s);
        EXPECT_EQ(1, result.nExitStatus);
        EXPECT_EQ(c.err, result.err);
        EXPECT_TRUE(result.out.empty());
        ExpectNothingLeft(result.nPid);
    }
}

// A document that takes memory without end meets the queue's limit: Ghostscript fails
// with its own message, the wrapper says why, and the job is refused.
TEST_F(QueueFilterTest, GhostscriptsMemoryIsBounded)
{
    const FilterResult result = RunQueue({"--gs-memory", "256"},
                                         Bytes("%!PS\n/chain null def { /chain [chain 1000000 string] def } loop\n"));
    EXPECT_EQ(2, result.nExitStatus);
    EXPECT_NE(std::string::npos, result.err.find("Error: /VMerror")) << result.err;
    EXPECT_NE(std::string::npos,
              result.err.find("\nERROR: Ghostscript ran out of memory: the queue allows it 256 MiB (--gs-memory)\n"))
        << result.err;
    EXPECT_TRUE(result.out.empty());
}

// Ghostscript's messages reach the log up to 64 KiB, in whole lines; then one line tells
// how much was left out. The job prints as ever.
TEST_F(QueueFilterTest, GhostscriptsMessagesAreBounded)
{
    constexpr int kLines = 30000;
    std::string said;   // what the document makes Ghostscript say: 1 to kLines, a line each
    for (int i = 1; i <= kLines; ++i)
        said += std::to_string(i) + "\n";
    const FilterResult result =
        RunQueue({}, Bytes("%!PS\n1 1 " + std::to_string(kLines) + " { == } for\n1 0 0 setrgbcolor clippath fill showpage\n"));
    ASSERT_EQ(0, result.nExitStatus) << result.err.substr(0, 2000);
    ExpectPages(ReadOutput(result), {SolidPixels(kWidth, kHeight, 255, 0, 0)});

    std::string passed;   // the lines not the wrapper's own
    std::vector<std::string> own;
    for (size_t nStart = 0; nStart < result.err.size();) {
        const size_t nEnd = result.err.find('\n', nStart) + 1;
        const std::string line = result.err.substr(nStart, nEnd - nStart);
        (line.rfind("INFO: ", 0) == 0 ? own.push_back(line) : void(passed += line));
        nStart = nEnd;
    }
    EXPECT_EQ(said.substr(0, passed.size()), passed);
    EXPECT_LE(passed.size(), 64u * 1024);
    EXPECT_GT(passed.size(), 64u * 1024 - 6) << "a whole line more would have fitted";
    const std::string cutLine = "INFO: Ghostscript's messages cut after " + std::to_string(passed.size()) +
                                " bytes: " + std::to_string(said.size() - passed.size()) + " bytes left out\n";
    EXPECT_EQ(1, std::count(own.begin(), own.end(), cutLine)) << result.err.substr(result.err.size() - 300);
    EXPECT_EQ(4u, own.size());   // rendering, the cut, the page, the printer ready
}

// A document that renders for ever is stopped once Ghostscript has rendered no page for
// the queue's time; the pages rendered before are printed, and the job is refused.
TEST_F(QueueFilterTest, GhostscriptWithoutProgressIsStopped)
{
    struct Case {
        const char* pszWhat;
        std::string document;
        size_t nPages;
    };
    const Case cases[] = {
        {"before the first page", "%!PS\n{ } loop\n", 0},
        {"after the first page", "%!PS\n1 0 0 setrgbcolor clippath fill showpage\n{ } loop\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunQueue({"--gs-page-timeout=1"}, Bytes(c.document));
        ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_NE(std::string::npos,
                  result.err.find("ERROR: Ghostscript rendered no page in 1 seconds (--gs-page-timeout); stopped\n"))
            << result.err;
        if (c.nPages == 0) {
            EXPECT_TRUE(result.out.empty());
            continue;
        }
        const VnJob job = ReadOutput(result);
        ExpectPages(job, {SolidPixels(kWidth, kHeight, 255, 0, 0)});
    }
}

// ---------------------------------------------------------------------------------------
// Cancellation

class QueueCancelTest : public QueueFilterTest {
protected:
    struct SignalCase {
        const char* pszWhat;
        std::vector<int> signals;
        bool bToGroup;   // LPRng's lprm signals the filter's process group
    };

    static std::vector<SignalCase> CancelSignals()
    {
        return {
            {"SIGTERM", {SIGTERM}, false},
            {"SIGINT", {SIGINT}, true},
            {"SIGHUP", {SIGHUP}, true},
            {"SIGQUIT", {SIGQUIT}, true},
            {"lprm", {SIGINT, SIGHUP, SIGQUIT, SIGCONT}, true},
        };
    }

    static void Send(FilterProcess* pFilter, const SignalCase& c)
    {
        for (int nSignal : c.signals) {
            if (c.bToGroup)
                pFilter->SignalGroup(nSignal);
            else
                pFilter->Signal(nSignal);
        }
    }

    // A cancelled job: status 0, the wrapper's message, nothing left behind.
    FilterResult WaitCancelled(FilterProcess* pFilter)
    {
        const auto start = std::chrono::steady_clock::now();
        FilterResult result = pFilter->Wait(30s);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "the job did not end by itself";
        EXPECT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_NE(std::string::npos, result.err.find("INFO: Job cancelled (SIG")) << result.err;
        ExpectNothingLeft(result.nPid);
        EXPECT_EQ(std::vector<pid_t>{}, ProcessesNaming(dir.Path())) << "Ghostscript or the filter left running";
        return result;
    }
};

TEST_F(QueueCancelTest, WhileGhostscriptRendersEachSignalEndsTheJob)
{
    struct Phase {
        const char* pszWhat;
        std::string document;
        std::string awaited;   // the message after which the signal comes
        bool bJobBegun;
    };
    const Phase phases[] = {
        {"before the first page", "%!PS\n{ } loop\n", "INFO: Rendering the PostScript document", false},
        {"after the first page", "%!PS\n1 0 0 setrgbcolor clippath fill showpage\n{ } loop\n",
         "INFO: Rendered page 1", true},
    };
    for (const Phase& phase : phases) {
        for (const SignalCase& c : CancelSignals()) {
            SCOPED_TRACE(std::string(phase.pszWhat) + ", " + c.pszWhat);
            FilterProcess filter(QueueFilterPath(), QueueArgs({"-Jtitle"}), QueueEnv(), true);
            filter.Write(Bytes(phase.document));
            filter.CloseInput();
            ASSERT_TRUE(filter.WaitForMessage(phase.awaited, 30s));
            std::this_thread::sleep_for(300ms);   // Ghostscript is looping now
            Send(&filter, c);
            const FilterResult result = WaitCancelled(&filter);
            if (phase.bJobBegun)
                ExpectJobClosed(result.out);
            else
                EXPECT_TRUE(result.out.empty());
        }
    }
}

TEST_F(QueueCancelTest, WhileAPageIsSentEachSignalClosesTheJob)
{
    std::vector<uint8_t> partial = PpmPage(Picture(3));
    partial.resize(partial.size() / 2);
    for (const SignalCase& c : CancelSignals()) {
        SCOPED_TRACE(c.pszWhat);
        FilterProcess filter(QueueFilterPath(), QueueArgs({"-Jtitle"}), QueueEnv(), true);
        filter.Write(PpmPage(Picture(1)));
        filter.Write(partial);   // the filter now waits for the rest of the second page
        std::this_thread::sleep_for(400ms);
        Send(&filter, c);
        const FilterResult result = WaitCancelled(&filter);
        ExpectJobClosed(result.out);
        // The filter's own closing sequence: 5768 zero bytes before the end of the stream.
        EXPECT_NE(std::string::npos, Text(result.out).find(std::string(5768, '\0')));
    }
}

TEST_F(QueueCancelTest, WhileTheDocumentIsReadTheJobEndsUntouched)
{
    for (const SignalCase& c : CancelSignals()) {
        SCOPED_TRACE(c.pszWhat);
        FilterProcess filter(QueueFilterPath(), QueueArgs(), QueueEnv(), true);
        filter.Write(Bytes("%PDF-1.4\n"));   // the spooler has not sent the rest yet
        std::this_thread::sleep_for(200ms);
        Send(&filter, c);
        const FilterResult result = WaitCancelled(&filter);
        EXPECT_TRUE(result.out.empty());
        EXPECT_NE(std::string::npos, result.err.find("before printing began")) << result.err;
    }
}

TEST_F(QueueCancelTest, AStoppedFilterIsResumedToCloseTheJob)
{
    std::vector<uint8_t> partial = PpmPage(Picture(3));
    partial.resize(partial.size() / 2);
    FilterProcess filter(QueueFilterPath(), QueueArgs({"-Jtitle"}), QueueEnv(), true);
    filter.Write(PpmPage(Picture(1)));
    filter.Write(partial);
    std::this_thread::sleep_for(400ms);
    const std::vector<pid_t> printing = ProcessesNaming(dir.Path(), "rastertovelnora");
    ASSERT_EQ(1u, printing.size());
    kill(printing[0], SIGSTOP);
    std::this_thread::sleep_for(100ms);
    filter.Signal(SIGTERM);
    const FilterResult result = WaitCancelled(&filter);
    ExpectJobClosed(result.out);
}

TEST_F(QueueCancelTest, ContinueAloneIsJobControl)
{
    const RgbImage a = Picture(1);
    const RgbImage b = Picture(2);
    const std::vector<uint8_t> second = PpmPage(b);
    const size_t nHalf = second.size() / 2;
    FilterProcess filter(QueueFilterPath(), QueueArgs(), QueueEnv(), true);
    filter.Write(PpmPage(a));
    filter.Write(std::vector<uint8_t>(second.begin(), second.begin() + ptrdiff_t(nHalf)));
    std::this_thread::sleep_for(300ms);
    filter.SignalGroup(SIGCONT);
    std::this_thread::sleep_for(100ms);
    filter.Write(std::vector<uint8_t>(second.begin() + ptrdiff_t(nHalf), second.end()));
    const FilterResult result = filter.Wait(30s);
    EXPECT_EQ(0, result.nExitStatus);
    EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
    ExpectPages(ReadOutput(result), {&a, &b});
    ExpectNothingLeft(result.nPid);
}

namespace {

// Polls until the condition holds or the time is up: whether it held.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// True when the process runs the program of this name.
bool Runs(pid_t nPid, const std::string& program)
{
    return ReadText("/proc/" + std::to_string(nPid) + "/comm") == program + "\n";
}

// True when the process sleeps in a write to its standard output.
bool IsBlockedWritingOutput(pid_t nPid)
{
    return ReadText("/proc/" + std::to_string(nPid) + "/syscall").rfind("1 0x1 ", 0) == 0;
}

}  // namespace

// A printer that stops reading: rastertovelnora sleeps in a write to it. The queue's
// cancel ends the wrapper and the filter together, the job closed as far as the printer
// takes it, nothing left behind.
TEST_F(QueueFilterTest, CancelEndsTheJobWhileThePrinterStopsReading)
{
    WritePaperInfo("A4: 400 300\n");
    std::vector<std::vector<uint8_t>> pages;
    uint32_t nSeed = 1;
    for (int i = 0; i < 3; ++i)
        pages.push_back(PpmPage(MakeImage(400, 300, [&nSeed](int, int, uint8_t* p) {
            for (int k = 0; k < 3; ++k) {
                nSeed = nSeed * 1664525u + 1013904223u;
                p[k] = uint8_t(nSeed >> 24);
            }
        })));
    const std::string input = dir / "noise.ppm";
    WriteBytes(input, Concat(pages));
    FilterProcess queue(QueueFilterPath(), QueueArgs({input}), QueueEnv(), true, OutputMode::kStall);
    pid_t nFilter = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (pid_t nPid : ProcessesNaming(dir.Path()))
                if (Runs(nPid, "rastertovelnora") && IsBlockedWritingOutput(nPid))
                    nFilter = nPid;
            return nFilter != 0;
        },
        20s))
        << "rastertovelnora never filled the printer's pipe";
    queue.Signal(SIGTERM);
    const FilterResult result = queue.Wait(20s);   // a hang guard only
    ASSERT_TRUE(result.bExited) << "ended by signal " << result.nSignal;
    EXPECT_EQ(0, result.nExitStatus) << result.err;
    EXPECT_EQ("INFO: Job cancelled (SIGTERM); closing it for the printer\n", result.err);
    EXPECT_TRUE(WaitUntil([&] { return ProcessesNaming(dir.Path()).empty(); }, 10s));
    EXPECT_EQ(std::vector<std::string>{}, StagedFilesOf(nFilter));
    ExpectNothingLeft(result.nPid);
}

// The wrapper killed outright (the out-of-memory killer, kill -9 of its process group)
// takes its children along: Ghostscript rendering an endless document does not run on.
TEST_F(QueueFilterTest, ChildrenEndWithAKilledWrapper)
{
    FilterProcess queue(QueueFilterPath(), QueueArgs(), QueueEnv(), true);
    ASSERT_TRUE(queue.Write(Bytes("%!PS\n{ 1 pop } loop\n")));
    queue.CloseInput();
    const auto RunningGhostscript = [&] {
        const std::vector<pid_t> pids = ProcessesNaming(dir.Path());
        return std::any_of(pids.begin(), pids.end(), [](pid_t nPid) { return Runs(nPid, "gs"); });
    };
    ASSERT_TRUE(WaitUntil(RunningGhostscript, 20s)) << "Ghostscript never started";
    std::this_thread::sleep_for(200ms);   // well into the endless loop
    queue.SignalGroup(SIGKILL);
    // The killed wrapper is a zombie until it is collected: its command line is empty.
    EXPECT_TRUE(WaitUntil([&] { return ProcessesNaming(dir.Path()).empty(); }, 10s))
        << "a child of the killed wrapper runs on";
    for (pid_t nPid : ProcessesNaming(dir.Path()))
        kill(nPid, SIGKILL);   // the children hold the wrapper's pipes
    const FilterResult result = queue.Wait(20s);
    EXPECT_EQ(SIGKILL, result.nSignal);
}

// ---------------------------------------------------------------------------------------
// Copies and page ranges, as the sheets come out

// In duplex every second page is a back side, turned for the long edge; collated copies
// each begin on a new sheet (a white back side after an odd copy, which blank skipping
// never drops), uncollated duplex copies repeat whole sheets, simplex uncollated copies
// are the filter's own repetition, and page ranges hold for each copy. The document comes
// through a pipe, as LPRng gives it, so collated copies of PPM pages are read again from
// a spooled copy.
TEST_F(QueueFilterTest, CopiesAndPageRangesComeOutOnTheRightSheets)
{
    const RgbImage a = Picture(1), b = Picture(2), c = Picture(3);
    const RgbImage white = SolidImage(kWidth, kHeight, 255, 255, 255);
    const std::vector<uint8_t> pa = a.pixels, pb = b.pixels, pc = c.pixels, pw = white.pixels;
    const std::vector<uint8_t> tb = Turned(b).pixels;
    const std::vector<uint8_t> abc = Concat({PpmPage(a), PpmPage(b), PpmPage(c)});
    struct Case {
        const char* pszWhat;
        std::string options;
        std::vector<uint8_t> document;
        std::vector<std::vector<uint8_t>> pages;
    };
    const Case cases[] = {
        {"collated", "copies=2,collate=on", abc, {pa, pb, pc, pa, pb, pc}},
        {"collated duplex, odd", "copies=2,collate=on,duplex=long", abc, {pa, tb, pc, pw, pa, tb, pc}},
        {"collated duplex, the white back side survives", "copies=2,collate=on,duplex=long,skipblank=on",
         Concat({PpmPage(a), PpmPage(white)}), {pa, pw, pa}},
        {"uncollated duplex repeats sheets", "copies=2,duplex=long", abc, {pa, tb, pa, tb, pc, pw, pc}},
        {"simplex uncollated", "copies=2", abc, {pa, pa, pb, pb, pc, pc}},
        {"page ranges", "pages=1,3", abc, {pa, pc}},
        {"a range beyond the document", "pages=2-9", abc, {pb, pc}},
        {"ranges in each collated copy", "pages=2-3,copies=2,collate=on", abc, {pb, pc, pb, pc}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.pszWhat);
        const FilterResult result = RunQueue({"-Z" + k.options}, k.document);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
        ExpectPages(ReadOutput(result), k.pages);
    }

    // A rendered document is rendered once per collated copy.
    WriteModelTables(modelRoot, kPrinter, "A4:\t0\t0\t0\t0\n", "A4: 595 842\n");
    const FilterResult rendered = RunQueue({"-Zcopies=2,collate=on"}, MakePdf(kTwoPagesPs));
    ASSERT_EQ(0, rendered.nExitStatus) << rendered.err;
    const std::vector<uint8_t> red = SolidPixels(kWidth, kHeight, 255, 0, 0);
    const std::vector<uint8_t> blue = SolidPixels(kWidth, kHeight, 0, 0, 255);
    ExpectPages(ReadOutput(rendered), {red, blue, red, blue});

    const FilterResult malformed = RunQueue({"-Zpages=3-1"}, abc);
    EXPECT_EQ(2, malformed.nExitStatus);
    EXPECT_EQ("ERROR: Invalid value \"3-1\" for pages; valid values: pages and ranges from 1, such as 1-3,7,10-\n",
              malformed.err);
}

// --help answers: the usage with every option and every -Z key, status 0. The keys are
// the ones an unknown key's refusal lists.
TEST_F(QueueFilterTest, HelpNamesEveryOptionAndJobKey)
{
    const FilterResult help = RunQueue({"--help"}, {});
    EXPECT_EQ(0, help.nExitStatus);
    EXPECT_EQ("", help.err);
    const std::string text = Text(help.out);
    EXPECT_EQ(0u, text.find("Usage: velnora-filter --rc RCFILE --pi PAPERINFO"));
    for (const char* pszOption : {"--rc", "--pi", "--model-root", "--gs-memory", "--gs-page-timeout", "--help"})
        EXPECT_NE(std::string::npos, text.find(pszOption)) << pszOption;

    const FilterResult refused = RunQueue({"-Zfrobnicate=1"}, PpmPage(Picture(1)));
    const std::string kList = "valid options: ";
    const size_t nList = refused.err.find(kList);
    ASSERT_NE(std::string::npos, nList) << refused.err;
    std::string keys = refused.err.substr(nList + kList.size());
    keys.pop_back();   // the line feed
    size_t nKeys = 0;
    for (size_t nStart = 0; nStart < keys.size(); ++nKeys) {
        const size_t nEnd = std::min(keys.find(", ", nStart), keys.size());
        const std::string key = keys.substr(nStart, nEnd - nStart);
        EXPECT_NE(std::string::npos, text.find("      " + key + " ")) << key;
        nStart = nEnd + 2;
    }
    EXPECT_GE(nKeys, 10u);
    // Words of the parameter table appear as the values of their keys.
    EXPECT_NE(std::string::npos, text.find("Plain, Thin, Thick")) << text;
}

// Model tables that cannot be read: the filter's message, then a line that says where
// they were looked for and which option names their folder.
TEST_F(QueueFilterTest, MissingModelTablesSayHowToNameTheirFolder)
{
    FilterProcess queue(QueueFilterPath(), {"--rc", rcPath, "--pi", paperInfPath, "--model-root", dir / "nowhere"},
                        QueueEnv(), true);
    queue.Write(PpmPage(Picture(1)));
    const FilterResult result = queue.Wait(30s);
    EXPECT_EQ(1, result.nExitStatus);
    EXPECT_EQ("Error: " + dir / "nowhere" + "/TestModel/bin/inf/ImagingArea :cannot open file !!\n"
              "INFO: The model's tables are read from " + dir / "nowhere" +
              "/TestModel/bin/inf; --model-root DIR on the filter line (or VELNORA_ROOT) names the folder "
              "that holds TestModel/bin/inf\n",
              result.err);
    EXPECT_TRUE(result.out.empty());
}

// ---------------------------------------------------------------------------------------
// The rendered route

#include "convert.h"
#include "jobsettings.h"
#include "vnfiletool.h"

// Whatever the queue filter does on its way from a document to the printer job, the job
// is the one that Ghostscript's PPM pages, rendered with the same arguments, give when
// they are piped into rastertovelnora by hand with the same settings.
TEST_F(QueueFilterTest, RenderedJobIsGhostscriptsPagesThroughTheFilter)
{
    const std::string pdf = dir / "doc.pdf";
    WriteBytes(pdf, MakePdf("%!PS\n<< /PageSize [48 72] >> setpagedevice\n"
                            "1 0 0 setrgbcolor 4 40 20 20 rectfill\n"
                            "/Helvetica findfont 9 scalefont setfont 0 setgray 4 10 moveto (Velnora) show showpage\n"
                            "0 0.5 1 setrgbcolor 10 10 30 50 rectfill showpage\n"));
    setenv("VELNORA_ROOT", modelRoot.c_str(), 1);
    for (const char* pszRc : {"", "VNMonoColor=Mono\nVNDuplex=DuplexNoTumble\n"}) {
        SCOPED_TRACE(pszRc);
        WriteRc(pszRc);
        const FilterResult queue = RunQueue({"-Jdoc", "-nuser", pdf}, {});
        ASSERT_EQ(0, queue.nExitStatus) << queue.err;

        ASSERT_EQ(0, LoadRcFile(rcPath.c_str(), &g_rcInfo));
        JobSettings js{};
        std::string paperInf = paperInfPath;
        js.pszPaperInf = paperInf.data();
        ASSERT_EQ(0, ConvertRc2Pjp(&g_rcInfo, &js));
        const std::vector<std::string> gsArgs = GhostscriptArguments(DocKind::kPdf, pdf, js.page, STDOUT_FILENO);
        FilterProcess gs(ProgramInPath("gs"), std::vector<std::string>(gsArgs.begin() + 1, gsArgs.end()),
                         {{"TMPDIR", tmpDir}}, false);
        const FilterResult pages = gs.Wait(60s);
        ASSERT_EQ(0, pages.nExitStatus) << pages.err;
        const FilterResult byHand = RunFilter(Args(), Env({{"OWNER", "user"}, {"TITLE", "doc"}}), pages.out);
        ASSERT_EQ(0, byHand.nExitStatus) << byHand.err;
        EXPECT_EQ(2u, ReadOutput(byHand).pages.size());
        EXPECT_TRUE(queue.out == byHand.out) << "the queue filter's job differs from Ghostscript's pages through the filter";
    }
    unsetenv("VELNORA_ROOT");
}
