// velnora-decode, the job inspector, run as a user runs it: on jobs the filter wrote, on
// cut and damaged jobs, with --png; its summary, its PNG pages read back with libpng, its
// messages and exit statuses.
#include <png.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <csignal>
#include <string>
#include <vector>

#include "craftedjob.h"
#include "filterjob.h"

// AddressSanitizer reserves terabytes of address space, so an address-space limit cannot
// be put on a sanitized inspector.
#if defined(__SANITIZE_ADDRESS__)
#define VN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VN_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef VN_ADDRESS_SANITIZER
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

namespace {

// The address space the inspector is given where the memory it holds is tested: room for
// the program and one page of some megabytes, far from the jobs' decoded sizes.
constexpr int kMemoryLimitMiB = 200;

const char* DecodePath()
{
    return VELNORA_DECODE_PATH;
}

// Runs velnora-decode with the arguments, the bytes on standard input.
FilterResult RunDecode(const std::vector<std::string>& args, const std::vector<uint8_t>& input = {})
{
    FilterProcess decode(DecodePath(), args, {}, false);
    if (!input.empty())
        decode.Write(input);
    return decode.Wait();
}

// Runs velnora-decode with its address space limited to nLimitMiB (by the shell's ulimit,
// so the test process keeps its own), or without a limit in a sanitized build.
FilterResult RunDecodeWithin(int nLimitMiB, const std::vector<std::string>& args)
{
    if (kAddressSanitizer)
        return RunDecode(args);
    std::vector<std::string> shArgs = {"-c", "ulimit -v " + std::to_string(nLimitMiB * 1024) + " && exec \"$0\" \"$@\"",
                                       DecodePath()};
    shArgs.insert(shArgs.end(), args.begin(), args.end());
    FilterProcess decode("/bin/sh", shArgs, {}, false);
    return decode.Wait();
}

// The job with its gzip stream replaced by one holding the document.
std::vector<uint8_t> Rewrapped(const VnJob& job, const std::vector<uint8_t>& document)
{
    return Concat({Bytes(job.szHeader), Gzip(document), Bytes(job.szTrailer)});
}

struct PngPage {
    bool bRead = false;
    int nBitDepth = 0;
    int nColorType = -1;
    uint32_t nWidth = 0, nHeight = 0;
    std::vector<uint8_t> pixels;   // as stored: RGB or gray samples, top line first
};

// Reads a PNG file with libpng, pixels exactly as stored (no conversion is asked for).
PngPage ReadPng(const std::string& path)
{
    PngPage page;
    const std::string file = ReadText(path);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (file.size() < 26 || !png_image_begin_read_from_memory(&image, file.data(), file.size()))
        return page;
    page.nBitDepth = static_cast<uint8_t>(file[24]);   // IHDR, right after the signature
    page.nColorType = static_cast<uint8_t>(file[25]);
    page.nWidth = image.width;
    page.nHeight = image.height;
    page.pixels.resize(PNG_IMAGE_SIZE(image));
    page.bRead = png_image_finish_read(&image, nullptr, page.pixels.data(), 0, nullptr) != 0;
    return page;
}

// The PNG folder's contents, sorted.
std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

class DecodeTest : public FilterJobTest {
protected:
    std::string jobPath = dir / "job.prn";
    std::string pngDir = dir / "png";

