// job_reader: the strict job reader on arbitrary bytes: ReadJob on the whole input, and
// ReadPwgDocument on it as a decompressed document (so the page and line-record checks
// are reached without the fuzzer having to make a gzip stream). On success the pages
// must agree with their headers; on failure DescribeError must describe an offset
// inside the bytes read.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "vnjobreader.h"

namespace {

void CheckPages(const std::vector<PwgPage>& pages, size_t nDocSize)
{
    for (const PwgPage& page : pages) {
        FUZZ_CHECK(page.pixels.size() == uint64_t(page.nHeight) * page.nBytesPerLine);
        FUZZ_CHECK(page.nDocOffset + kPwgHeaderSize <= nDocSize);
        FUZZ_CHECK(page.stats.nMergedLines <= page.nHeight);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    VnJob job;
    JobReadError err;
    if (ReadJob(pData, nSize, &job, &err)) {
        FUZZ_CHECK(job.nStreamOffset + job.nStreamSize <= nSize);
        FUZZ_CHECK(job.szHeader.size() <= job.nStreamOffset);
        CheckPages(job.pages, job.document.size());
    } else {
        FUZZ_CHECK(!err.szExpected.empty());
        FUZZ_CHECK(err.bInDocument || err.nOffset <= nSize);
        FUZZ_CHECK(!DescribeError(err).empty());
    }

    std::vector<PwgPage> pages;
    JobReadError docErr;
    if (ReadPwgDocument(pData, nSize, &pages, &docErr)) {
        CheckPages(pages, nSize);
    } else {
        FUZZ_CHECK(!docErr.szExpected.empty());
        FUZZ_CHECK(docErr.nOffset <= nSize);
        FUZZ_CHECK(!DescribeError(docErr).empty());
    }
    return 0;
}
