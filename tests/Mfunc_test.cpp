// Tests of the output operations through the built filter: the PWG pages, line merging,
// the staged page files and a printer connection that goes away.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "debugtool.h"
#include "filterjob.h"

using namespace std::chrono_literals;

class OutputTest : public FilterJobTest {};

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
        ExpectPages(ReadOutput(result), k.expected);
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
    ExpectPages(ReadOutput(result), {a.pixels, Turned(b).pixels});
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
        const std::vector<uint8_t> front = *pszRc ? GrayPixels(image) : image.pixels;
        ExpectPages(ReadOutput(result), {front, *pszRc ? GrayPixels(Turned(image)) : image.pixels});
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
    FilterProcess filter(Args(), Env(), true);
    filter.Write(Concat({PpmPage(Page(1)), PpmPage(Page(2))}));
    const FilterResult result = filter.Wait(20s);
    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(1, result.nExitStatus);
    EXPECT_EQ("ERROR: Sending the job to the printer failed.\n", result.err);
    ExpectNothingLeft(result.nPid);
}