    // Two pages through the filter with the rc lines; the job is left in jobPath.
    VnJob PrintJob(const std::string& rc, const RgbImage& a, const RgbImage& b)
    {
        WriteRc(rc);
        const FilterResult result = Run(Concat({PpmPage(a), PpmPage(b)}), {{"TITLE", "Decode test"}});
        EXPECT_EQ(0, result.nExitStatus) << result.err;
        WriteBytes(jobPath, result.out);
        return ReadOutput(result);
    }
};

// The summary's block of one page, as the inspector names the fields.
std::string PageBlock(size_t nIndex, const PwgPage& page)
{
    const PageEncodingStats& st = page.stats;
    return "page " + std::to_string(nIndex + 1) + ": header at document offset " + std::to_string(page.nDocOffset) +
           "\n  PwgRaster     \"PwgRaster\"\n  MediaType     \"" + page.szMediaType +
           "\"\n  HWResolution  " + std::to_string(page.nHWResolutionX) + " x " +
           std::to_string(page.nHWResolutionY) + " dpi\n  PageSize      " + std::to_string(page.nPageSizeX) +
           " x " + std::to_string(page.nPageSizeY) + " pt\n  Width         " + std::to_string(page.nWidth) +
           "\n  Height        " + std::to_string(page.nHeight) + "\n  BitsPerColor  8\n  BitsPerPixel  " +
           std::to_string(page.nBitsPerPixel) + "\n  BytesPerLine  " + std::to_string(page.nBytesPerLine) +
           "\n  ColorSpace    " + (page.nBitsPerPixel == 24 ? "19 (sRGB)" : "18 (sGray)") +
           "\n  NumColors     " + (page.nBitsPerPixel == 24 ? "3" : "1") + "\n  line records " +
           std::to_string(st.nLineRecords) + ", merged lines " + std::to_string(st.nMergedLines) +
           ", literal bytes " + std::to_string(st.nLiteralBytes) + ", run bytes " + std::to_string(st.nRunBytes) +
           "\n  encoded " + std::to_string(st.nEncodedBytes) + " bytes for " +
           std::to_string(uint64_t(page.nBytesPerLine) * page.nHeight) + " bytes of pixels (";
}

}  // namespace

TEST_F(DecodeTest, SummaryAndPngPagesShowWhatTheFilterPrinted)
{
    const RgbImage a = Page(1);
    const RgbImage b = MakeImage(kPageWidth, kPageHeight, [](int x, int, uint8_t* p) {
        p[0] = 255;                      // a run of white, then a literal stretch
        p[1] = x < 4 ? 255 : uint8_t(x * 40);
        p[2] = x < 4 ? 255 : uint8_t(200 - x);
    });
    struct Case {
        const char* pszWhat;
        const char* pszRc;
        int nColorType;
        std::vector<uint8_t> pixelsA, pixelsB;
    };
    const Case cases[] = {
        {"colour", "VNMonoColor=FullColor\n", PNG_COLOR_TYPE_RGB, a.pixels, b.pixels},
        {"gray", "VNMonoColor=Mono\n", PNG_COLOR_TYPE_GRAY, GrayPixels(a), GrayPixels(b)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        RemoveTree(pngDir);
        const VnJob job = PrintJob(c.pszRc, a, b);
        ASSERT_EQ(2u, job.pages.size());

        const FilterResult result = RunDecode({"--png", pngDir, jobPath});
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_EQ("", result.err);
        const std::string out = Text(result.out);
        for (const std::string& line : job.headerLines)
            EXPECT_NE(std::string::npos, out.find("\n  " + line + "\n")) << line;
        for (size_t i = 0; i < job.pages.size(); ++i)
            EXPECT_NE(std::string::npos, out.find(PageBlock(i, job.pages[i]))) << out;
        EXPECT_NE(std::string::npos, out.find("PJL trailer: EOJ NAME=\"Decode test\"\n")) << out;
        EXPECT_NE(std::string::npos, out.find("PNG pages: 2 written to " + pngDir + "\n")) << out;

        EXPECT_EQ((std::vector<std::string>{"page-1.png", "page-2.png"}), Sorted(ListDir(pngDir)));
        const std::vector<uint8_t>* pWanted[] = {&c.pixelsA, &c.pixelsB};
        for (int n = 0; n < 2; ++n) {
            SCOPED_TRACE("page " + std::to_string(n + 1));
            const PngPage png = ReadPng(pngDir + "/page-" + std::to_string(n + 1) + ".png");
            ASSERT_TRUE(png.bRead);
            EXPECT_EQ(8, png.nBitDepth);
            EXPECT_EQ(c.nColorType, png.nColorType);
            EXPECT_EQ(uint32_t(kPageWidth), png.nWidth);
            EXPECT_EQ(uint32_t(kPageHeight), png.nHeight);
            EXPECT_EQ(*pWanted[n], png.pixels);
        }

        // The same job on standard input gives the same summary.
        const FilterResult fromFile = RunDecode({jobPath});
        const FilterResult fromStdin = RunDecode({"-"}, Bytes(ReadText(jobPath)));
        EXPECT_EQ(0, fromStdin.nExitStatus);
        EXPECT_EQ(Text(fromFile.out), Text(fromStdin.out));
        EXPECT_EQ(out, Text(fromFile.out) + "PNG pages: 2 written to " + pngDir + "\n");
    }
}

TEST_F(DecodeTest, MalformedJobsAreReportedWithTheirOffset)
{
    const VnJob job = PrintJob("", Page(1), Page(2));
    const std::vector<uint8_t> good = Bytes(ReadText(jobPath));
    const size_t nHeader = job.szHeader.size();
    const size_t nStreamEnd = job.nStreamOffset + job.nStreamSize;
    auto cut = [&](size_t nSize) { return std::vector<uint8_t>(good.begin(), good.begin() + long(nSize)); };
    auto flipped = [&](size_t nOffset) {
        std::vector<uint8_t> bad = good;
        bad[nOffset] ^= 0x55;
        return bad;
    };
    std::vector<uint8_t> document = job.document;
    document[job.pages[1].nDocOffset + 388] = 16;   // page 2: BitsPerPixel 16

    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> job;
        size_t nOffset;           // the offset the message must name
    };
    const Case cases[] = {
        {"empty file", {}, 0},
        {"cut in the PJL header", cut(nHeader - 5), nHeader - 5},
        {"cut after the PJL header", cut(nHeader), nHeader},
        {"cut in the gzip stream", cut(nHeader + job.nStreamSize / 2), nHeader + job.nStreamSize / 2},
        {"cut before the trailer", cut(nStreamEnd), nStreamEnd},
        {"last byte missing", cut(good.size() - 1), good.size() - 1},
        {"a byte after the trailer", Concat({good, {0}}), good.size()},
        {"a damaged gzip byte", flipped(nHeader + job.nStreamSize / 2), SIZE_MAX},
        {"a page of 16-bit pixels", Rewrapped(job, document), job.pages[1].nDocOffset + 388},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        RemoveTree(pngDir);
        MakeDirs(pngDir);
        VnJob parsed;
        JobReadError err;
        ASSERT_FALSE(ReadJob(c.job.data(), c.job.size(), &parsed, &err));
        if (c.nOffset != SIZE_MAX) {
            EXPECT_EQ(c.nOffset, err.nOffset) << DescribeError(err);
        }
        WriteBytes(jobPath, c.job);

        const FilterResult result = RunDecode({"--png", pngDir, jobPath});
        EXPECT_TRUE(result.bExited);
        EXPECT_EQ(1, result.nExitStatus);
        EXPECT_EQ("velnora-decode: " + jobPath + ": malformed job: " + DescribeError(err) + "\n", result.err);
        // The summary stops where the fault is: it never shows the end of the job.
        EXPECT_EQ(std::string::npos, Text(result.out).find("gzip stream:")) << Text(result.out);
        EXPECT_EQ(std::vector<std::string>{}, ListDir(pngDir));
    }
}

