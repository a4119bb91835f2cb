// Tests of the printer-language output: the line encoding and the gray formula directly,
// the PJL header and trailer, the PWG pages and the gzip stream through the built filter.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "Mfunc.h"
#include "debugtool.h"
#include "filterjob.h"

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------
// Line encoding

// A test-local adapter: one line through raster_write with a repeat count of 1.
static std::vector<uint8_t> EncodeLine(const std::vector<uint8_t>& line, int nPixelBytes)
{
    LineEncoder enc = {};
    enc.nLineLength = uint32_t(line.size());
    enc.nPixelBytes = nPixelBytes;
    enc.nRepeatCount = 1;
    const int64_t n = raster_write(&enc, line.data());
    std::vector<uint8_t> out(enc.pOutBuf, enc.pOutBuf + (n > 0 ? n : 0));
    free(enc.pOutBuf);
    return out;
}

static std::vector<uint8_t> Repeat(size_t n, uint8_t value)
{
    return std::vector<uint8_t>(n, value);
}

TEST(RasterWrite, EncodesGrayRuns)
{
    std::vector<uint8_t> differing(130);
    for (size_t i = 0; i < differing.size(); ++i)
        differing[i] = uint8_t(i);
    std::vector<uint8_t> expectedDiffering(2 + 128 + 3);
    expectedDiffering[0] = 0x00;
    expectedDiffering[1] = 0x81;
    for (size_t i = 0; i < 128; ++i)
        expectedDiffering[2 + i] = differing[i];
    expectedDiffering[130] = 0xFF;
    expectedDiffering[131] = 128;
    expectedDiffering[132] = 129;
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> line, expected;
    };
    const Case cases[] = {
        {"single pixel", {7}, {0x00, 0x00, 7}},
        {"two equal pixels", {5, 5}, {0x00, 0x01, 5}},
        {"two different pixels", {1, 2}, {0x00, 0xFF, 1, 2}},
        {"A B C C C D", {1, 2, 3, 3, 3, 4}, {0x00, 0xFF, 1, 2, 0x02, 3, 0x00, 4}},
        {"200 equal pixels", Repeat(200, 9), {0x00, 127, 9, 71, 9}},
        {"130 differing pixels", differing, expectedDiffering},
        {"literal then run at the end", {1, 2, 2}, {0x00, 0x00, 1, 0x01, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        EXPECT_EQ(c.expected, EncodeLine(c.line, 1));
    }
}

TEST(RasterWrite, EncodesColourPixelsAsWholeTriples)
{
    // Equal bytes inside a pixel do not make a run; equal pixels do.
    const std::vector<uint8_t> line = {1, 1, 1, 1, 1, 1, 2, 3, 4};
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 1, 1, 1, 0x00, 2, 3, 4}), EncodeLine(line, 3));
}

TEST(RasterWrite, NeverWritesControlByte0x80)
{
    // Alternating singles and pairs, and runs of every length around 128.
    std::vector<uint8_t> line;
    for (int i = 0; i < 600; ++i) {
        line.push_back(uint8_t(i));
        if (i % 3 == 0)
            line.push_back(uint8_t(i));
    }
    for (int n = 126; n <= 131; ++n)
        line.insert(line.end(), size_t(n), uint8_t(n));
    const std::vector<uint8_t> encoded = EncodeLine(line, 1);
    // Walk the records and check every control byte.
    size_t nPixels = 0;
    for (size_t i = 1; i < encoded.size();) {
        const uint8_t control = encoded[i++];
        ASSERT_NE(0x80, control);
        const size_t n = control < 0x80 ? 1 : size_t(257 - control);
        nPixels += control < 0x80 ? size_t(control) + 1 : n;
        i += n;
    }
    EXPECT_EQ(line.size(), nPixels);
}

TEST(MakeGray, EveryLengthAndPixelMatchesTheFormula)
{
    // Lines of every length around the processor's vector width, with runs of white and
    // pixels that stress the rounding: grays near whole numbers and random colours.
    uint32_t nSeed = 7;
    for (int nPixels = 1; nPixels <= 40; ++nPixels) {
        std::vector<uint8_t> rgb(3 * size_t(nPixels));
        for (size_t i = 0; i < rgb.size(); ++i) {
            nSeed = nSeed * 1664525u + 1013904223u;
            const size_t nPixel = i / 3;
            rgb[i] = nPixel % 11 < 5 ? 0xFF : (nPixel % 2 ? uint8_t(nSeed >> 24) : uint8_t(nPixel * 7));
        }
        std::vector<uint8_t> gray(size_t(nPixels) + 1, 0xAA);
        makegray(gray.data(), rgb.data(), int16_t(nPixels));
        for (int i = 0; i < nPixels; ++i)
            ASSERT_EQ(GrayOfPixel(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]), gray[size_t(i)]) << nPixels << " " << i;
        EXPECT_EQ(0xAA, gray[size_t(nPixels)]) << "written past the line";
    }
}

