// Tests of the job's gzip stream, through the built filter.
#include <zlib.h>

#include "filterjob.h"

class GzipStreamTest : public FilterJobTest {};

// The document deflated in one call with the job's settings (zlib's default level, gzip
// wrapper with a 32 KiB window, memory level 8, default strategy) and finished.
static std::vector<uint8_t> DeflatedAsOne(const std::vector<uint8_t>& document)
{
    z_stream zs = {};
    EXPECT_EQ(Z_OK, deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY));
    std::vector<uint8_t> out(deflateBound(&zs, uLong(document.size())));
    zs.next_in = const_cast<uint8_t*>(document.data());
    zs.avail_in = unsigned(document.size());
    zs.next_out = out.data();
    zs.avail_out = unsigned(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&zs, Z_FINISH));
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// One stream for the whole document: the pages, each staged and fed on its own, leave no
// flush point or second member behind, and the settings are the job's.
TEST_F(GzipStreamTest, StreamIsTheWholeDocumentDeflatedAsOne)
{
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
        EXPECT_EQ(DeflatedAsOne(job.document), stream);
    }
}

TEST_F(GzipStreamTest, JobWithoutAnyPageDataIsTheSyncWordAlone)
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