// Each header field of each page, the sync word and a seeded sample of line-record bytes,
// damaged one at a time: the inspector either reads the job as the reader does or refuses
// it with the reader's message, never crashes, and writes PNGs only for a good job. (Every
// byte is swept in-process in vnjobreader_test, and without end by the fuzz target.)
TEST_F(DecodeTest, DamagedDocumentsNeverCrashIt)
{
    const VnJob job = PrintJob("VNMonoColor=Mono\n", Page(1), Page(2));
    struct Damage {
        size_t nOffset;
        uint8_t nValue;
    };
    std::vector<Damage> damages = {{0, 0x00}, {3, 0xFF}};
    const size_t kFields[] = {pwg::kRasterName, pwg::kMediaType, pwg::kHWResX, pwg::kPageSizeX,
                              pwg::kWidth, pwg::kWidth + 3, pwg::kHeight, pwg::kHeight + 3,
                              pwg::kBitsPerColor + 3, pwg::kBitsPerPixel + 3, pwg::kBytesPerLine + 3,
                              pwg::kColorSpace + 3, pwg::kNumColors + 3};
    std::mt19937 random(20240611);
    for (size_t i = 0; i < job.pages.size(); ++i) {
        const size_t nHeader = job.pages[i].nDocOffset;
        for (size_t nField : kFields)
            damages.push_back({nHeader + nField, uint8_t(i == 0 ? 0xFF : 0x00)});
        const size_t nEnd = i + 1 < job.pages.size() ? job.pages[i + 1].nDocOffset : job.document.size();
        std::uniform_int_distribution<size_t> lineByte(nHeader + kPwgHeaderSize, nEnd - 1);
        for (uint8_t nValue : {uint8_t(0x00), uint8_t(0x80), uint8_t(0xFF), uint8_t(0x7F)})
            damages.push_back({lineByte(random), nValue});
    }
    for (const Damage& d : damages) {
        SCOPED_TRACE("document offset " + std::to_string(d.nOffset) + " set to " + std::to_string(d.nValue));
        std::vector<uint8_t> document = job.document;
        document[d.nOffset] = d.nValue;
        const std::vector<uint8_t> damaged = Rewrapped(job, document);
        WriteBytes(jobPath, damaged);
        RemoveTree(pngDir);
        VnJob parsed;
        JobReadError err;
        const bool bWellFormed = ReadJob(damaged.data(), damaged.size(), &parsed, &err);

        const FilterResult result = RunDecode({"--png", pngDir, jobPath});
        ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
        if (!bWellFormed) {
            EXPECT_EQ(1, result.nExitStatus);
            EXPECT_EQ("velnora-decode: " + jobPath + ": malformed job: " + DescribeError(err) + "\n", result.err);
            EXPECT_EQ(std::vector<std::string>{}, ListDir(pngDir));
            continue;
        }
        EXPECT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ(parsed.pages.size(), ListDir(pngDir).size());
    }
}