TEST(MakeGray, GivesTheExactValuesOfTheFusedFormula)
{
    struct Case {
        uint8_t r, g, b, gray;
    };
    const Case cases[] = {
        {255, 255, 255, 255}, {0, 0, 0, 0},     {128, 128, 128, 128}, {10, 10, 10, 9},
        {254, 254, 254, 253}, {255, 0, 0, 76},  {0, 255, 0, 150},     {0, 0, 255, 28},
    };
    for (const Case& c : cases) {
        const uint8_t rgb[3] = {c.r, c.g, c.b};
        uint8_t gray = 0xAA;
        makegray(&gray, rgb, 1);
        EXPECT_EQ(c.gray, gray) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
    int nLow = 0;   // equal-channel grays that come out one step low
    for (int v = 0; v < 256; ++v) {
        const uint8_t rgb[3] = {uint8_t(v), uint8_t(v), uint8_t(v)};
        uint8_t gray = 0;
        makegray(&gray, rgb, 1);
        nLow += gray == v - 1;
    }
    EXPECT_EQ(50, nLow);
}

// ---------------------------------------------------------------------------------------
// The job through the filter

class OutputTest : public FilterJobTest {};

TEST_F(OutputTest, CompleteHeaderAndTrailerOfTheExampleJob)
{
    WriteRc("VNMonoColor=Mono\nVNResolution=Normal\nVNColorMatching=None\n");
    const FilterResult result = Run(PpmPage(Page(1)), {{"OWNER", "alice"}, {"TITLE", "Quarterly report"}});
    ASSERT_EQ(0, result.nExitStatus) << result.err;
    const VnJob job = ReadOutput(result);
    const std::string header =
        "\x1b%-12345X@PJL \n@PJL SET HOLD=OFF\n@PJL SET USERNAME=\"alice\"\n@PJL SET JOBNAME=\"Quarterly report\"\n"
        "@PJL SET LOGINUSER=\"alice\"\n@PJL JOB NAME=\"Quarterly report\"\n@PJL SET SPECIALRED=0x000000\n"
        "@PJL SET STRINGCODESET=UTF8\n@PJL SET PAPER=A4\n@PJL SET RENDERMODE=GRAYSCALE\n@PJL SET COLORADAPT=OFF\n"
        "@PJL SET ECONOPRINT=OFF\n@PJL SET APTMODE=OFF\n@PJL SET DUPLEX=OFF\n@PJL SET MEDIATYPE=REGULAR\n"
        "@PJL SET MANUALFEED=OFF\n@PJL SET SOURCETRAY=AUTO\n@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=OFF\n"
        "@PJL SET COLORMODE=NONE\n@PJL SET IMPROVEGRAY=OFF\n@PJL SET UCRGCRFORIMAGE=OFF\n@PJL SET BRIGHTNESS=0\n"
        "@PJL SET CONTRAST=0\n@PJL SET DENSITYRED=0\n@PJL SET DENSITYGREEN=0\n@PJL SET DENSITYBLUE=0\n"
        "@PJL SET FIDELITY=TRUE\n@PJL ENTER LANGUAGE=PWGRASTER\n";
    EXPECT_EQ(header, job.szHeader);
    EXPECT_EQ("\x1b%-12345X@PJL EOJ NAME=\"Quarterly report\"\n\x1b%-12345X\n", job.szTrailer);
}

// The job's header holds every line of present and none of absent; every line is PJL.
static void ExpectHeaderLines(const FilterResult& result, const std::vector<std::string>& present,
                              const std::vector<std::string>& absent)
{
    VnJob job;
    JobReadError err;
    ASSERT_TRUE(ReadJob(result.out.data(), result.out.size(), &job, &err)) << DescribeError(err);
    const auto Contains = [&job](const std::string& line) {
        return std::find(job.headerLines.begin(), job.headerLines.end(), line) != job.headerLines.end();
    };
    for (const std::string& line : present)
        EXPECT_TRUE(Contains(line)) << line;
    for (const std::string& line : absent)
        EXPECT_FALSE(Contains(line)) << line;
    for (const std::string& line : job.headerLines)
        EXPECT_EQ(0u, line.rfind("@PJL", 0)) << line;
}

TEST_F(OutputTest, EnvironmentVariablesShapeTheHeader)
{
    struct Case {
        const char* pszWhat;
        EnvList env;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {"nothing set", {}, {"@PJL SET HOLD=OFF", "@PJL SET SPECIALRED=0x000000"},
         {"@PJL SET OUTBIN=AUTO", "@PJL SET OUTBIN=UPPER"}},
        {"PASSWORD", {{"PASSWORD", "1234"}},
         {"@PJL SET HOLD=STORE", "@PJL SET HOLDTYPE=PRIVATE", "@PJL SET HOLDKEY=1234"}, {"@PJL SET HOLD=OFF"}},
        {"empty TITLE", {{"TITLE", ""}}, {}, {"@PJL SET JOBNAME=\"\"", "@PJL JOB NAME=\"\""}},
        {"OUTPUTTRAY OFF", {{"OUTPUTTRAY", "OFF"}}, {"@PJL SET OUTBIN=UPPER", "@PJL SET FINISH=NONE"}, {}},
        {"OUTPUTTRAY other", {{"OUTPUTTRAY", "ON"}}, {"@PJL SET OUTBIN=AUTO"}, {"@PJL SET FINISH=NONE"}},
        {"VNREDVAL 0", {{"VNREDVAL", "0"}}, {"@PJL SET SPECIALRED=0x00FFFF"}, {}},
        {"VNREDVAL 1", {{"VNREDVAL", "1"}}, {"@PJL SET SPECIALRED=0x00F7FF"}, {}},
        {"VNREDVAL 12", {{"VNREDVAL", "12"}}, {"@PJL SET SPECIALRED=0x009FFF"}, {}},
        {"VNREDVAL 13", {{"VNREDVAL", "13"}}, {"@PJL SET SPECIALRED=0x00FFF7"}, {}},
        {"VNREDVAL 100", {{"VNREDVAL", "100"}}, {"@PJL SET SPECIALRED=0x00B7C7"}, {}},
        {"VNREDVAL 168", {{"VNREDVAL", "168"}}, {"@PJL SET SPECIALRED=0x009F9F"}, {}},
        {"VNREDVAL 999", {{"VNREDVAL", "999"}}, {"@PJL SET SPECIALRED=0x009F9F"}, {}},
        {"VNREDVAL -5", {{"VNREDVAL", "-5"}}, {"@PJL SET SPECIALRED=0x00FFFF"}, {}},
        {"VNREDVAL abc", {{"VNREDVAL", "abc"}}, {"@PJL SET SPECIALRED=0x00FFFF"}, {}},
        {"owner and title lose control bytes and quotes",
         {{"OWNER", "ev\"e\x01\x7f"}, {"TITLE", "a\"b\nc\r\xc3\xa9"}},
         {"@PJL SET USERNAME=\"eve\"", "@PJL SET JOBNAME=\"abc\xc3\xa9\"", "@PJL JOB NAME=\"abc\xc3\xa9\""}, {}},
        {"password loses control bytes, keeps quotes", {{"PASSWORD", "12\n@PJL\"34"}},
         {"@PJL SET HOLDKEY=12@PJL\"34"}, {}},
        {"a title of control bytes only counts as unset", {{"TITLE", "\n\t"}}, {}, {"@PJL JOB NAME=\"\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = Run(PpmPage(Page(1)), c.env);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        ExpectHeaderLines(result, c.present, c.absent);
    }
}

TEST_F(OutputTest, SettingsShapeTheHeader)
{
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {"defaults", "",
         {"@PJL SET RENDERMODE=COLOR", "@PJL SET COLORADAPT=ON", "@PJL SET APTMODE=ON", "@PJL SET COLORMODE=AUTO"},
         {"@PJL SET BRIGHTNESS=0", "@PJL SET IMPROVEGRAY=OFF"}},
        {"full colour, vivid, numbers", "VNMonoColor=FullColor\nVNColorMatching=Vivid\nBrightness=-3\nBlueKey=7\n",
         {"@PJL SET COLORADAPT=OFF", "@PJL SET COLORMODE=VIVID", "@PJL SET BRIGHTNESS=-3", "@PJL SET DENSITYBLUE=7"},
         {}},
        {"paper, media, tray", "PageSize=Letter\nMediaType=BOND\nInputSlot=Tray3\n",
         {"@PJL SET PAPER=LETTER", "@PJL SET MEDIATYPE=BOND", "@PJL SET SOURCETRAY=TRAY3"}, {}},
        {"manual feed", "InputSlot=Manual\n", {"@PJL SET MANUALFEED=ON"}, {"@PJL SET SOURCETRAY=AUTO"}},
        {"toner save, duplex, less curl", "TonerSaveMode=ON\nVNDuplex=DuplexTumble\nVNImproveOutput=VNLessPaperCurl\n",
         {"@PJL SET ECONOMODE=ON", "@PJL SET DUPLEX=ON", "@PJL SET LESSPAPERCURL=ON", "@PJL SET FIXINTENSITYUP=OFF"},
         {"@PJL SET ECONOPRINT=OFF"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteRc(c.rc);
        WritePaperInfo("A4: 8 6\nLetter: 8 6\n");
        const FilterResult result = Run(PpmPage(Page(1)));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        ExpectHeaderLines(result, c.present, c.absent);
    }
}

TEST_F(OutputTest, PageHeadersDescribeColourAndGrayPages)
{
    WritePaperInfo("A4: 4961 2\n");
    for (const char* pszMode : {"FullColor", "Mono"}) {
        SCOPED_TRACE(pszMode);
        const bool bGray = std::string(pszMode) == "Mono";
        WriteRc(std::string("VNMonoColor=") + pszMode + "\n");
        const FilterResult result = Run(PpmPage(SolidImage(4961, 2, 1, 2, 3)));
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(1u, job.pages.size());
        const PwgPage& page = job.pages[0];
        EXPECT_EQ("PwgRaster", page.szPwgRaster);
        EXPECT_EQ("auto", page.szMediaType);
        EXPECT_EQ(600u, page.nHWResolutionX);
        EXPECT_EQ(600u, page.nHWResolutionY);
        EXPECT_EQ(595u, page.nPageSizeX);
        EXPECT_EQ(842u, page.nPageSizeY);
        EXPECT_EQ((std::vector<uint8_t>{0, 0, 0x13, 0x61}), std::vector<uint8_t>(&page.header[372], &page.header[376]));
        EXPECT_EQ(8u, page.nBitsPerColor);
        EXPECT_EQ(bGray ? 8u : 24u, page.nBitsPerPixel);
        EXPECT_EQ(bGray ? 4961u : 3 * 4961u, page.nBytesPerLine);
        EXPECT_EQ(bGray ? 18u : 19u, page.nColorSpace);
        EXPECT_EQ(bGray ? 1u : 3u, page.nNumColors);
    }
}

TEST_F(OutputTest, RoundTripGivesBackThePixels)
{
    const RgbImage a = Page(1), b = Page(2), c = Page(3);
    const std::vector<uint8_t> input = Concat({PpmPage(a), PpmPage(b), PpmPage(c)});
    struct Case {
        const char* pszWhat;
        std::string rc;
        std::vector<std::vector<uint8_t>> expected;
    };
    const Case cases[] = {
        {"colour", "", {a.pixels, b.pixels, c.pixels}},
        {"gray", "VNMonoColor=Mono\n", {GrayPixels(a), GrayPixels(b), GrayPixels(c)}},
        {"long-edge duplex turns back sides", "VNDuplex=DuplexNoTumble\n", {a.pixels, Turned(b).pixels, c.pixels}},
        {"short-edge duplex turns nothing", "VNDuplex=DuplexTumble\n", {a.pixels, b.pixels, c.pixels}},
        {"long-edge gray", "VNDuplex=DuplexNoTumble\nVNMonoColor=Mono\n",
         {GrayPixels(a), GrayPixels(Turned(b)), GrayPixels(c)}},
        {"uncollated copies on duplex sheets", "VNDuplex=DuplexNoTumble\nCopies=2\n",
         {a.pixels, Turned(a).pixels, b.pixels, Turned(b).pixels, c.pixels, Turned(c).pixels}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.pszWhat);
        WriteRc(k.rc);
        const FilterResult result = Run(input);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(k.expected.size(), job.pages.size());
        for (size_t i = 0; i < k.expected.size(); ++i)
            EXPECT_EQ(k.expected[i], job.pages[i].pixels) << "page " << i;
    }
}

TEST_F(OutputTest, BlankSkippedBackSidesFollowTheWrittenPages)
{
    // The sheet side is counted in written pages: after a skipped white page the next
    // written page is still the back side.
    WriteRc("VNDuplex=DuplexNoTumble\nVNSkipBlank=ON\n");
    const RgbImage a = Page(1), b = Page(2);
    const FilterResult result = Run(Concat({PpmPage(a), PpmPage(SolidImage(kPageWidth, kPageHeight, 255, 255, 255)), PpmPage(b)}));
    ASSERT_EQ(0, result.nExitStatus);
    const VnJob job = ReadOutput(result);
    ASSERT_EQ(2u, job.pages.size());
    EXPECT_EQ(Turned(b).pixels, job.pages[1].pixels);
}

// The line records of the first page: each record's repeat byte.
static std::vector<int> RepeatBytes(const VnJob& job)
{
    std::vector<int> counts;
    const PwgPage& page = job.pages.at(0);
    size_t i = page.nDocOffset + kPwgHeaderSize;
    for (uint64_t nRecord = 0; nRecord < page.stats.nLineRecords; ++nRecord) {
        counts.push_back(job.document[i++]);
        size_t nBytes = 0;
        while (nBytes < page.nBytesPerLine) {
            const uint8_t control = job.document[i++];
            const size_t nPixels = control < 0x80 ? size_t(control) + 1 : size_t(257 - control);
            nBytes += nPixels * (page.nBitsPerPixel / 8);
            i += (control < 0x80 ? 1 : nPixels) * (page.nBitsPerPixel / 8);
        }
    }
    return counts;
}

TEST_F(OutputTest, IdenticalLinesMergeInGroupsOf256)
{
    struct Case {
        int nHeight;
        std::vector<int> counts;
    };
    const Case cases[] = {{300, {255, 43}}, {600, {255, 255, 87}}, {1, {0}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nHeight);
        WritePaperInfo("A4: 5 " + std::to_string(c.nHeight) + "\n");
        WriteRc("VNMonoColor=Mono\n");
        const FilterResult result = Run(PpmPage(SolidImage(5, c.nHeight, 255, 255, 255)));
        ASSERT_EQ(0, result.nExitStatus);
        const VnJob job = ReadOutput(result);
        EXPECT_EQ(c.counts, RepeatBytes(job));
    }
}

TEST_F(OutputTest, DifferentLinesEndARunEvenWhenAnEarlierOneMatched)
{
    WritePaperInfo("A4: 3 5\n");
    // Rows: X X Y X X: three records with counts 1, 0, 1.
    const RgbImage image = MakeImage(3, 5, [](int, int y, uint8_t* p) { p[0] = p[1] = p[2] = y == 2 ? 7 : 9; });
    const FilterResult result = Run(PpmPage(image));
    ASSERT_EQ(0, result.nExitStatus);
    const VnJob job = ReadOutput(result);
    EXPECT_EQ((std::vector<int>{1, 0, 1}), RepeatBytes(job));
    EXPECT_EQ(image.pixels, job.pages[0].pixels);
}

// The gzip stream as a reference compressor makes it from the document: zlib level -1,
// window bits 31, memory level 8, input in 1024-byte blocks, the end finished.
static std::vector<uint8_t> ReferenceStream(const std::vector<uint8_t>& document)
{
    z_stream zs = {};
    deflateInit2(&zs, -1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out;
    uint8_t buf[1024];
    for (size_t nDone = 0;;) {
        const size_t nBlock = std::min<size_t>(1024, document.size() - nDone);
        const bool bLast = nDone + nBlock == document.size() && nBlock < 1024;
        zs.next_in = const_cast<uint8_t*>(document.data() + nDone);
        zs.avail_in = unsigned(nBlock);
        nDone += nBlock;
        int r;
        do {
            zs.next_out = buf;
            zs.avail_out = sizeof buf;
            r = deflate(&zs, bLast ? Z_FINISH : Z_NO_FLUSH);
            out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
        } while (zs.avail_out == 0 || (bLast && r != Z_STREAM_END));
        if (bLast)
            break;
    }
    deflateEnd(&zs);
    return out;
}

TEST_F(OutputTest, GzipStreamIsTheDocumentInFixedBlocksAcrossPages)
{
    // Pages whose staged files end at every offset within a block.
    WritePaperInfo("A4: 97 41\n");
    std::vector<std::vector<uint8_t>> pages;
    for (int i = 0; i < 5; ++i)
        pages.push_back(PpmPage(MakeImage(97, 41, [i](int x, int y, uint8_t* p) {
            p[0] = uint8_t(x * y + i);
            p[1] = uint8_t(x ^ y);
            p[2] = uint8_t((x + i) / 3);
        })));
    for (const char* pszMode : {"FullColor", "Mono"}) {
        SCOPED_TRACE(pszMode);
        WriteRc(std::string("VNMonoColor=") + pszMode + "\n");
        const FilterResult result = Run(Concat(pages));
        ASSERT_EQ(0, result.nExitStatus);
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(5u, job.pages.size());
        const std::vector<uint8_t> stream(result.out.begin() + std::ptrdiff_t(job.nStreamOffset),
                                          result.out.begin() + std::ptrdiff_t(job.nStreamOffset + job.nStreamSize));
        EXPECT_EQ(ReferenceStream(job.document), stream);
    }
}

TEST_F(OutputTest, JobWithoutAnyPageDataIsTheSyncWordAlone)
{
    struct Case {
        const char* pszWhat;
        std::string paperInf;
        std::vector<uint8_t> input;
        std::string rc;
    };
    const Case cases[] = {
        {"first header without pixel data", "A4: 8 6\n", Bytes("P6\n8 6\n255\n"), ""},
        {"page height 0", "A4: 8 0\n", Bytes("P6\n8 0\n255\n"), ""},
        {"every page blank", "A4: 8 6\n", PpmPage(SolidImage(8, 6, 255, 255, 255)), "VNSkipBlank=ON\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WritePaperInfo(c.paperInf);
        WriteRc(c.rc);
        const FilterResult result = Run(c.input);
        EXPECT_EQ(0, result.nExitStatus);
        const VnJob job = ReadOutput(result);
        EXPECT_EQ(Bytes("RaS2"), job.document);
        EXPECT_TRUE(job.pages.empty());
    }
}

TEST_F(OutputTest, WidePagesPrintWhole)
{
    WritePaperInfo("A4: 9000 2\n");
    const RgbImage image = MakeImage(9000, 2, [](int x, int y, uint8_t* p) {
        p[0] = uint8_t(x);
        p[1] = uint8_t(x / 256 + y);
        p[2] = uint8_t(y * 40);
    });
    for (const char* pszRc : {"", "VNMonoColor=Mono\nVNDuplex=DuplexNoTumble\n"}) {
        WriteRc(pszRc);
        const FilterResult result = Run(Concat({PpmPage(image), PpmPage(image)}));
        ASSERT_EQ(0, result.nExitStatus);
        const VnJob job = ReadOutput(result);
        ASSERT_EQ(2u, job.pages.size());
        EXPECT_EQ(*pszRc ? GrayPixels(Turned(image)) : image.pixels, job.pages[1].pixels);
    }
}

TEST_F(OutputTest, PlantedLinkAtAStagedFileNameIsNotFollowed)
{
    const std::string target = dir / "target";
    WriteFile(target, "precious");
    FilterProcess filter(Args(), Env());
    const std::string link1 = "/tmp/ec_tmppage_" + std::to_string(filter.Pid()) + "_1";
    const std::string link2 = "/tmp/ec_tmppage_" + std::to_string(filter.Pid()) + "_2";
    ASSERT_EQ(0, symlink(target.c_str(), link1.c_str()));
    ASSERT_EQ(0, symlink(target.c_str(), link2.c_str()));
    filter.Write(Concat({PpmPage(Page(1)), PpmPage(Page(2))}));
    const FilterResult result = filter.Wait();
    unlink(link1.c_str());
    unlink(link2.c_str());
    EXPECT_EQ(0, result.nExitStatus);
    EXPECT_EQ("precious", ReadText(target));
    EXPECT_EQ(2u, ReadOutput(result).pages.size());
    ExpectNothingLeft(result.nPid);
}

TEST_F(OutputTest, PrinterConnectionGoneIsAFailedJob)
{
    // The failed writes are also traced in the shared debug log; a log this test made
    // goes again.
    const bool bLogExisted = access(kDebugLogPath, F_OK) == 0;
    FilterProcess filter(Args(), Env(), true);
    filter.Write(Concat({PpmPage(Page(1)), PpmPage(Page(2))}));
    const FilterResult result = filter.Wait(20s);
    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(1, result.nExitStatus);
    EXPECT_EQ("ERROR: Sending the job to the printer failed.\n", result.err);
    ExpectNothingLeft(result.nPid);
    if (!bLogExisted)
        unlink(kDebugLogPath);
}
