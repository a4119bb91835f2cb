// job_reader: the strict job reader on arbitrary bytes: ReadJob on the whole input, the
// same bytes read as a stream in blocks (as the inspector reads a file), which must come
// to the same verdict at the same offset, and ReadPwgDocument on it as a decompressed
// document (so the page and line-record checks are reached without the fuzzer having to
// make a gzip stream). On success the pages must agree with their headers and stay within
// the page limits; on failure DescribeError must describe an offset inside the bytes read.
#include <cstdint>
#include <cstdio>
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
        FUZZ_CHECK(page.nWidth <= kPageSideMax && page.nHeight <= kPageSideMax);
        FUZZ_CHECK(page.pixels.size() <= kPageBytesMax);
    }
}

// The job read as a stream, a page at a time, from a FILE over the bytes.
bool ReadAsStream(const uint8_t* pData, size_t nSize, size_t* pnPages, JobReadError* pErr)
{
    FILE* fp = fmemopen(const_cast<uint8_t*>(pData), nSize, "rb");
    if (!fp)
        return false;
    bool bRead = false;
    {
        JobReader reader(fp);
        VnJob job;
        PwgPage page;
        *pnPages = 0;
        if (reader.ReadHeader(&job, pErr)) {
            PageStep step;
            while ((step = reader.NextPage(&page, pErr)) == PageStep::kPage)
                ++*pnPages;
            bRead = step == PageStep::kEndOfDocument && reader.ReadTrailer(&job, pErr);
        }
    }
    fclose(fp);
    return bRead;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    VnJob job;
    JobReadError err;
    const bool bRead = ReadJob(pData, nSize, &job, &err);
    if (bRead) {
        FUZZ_CHECK(job.nStreamOffset + job.nStreamSize <= nSize);
        FUZZ_CHECK(job.szHeader.size() <= job.nStreamOffset);
        FUZZ_CHECK(job.nDocumentSize == job.document.size() && job.nJobSize == nSize);
        CheckPages(job.pages, job.document.size());
    } else {
        FUZZ_CHECK(!err.szExpected.empty());
        FUZZ_CHECK(err.bInDocument || err.nOffset <= nSize);
        FUZZ_CHECK(!DescribeError(err).empty());
    }
    if (nSize > 0) {   // fmemopen takes no empty buffer
        size_t nStreamPages = 0;
        JobReadError streamErr;
        const bool bStreamRead = ReadAsStream(pData, nSize, &nStreamPages, &streamErr);
        FUZZ_CHECK(bStreamRead == bRead);
        if (bRead)
            FUZZ_CHECK(nStreamPages == job.pages.size());
        else
            FUZZ_CHECK(streamErr.nOffset == err.nOffset && streamErr.bInDocument == err.bInDocument &&
                       streamErr.szExpected == err.szExpected);
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