TEST_F(DecodeTest, BadCommandLinesExitTwo)
{
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"no job", {}},
        {"two jobs", {"a.prn", "b.prn"}},
        {"--png without its folder", {"job.prn", "--png"}},
        {"--png with an empty folder name", {"--png=", "job.prn"}},
        {"--png twice", {"--png", "x", "--png", "y", "job.prn"}},
        {"an unknown option", {"-x", "job.prn"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunDecode(c.args);
        EXPECT_EQ(2, result.nExitStatus);
        EXPECT_EQ("usage: velnora-decode [--png DIR] JOB\n", result.err);
        EXPECT_EQ("", Text(result.out));
    }
    const FilterResult help = RunDecode({"--help"});
    EXPECT_EQ(0, help.nExitStatus);
    EXPECT_EQ("usage: velnora-decode [--png DIR] JOB\n", Text(help.out));
}

TEST_F(DecodeTest, UnusableFilesAndFoldersExitOne)
{
    PrintJob("", Page(1), Page(2));
    const std::string missing = dir / "missing.prn";
    const std::string notAFolder = dir / "plain";
    WriteFile(notAFolder, "x");
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
        std::string expectedErr;
    };
    const Case cases[] = {
        {"a job that is not there", {missing},
         "velnora-decode: " + missing + ": cannot open: No such file or directory\n"},
        {"a job that is a folder", {dir.Path()}, "velnora-decode: " + dir.Path() + ": read error after 0 bytes: Is a directory\n"},
        {"--png naming a file", {"--png", notAFolder, jobPath}, "velnora-decode: " + notAFolder + ": not a folder\n"},
        {"--png in a folder that is not there", {"--png", dir / "no/png", jobPath},
         "velnora-decode: " + (dir / "no/png") + ": cannot make the folder: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunDecode(c.args);
        EXPECT_EQ(1, result.nExitStatus);
        EXPECT_EQ(c.expectedErr, result.err);
    }
    EXPECT_EQ("x", ReadText(notAFolder));
}

// A page that cannot be written whole (here: a file-size limit, as on a full disk) leaves
// neither the page nor its temporary file behind.
TEST_F(DecodeTest, FailedPngWriteLeavesNoFileBehind)
{
    PrintJob("", Page(1), Page(2));
    MakeDirs(pngDir);
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    rlimit small = old;
    small.rlim_cur = 60;   // the PNG signature and header fit, the pixels do not
    void (*pfnOld)(int) = signal(SIGXFSZ, SIG_IGN);   // inherited: writes fail with EFBIG
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    FilterProcess decode(DecodePath(), {"--png", pngDir, jobPath}, {}, false);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, pfnOld);
    const FilterResult result = decode.Wait();

    EXPECT_EQ(1, result.nExitStatus);
    EXPECT_EQ("velnora-decode: " + pngDir + "/page-1.png: cannot write the page: File too large\n", result.err);
    EXPECT_EQ(std::vector<std::string>{}, ListDir(pngDir));
}

