#include "craftedjob.h"
#include "testfiles.h"
#include "vnjobreader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ByteVec = std::vector<uint8_t>;

constexpr std::string_view kUel = "\x1b%-12345X";

ByteVec B(std::string_view szText)
{
    return ByteVec(szText.begin(), szText.end());
}

ByteVec Cat(std::initializer_list<ByteVec> parts)
{
    ByteVec all;
    for (const ByteVec& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

ByteVec Document(std::initializer_list<ByteVec> parts)
{
    return Cat({B("RaS2"), Cat(parts)});
}

// A job in its three parts, as the filter writes them.
struct JobParts {
    ByteVec header, stream, trailer;
    ByteVec Whole() const { return Cat({header, stream, trailer}); }
};

JobParts MakeJob(const ByteVec& document, const char* pszTitle = nullptr)
{
    std::string szHeader = std::string(kUel) + "@PJL \n@PJL SET HOLD=OFF\n";
    std::string szTrailer(kUel);
    if (pszTitle) {
        szHeader += "@PJL JOB NAME=\"" + std::string(pszTitle) + "\"\n";
        szTrailer += "@PJL EOJ NAME=\"" + std::string(pszTitle) + "\"\n";
    }
    szHeader += "@PJL ENTER LANGUAGE=PWGRASTER\n";
    szTrailer += std::string(kUel) + "\n";
    return {B(szHeader), Gzip(document), B(szTrailer)};
}

// A gray page of 2 x 2 with one merged record: lines 9 9 and 9 9.
const ByteVec kGrayDocument = Document({CraftedPageHeader(2, 2, 8), {0x01, 0x01, 9}});

struct ExpectedPage {
    uint32_t nWidth, nHeight, nBitsPerPixel;
    ByteVec pixels;
    PageEncodingStats stats;
};

void ExpectPage(const ExpectedPage& want, const PwgPage& page)
{
    EXPECT_EQ("PwgRaster", page.szPwgRaster);
    EXPECT_EQ("auto", page.szMediaType);
    EXPECT_EQ(600u, page.nHWResolutionX);
    EXPECT_EQ(600u, page.nHWResolutionY);
    EXPECT_EQ(595u, page.nPageSizeX);
    EXPECT_EQ(842u, page.nPageSizeY);
    EXPECT_EQ(want.nWidth, page.nWidth);
    EXPECT_EQ(want.nHeight, page.nHeight);
    EXPECT_EQ(8u, page.nBitsPerColor);
    EXPECT_EQ(want.nBitsPerPixel, page.nBitsPerPixel);
    EXPECT_EQ(want.nWidth * want.nBitsPerPixel / 8, page.nBytesPerLine);
    EXPECT_EQ(want.nBitsPerPixel == 24 ? 19u : 18u, page.nColorSpace);
    EXPECT_EQ(want.nBitsPerPixel == 24 ? 3u : 1u, page.nNumColors);
    EXPECT_EQ(want.pixels, page.pixels);
    EXPECT_EQ(want.stats.nLineRecords, page.stats.nLineRecords);
    EXPECT_EQ(want.stats.nMergedLines, page.stats.nMergedLines);
    EXPECT_EQ(want.stats.nLiteralBytes, page.stats.nLiteralBytes);
    EXPECT_EQ(want.stats.nRunBytes, page.stats.nRunBytes);
    EXPECT_EQ(want.stats.nEncodedBytes, page.stats.nEncodedBytes);
}

}  // namespace

TEST(JobReader, DecodesPages)
{
    const ByteVec red = {255, 0, 0}, green = {0, 255, 0}, blue = {0, 0, 255}, white = {255, 255, 255};
    struct Case {
        const char* pszWhat;
        ByteVec document;
        std::vector<ExpectedPage> pages;
    };
    const Case cases[] = {
        {"colour page: repeat and literal runs",
         Document({CraftedPageHeader(3, 2, 24),
                   Cat({{0x00, 0x00}, red, {0xFF}, green, blue}),   // red, then literal green blue
                   Cat({{0x00, 0x02}, white})}),                    // three white
         {{3, 2, 24, Cat({red, green, blue, white, white, white}), {2, 0, 6, 12, 17}}}},
        {"gray page with two merged lines",
         Document({CraftedPageHeader(5, 3, 8), {0x00, 0xFC, 1, 2, 3, 4, 5}, {0x01, 0x01, 9, 0xFE, 7, 8, 7}}),
         {{5, 3, 8, {1, 2, 3, 4, 5, 9, 9, 7, 8, 7, 9, 9, 7, 8, 7}, {2, 1, 8, 2, 14}}}},
        {"300 equal lines as counts 255 and 43, 200 pixels as runs of 128 and 72",
         Document({CraftedPageHeader(200, 300, 8), {255, 127, 0xAA, 71, 0xAA}, {43, 127, 0xAA, 71, 0xAA}}),
         {{200, 300, 8, ByteVec(200 * 300, 0xAA), {2, 298, 0, 400, 10}}}},
        {"two pages",
         Document({CraftedPageHeader(1, 1, 24), Cat({{0x00, 0x00}, blue}), CraftedPageHeader(1, 1, 8), {0x00, 0x00, 42}}),
         {{1, 1, 24, blue, {1, 0, 0, 3, 5}}, {1, 1, 8, {42}, {1, 0, 0, 1, 3}}}},
        {"no page at all", Document({}), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<PwgPage> pages;
        JobReadError err;
        ASSERT_TRUE(ReadPwgDocument(c.document.data(), c.document.size(), &pages, &err)) << DescribeError(err);
        ASSERT_EQ(c.pages.size(), pages.size());
        size_t nDocOffset = 4;
        for (size_t n = 0; n < pages.size(); ++n) {
            ExpectPage(c.pages[n], pages[n]);
            EXPECT_EQ(nDocOffset, pages[n].nDocOffset);
            EXPECT_EQ(0, std::memcmp(pages[n].header.data(), c.document.data() + nDocOffset, kPwgHeaderSize));
            nDocOffset += kPwgHeaderSize + pages[n].stats.nEncodedBytes;
        }
    }
}

TEST(JobReader, SplitsJobWithAndWithoutEoj)
{
    struct Case {
        const char* pszWhat;
        const char* pszTitle;
        std::vector<std::string> headerLines;
    };
    const Case cases[] = {
        {"no title", nullptr,
         {"@PJL ", "@PJL SET HOLD=OFF", "@PJL ENTER LANGUAGE=PWGRASTER"}},
        {"title", "Quarterly report",
         {"@PJL ", "@PJL SET HOLD=OFF", "@PJL JOB NAME=\"Quarterly report\"", "@PJL ENTER LANGUAGE=PWGRASTER"}},
        {"title holding quotes, written unchanged", "say \"hi\"",
         {"@PJL ", "@PJL SET HOLD=OFF", "@PJL JOB NAME=\"say \"hi\"\"", "@PJL ENTER LANGUAGE=PWGRASTER"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const JobParts parts = MakeJob(kGrayDocument, c.pszTitle);
        const ByteVec job = parts.Whole();
        VnJob out;
        JobReadError err;
        ASSERT_TRUE(ReadJob(job.data(), job.size(), &out, &err)) << DescribeError(err);
        EXPECT_EQ(c.headerLines, out.headerLines);
        EXPECT_EQ(B(out.szHeader), parts.header);
        EXPECT_EQ(parts.header.size(), out.nStreamOffset);
        EXPECT_EQ(parts.stream.size(), out.nStreamSize);
        EXPECT_EQ(kGrayDocument, out.document);
        EXPECT_EQ(B(out.szTrailer), parts.trailer);
        EXPECT_EQ(c.pszTitle != nullptr, out.bHasEoj);
        EXPECT_EQ(c.pszTitle ? c.pszTitle : "", out.szEojTitle);
        ASSERT_EQ(1u, out.pages.size());
        EXPECT_EQ(ByteVec(4, 9), out.pages[0].pixels);
    }
}

TEST(JobReader, RejectsMalformedJobs)
{
    const JobParts good = MakeJob(kGrayDocument, "T");
    const size_t nHeader = good.header.size();
    const size_t nStreamEnd = nHeader + good.stream.size();
    const ByteVec uel = B(kUel);
    ByteVec badCrc = good.stream;
    badCrc[badCrc.size() - 8] ^= 0x01;
    const size_t nFirstRecord = 4 + kPwgHeaderSize;
    ByteVec hugeHeader = CraftedPageHeader(0x55555555, 0xFFFFFFFF, 24);
    ByteVec wrongLineLength = CraftedPageHeader(2, 1, 8);
    wrongLineLength[pwg::kBytesPerLine + 3] = 3;
    const auto WithDocument = [](const ByteVec& document) { return MakeJob(document).Whole(); };

    struct Case {
        const char* pszWhat;
        ByteVec job;
        size_t nOffset;
        bool bInDocument;
        const char* pszExpected;   // part of what the error says was expected
    };
    const Case cases[] = {
        {"empty job", {}, 0, false, "UEL"},
        {"no UEL", B("@PJL \n"), 0, false, "UEL"},
        {"first line not \"@PJL \"", Cat({uel, B("@PJL SET HOLD=OFF\n")}), 9, false, "\"@PJL \""},
        {"carriage return", Cat({uel, B("@PJL \r\n")}), 14, false, "carriage return"},
        {"escape inside a line", Cat({uel, B("@PJL \n@PJL SET A=\x1b\n")}), 26, false, "printable"},
        {"line not starting @PJL", Cat({uel, B("@PJL \nSET HOLD=OFF\n")}), 15, false, "\"@PJL\""},
        {"header ends before ENTER", Cat({uel, B("@PJL \n@PJL SET HOLD=OFF\n")}), 33, false, "ENTER LANGUAGE"},
        {"header cut inside a line", ByteVec(good.header.begin(), good.header.begin() + 20), 20, false,
         "line feed"},
        {"no gzip stream", Cat({good.header, good.trailer}), nHeader, false, "a gzip stream"},
        {"gzip stream cut short", Cat({good.header, ByteVec(good.stream.begin(), good.stream.end() - 12)}),
         nStreamEnd - 12, false, "rest of the gzip stream"},
        {"corrupted gzip CRC", Cat({good.header, badCrc, good.trailer}), nStreamEnd - 4, false, "valid gzip"},
        {"two gzip members", Cat({good.header, good.stream, good.stream, good.trailer}), nStreamEnd, false,
         "second gzip"},
        {"no trailer", Cat({good.header, good.stream}), nStreamEnd, false, "UEL"},
        {"trailer without second UEL", Cat({good.header, good.stream, uel, B("@PJL EOJ NAME=\"T\"\n\n")}),
         nStreamEnd + 27, false, "UEL"},
        {"trailer with another PJL line", Cat({good.header, good.stream, uel, B("@PJL EOJ\n"), uel, B("\n")}),
         nStreamEnd + 9, false, "EOJ NAME="},
        {"trailer without final line feed", Cat({good.header, good.stream, uel, uel}), nStreamEnd + 18, false,
         "line feed"},
        {"garbage after the trailer", Cat({good.Whole(), B("x")}), good.Whole().size(), false, "end of the job"},
        {"bad sync word", WithDocument(Cat({B("RaS3"), CraftedPageHeader(1, 1, 8), {0, 0, 1}})), 0, true, "RaS2"},
        {"not a PwgRaster header", WithDocument(Document({ByteVec(kPwgHeaderSize, 0)})), 4, true, "PwgRaster"},
        {"16 bits a pixel", WithDocument(Document({CraftedPageHeader(1, 1, 16), {0, 0, 1, 1}})), 4 + pwg::kBitsPerPixel, true,
         "BitsPerPixel"},
        {"BytesPerLine not Width x 1", WithDocument(Document({wrongLineLength, {0, 0xFF, 1, 2}})), 4 + pwg::kBytesPerLine, true,
         "BytesPerLine"},
        {"Width and Height far too large", WithDocument(Document({hugeHeader, ByteVec(64, 0)})),
         4 + pwg::kWidth, true, "a Width of at most 32767 pixels"},
        {"Width one above 32767", WithDocument(Document({CraftedPageHeader(32768, 1, 8), {0, 0, 1}})),
         4 + pwg::kWidth, true, "a Width of at most 32767 pixels"},
        {"Height one above 32767", WithDocument(Document({CraftedPageHeader(1, 32768, 8), {0, 0, 1}})),
         4 + pwg::kHeight, true, "a Height of at most 32767 lines"},
        {"more than 512 MiB of pixels", WithDocument(Document({CraftedPageHeader(32767, 32767, 24)})),
         4 + pwg::kHeight, true, "a page of at most 536870912 bytes"},
        {"PJL header beyond 1 MiB",
         Cat({uel, B("@PJL \n@PJL COMMENT "), ByteVec(kPjlTextMax, 'x'), B("\n")}), kPjlTextMax, false,
         "within 1048576 bytes"},
        {"control byte 0x80", WithDocument(Document({CraftedPageHeader(2, 1, 8), {0x00, 0x80, 1, 2}})), nFirstRecord + 1,
         true, "0x80"},
        {"run past BytesPerLine", WithDocument(Document({CraftedPageHeader(2, 1, 8), {0x00, 0x02, 5}})), nFirstRecord + 1,
         true, "BytesPerLine"},
        {"literal past BytesPerLine",
         WithDocument(Document({CraftedPageHeader(2, 1, 24), {0x00, 0x00, 1, 1, 1, 0xFF, 2, 2, 2, 3, 3, 3}})),
         nFirstRecord + 5, true, "BytesPerLine"},
        {"repeat count past Height", WithDocument(Document({CraftedPageHeader(1, 2, 8), {0x00, 0x00, 1}, {0x01, 0x00, 1}})),
         nFirstRecord + 3, true, "Height"},
        {"document ends before the last line",
         WithDocument(Document({CraftedPageHeader(1, 3, 8), {0x00, 0x00, 1}, {0x00, 0x00, 1}})), nFirstRecord + 6, true,
         "a line record"},
        {"document ends inside a literal", WithDocument(Document({CraftedPageHeader(3, 1, 8), {0x00, 0xFE, 1, 2}})),
         nFirstRecord + 4, true, "pixels"},
        {"bytes after the last page", WithDocument(Cat({kGrayDocument, {0x00}})), kGrayDocument.size(), true,
         "end of the document"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        VnJob out;
        JobReadError err;
        ASSERT_FALSE(ReadJob(c.job.data(), c.job.size(), &out, &err));
        EXPECT_EQ(c.nOffset, err.nOffset) << DescribeError(err);
        EXPECT_EQ(c.bInDocument, err.bInDocument) << DescribeError(err);
        EXPECT_NE(std::string::npos, err.szExpected.find(c.pszExpected)) << DescribeError(err);
    }
}

// Every proper prefix of a good job or document is refused at or before its end, but
// for "RaS2" alone, a document of no page.
TEST(JobReader, RejectsEveryTruncation)
{
    const ByteVec document = Document(
        {CraftedPageHeader(3, 2, 24), {0x00, 0x02, 1, 2, 3}, {0x00, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8, 9}});
    const ByteVec job = MakeJob(document, "T").Whole();
    for (size_t nSize = 0; nSize < job.size(); ++nSize) {
        VnJob out;
        JobReadError err;
        ASSERT_FALSE(ReadJob(job.data(), nSize, &out, &err)) << nSize;
        EXPECT_LE(err.nOffset, nSize);
    }
    for (size_t nSize = 0; nSize < document.size(); ++nSize) {
        if (nSize == 4)
            continue;
        std::vector<PwgPage> pages;
        JobReadError err;
        ASSERT_FALSE(ReadPwgDocument(document.data(), nSize, &pages, &err)) << nSize;
        EXPECT_LE(err.nOffset, nSize);
    }
}

TEST(JobReader, DescribesErrors)
{
    EXPECT_EQ("offset 12: expected UEL", DescribeError({12, false, "UEL"}));
    EXPECT_EQ("offset 0 in the document: expected the sync word \"RaS2\"",
              DescribeError({0, true, "the sync word \"RaS2\""}));
}

class JobReaderFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string szTemplate = (std::filesystem::temp_directory_path() / "vnjobreader.XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(szTemplate.data()));
        dir = szTemplate;
    }
    void TearDown() override
    {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
};

TEST_F(JobReaderFile, ReadsJobFromFileAndReportsMissingFile)
{
    const ByteVec job = MakeJob(kGrayDocument).Whole();
    const std::string szPath = (dir / "job.prn").string();
    FILE* fp = fopen(szPath.c_str(), "wb");
    ASSERT_NE(nullptr, fp);
    ASSERT_EQ(job.size(), fwrite(job.data(), 1, job.size(), fp));
    ASSERT_EQ(0, fclose(fp));

    VnJob out;
    JobReadError err;
    ASSERT_TRUE(ReadJobFile(szPath.c_str(), &out, &err)) << DescribeError(err);
    EXPECT_EQ(kGrayDocument, out.document);
    ASSERT_EQ(1u, out.pages.size());

    EXPECT_FALSE(ReadJobFile((dir / "missing.prn").string().c_str(), &out, &err));
    EXPECT_EQ(0u, err.nOffset);
    EXPECT_NE(std::string::npos, err.szExpected.find("open")) << DescribeError(err);
}

namespace {

// A job of three pages, gray and colour, some lines merged.
ByteVec ThreePageDocument()
{
    return Document({CraftedPageHeader(5, 3, 8), {0x00, 0xFC, 1, 2, 3, 4, 5}, {0x01, 0x01, 9, 0xFE, 7, 8, 7},
                     CraftedPageHeader(3, 2, 24), {0x00, 0x00, 255, 0, 0, 0xFF, 0, 255, 0, 0, 0, 255},
                     {0x00, 0x02, 1, 2, 3}, CraftedPageHeader(200, 300, 8), UniformPageRecords(200, 300, 8, 0xAA)});
}

// A stream over the bytes that counts what is read from it.
struct CountedBytes {
    const ByteVec* pBytes;
    size_t nRead = 0;
};

ssize_t ReadCounted(void* pCookie, char* pBuf, size_t nSize)
{
    CountedBytes* p = static_cast<CountedBytes*>(pCookie);
    const size_t n = std::min(nSize, p->pBytes->size() - p->nRead);
    std::memcpy(pBuf, p->pBytes->data() + p->nRead, n);
    p->nRead += n;
    return static_cast<ssize_t>(n);
}

FILE* OpenCounted(CountedBytes* pCounted)
{
    cookie_io_functions_t io{};
    io.read = ReadCounted;
    return fopencookie(pCounted, "rb", io);
}

}  // namespace

// The job read from a stream, one page after the other into the same page record, gives
// what ReadJob gives.
TEST(JobReader, ReadsAStreamAPageAtATime)
{
    const ByteVec job = MakeJob(ThreePageDocument(), "T").Whole();
    VnJob whole;
    JobReadError err;
    ASSERT_TRUE(ReadJob(job.data(), job.size(), &whole, &err)) << DescribeError(err);
    ASSERT_EQ(3u, whole.pages.size());

    CountedBytes counted{&job};
    FILE* fp = OpenCounted(&counted);
    ASSERT_NE(nullptr, fp);
    JobReader reader(fp);
    VnJob streamed;
    ASSERT_TRUE(reader.ReadHeader(&streamed, &err)) << DescribeError(err);
    EXPECT_EQ(whole.headerLines, streamed.headerLines);
    PwgPage page;
    for (const PwgPage& want : whole.pages) {
        ASSERT_EQ(PageStep::kPage, reader.NextPage(&page, &err)) << DescribeError(err);
        EXPECT_EQ(want.header, page.header);
        EXPECT_EQ(want.pixels, page.pixels);
        EXPECT_EQ(want.stats.nEncodedBytes, page.stats.nEncodedBytes);
        EXPECT_EQ(want.nDocOffset, page.nDocOffset);
    }
    ASSERT_EQ(PageStep::kEndOfDocument, reader.NextPage(&page, &err)) << DescribeError(err);
    ASSERT_TRUE(reader.ReadTrailer(&streamed, &err)) << DescribeError(err);
    fclose(fp);
    EXPECT_EQ(whole.nStreamOffset, streamed.nStreamOffset);
    EXPECT_EQ(whole.nStreamSize, streamed.nStreamSize);
    EXPECT_EQ(whole.document.size(), streamed.nDocumentSize);
    EXPECT_EQ(job.size(), streamed.nJobSize);
    EXPECT_EQ(whole.szTrailer, streamed.szTrailer);
    EXPECT_EQ("T", streamed.szEojTitle);
}

// A fault is reported where it stands, and nothing behind it is read: a gzip stream that
// inflates to a thousand mebibytes of zeros is refused at the document's first byte after
// the first block of the job.
TEST(JobReader, StopsReadingAtTheFirstWrongByte)
{
    const ByteVec job = CraftedJob(GzipOfZeros(1000));
    CountedBytes counted{&job};
    FILE* fp = OpenCounted(&counted);
    ASSERT_NE(nullptr, fp);
    JobReader reader(fp);
    VnJob out;
    JobReadError err;
    ASSERT_TRUE(reader.ReadHeader(&out, &err)) << DescribeError(err);
    PwgPage page;
    EXPECT_EQ(PageStep::kMalformed, reader.NextPage(&page, &err));
    fclose(fp);
    EXPECT_EQ("offset 0 in the document: expected the sync word \"RaS2\"", DescribeError(err));
    EXPECT_GT(job.size(), 1000000u);
    EXPECT_LT(counted.nRead, 256u * 1024) << "of " << job.size() << " bytes";
}

// Every byte of a document, set to 0x00, 0x80 and 0xFF in turn: the document reader and
// the job reader (the same document in a gzip stream) agree, byte for byte of the message,
// and a document read as well formed has all its pixels.
TEST(JobReader, EveryDamagedByteIsRefusedOrDecoded)
{
    const ByteVec document = ThreePageDocument();
    for (size_t nOffset = 0; nOffset < document.size(); ++nOffset) {
        for (uint8_t nValue : {uint8_t(0x00), uint8_t(0x80), uint8_t(0xFF)}) {
            ByteVec damaged = document;
            damaged[nOffset] = nValue;
            std::vector<PwgPage> pages;
            JobReadError docErr;
            const bool bDocument = ReadPwgDocument(damaged.data(), damaged.size(), &pages, &docErr);
            const ByteVec job = MakeJob(damaged).Whole();
            VnJob out;
            JobReadError jobErr;
            const bool bJob = ReadJob(job.data(), job.size(), &out, &jobErr);
            SCOPED_TRACE("offset " + std::to_string(nOffset) + " set to " + std::to_string(nValue));
            ASSERT_EQ(bDocument, bJob);
            if (!bDocument) {
                ASSERT_EQ(DescribeError(docErr), DescribeError(jobErr));
                ASSERT_TRUE(docErr.bInDocument);
                ASSERT_LE(docErr.nOffset, damaged.size());
                continue;
            }
            ASSERT_EQ(pages.size(), out.pages.size());
            for (const PwgPage& page : pages)
                ASSERT_EQ(uint64_t(page.nHeight) * page.nBytesPerLine, page.pixels.size());
        }
    }
}