// Pages are decoded, printed and written one at a time: a job of 20 pages of 18 MB each
// (360 MB decoded) goes through an inspector limited to 200 MiB of address space, with and
// without --png.
TEST_F(DecodeTest, ReadsManyPagesInAboutOnePagesMemory)
{
    if (kAddressSanitizer)
        GTEST_SKIP() << "an address-space limit cannot hold AddressSanitizer's reservations";
    constexpr uint32_t kWidth = 3000, kHeight = 2000;
    constexpr int kPages = 20;
    std::vector<uint8_t> document = Bytes("RaS2");
    for (int n = 0; n < kPages; ++n)
        document = Concat({document, CraftedPageHeader(kWidth, kHeight, 24),
                           UniformPageRecords(kWidth, kHeight, 24, uint8_t(n * 10))});
    WriteBytes(jobPath, CraftedJob(Gzip(document)));
    ASSERT_GT(uint64_t(kPages) * kWidth * 3 * kHeight, uint64_t(kMemoryLimitMiB) << 20);

    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"summary", {jobPath}},
        {"--png", {"--png", pngDir, jobPath}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = RunDecodeWithin(kMemoryLimitMiB, c.args);
        EXPECT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_EQ("", result.err);
        const std::string out = Text(result.out);
        EXPECT_NE(std::string::npos, out.find("page 20: header at document offset")) << out;
        EXPECT_NE(std::string::npos, out.find(", 20 pages\n")) << out;
    }
    EXPECT_EQ(size_t(kPages), ListDir(pngDir).size());
    const PngPage last = ReadPng(pngDir + "/page-20.png");
    ASSERT_TRUE(last.bRead);
    EXPECT_EQ(std::vector<uint8_t>(size_t(kWidth) * 3 * kHeight, 190), last.pixels);
}

// What no filter writes is refused at its first wrong byte, before anything is allocated
// or inflated for it: a page with impossible sides or too many pixels, and a gzip stream
// of a thousand mebibytes of zeros. Exit 1 with the reader's message, within a memory
// limit that holding the page or the stream would break.
TEST_F(DecodeTest, RefusesImpossiblePagesAndGzipBombsEarly)
{
    // A page of 1048576 x 65536 whose 256 records of 256 lines each take 8 MB, so the
    // document could hold them: about 8 KB compressed.
    std::vector<uint8_t> hugeRecords;
    for (int n = 0; n < 256; ++n) {
        hugeRecords.push_back(255);
        for (int nRun = 0; nRun < 1048576 / 128; ++nRun)
            hugeRecords.insert(hugeRecords.end(), {127, 0, 0, 0});
    }
    const size_t nHeader = 4;   // the page header follows the sync word
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> stream;
        std::string expected;
    };
    const Case cases[] = {
        {"1048576 x 65536", Gzip(Concat({Bytes("RaS2"), CraftedPageHeader(1048576, 65536, 24), hugeRecords})),
         "offset " + std::to_string(nHeader + pwg::kWidth) +
             " in the document: expected a Width of at most 32767 pixels (a page side the filter can write)"},
        {"Height 32768", Gzip(Concat({Bytes("RaS2"), CraftedPageHeader(100, 32768, 8), {0, 0, 1}})),
         "offset " + std::to_string(nHeader + pwg::kHeight) +
             " in the document: expected a Height of at most 32767 lines (a page side the filter can write)"},
        {"32767 x 32767 colour", Gzip(Concat({Bytes("RaS2"), CraftedPageHeader(32767, 32767, 24), {0, 0, 1}})),
         "offset " + std::to_string(nHeader + pwg::kHeight) +
             " in the document: expected a page of at most 536870912 bytes of pixels (BytesPerLine x Height)"},
        {"gzip bomb", GzipOfZeros(1000), "offset 0 in the document: expected the sync word \"RaS2\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        WriteBytes(jobPath, CraftedJob(c.stream));
        RemoveTree(pngDir);
        const FilterResult result = RunDecodeWithin(kMemoryLimitMiB, {"--png", pngDir, jobPath});
        EXPECT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(1, result.nExitStatus);
        EXPECT_EQ("velnora-decode: " + jobPath + ": malformed job: " + c.expected + "\n", result.err);
        EXPECT_EQ(std::string::npos, Text(result.out).find("page 1:")) << Text(result.out);
        EXPECT_EQ(std::vector<std::string>{}, ListDir(pngDir));
    }
}
