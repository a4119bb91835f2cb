// velnora-decode: the job inspector. Reads a printer job written by the filter, checks its
// structure strictly and prints what it holds: the PJL lines, each page's header fields and
// the figures of its line encoding. A malformed job is reported with the byte offset and
// what was expected there.
//
//   velnora-decode JOB
#include <cstdio>
#include <string>

#include "vnjobreader.h"

namespace {

const char* ColorSpaceName(uint32_t nColorSpace)
{
    return nColorSpace == 19 ? "sRGB" : nColorSpace == 18 ? "sGray" : "other";
}

double Ratio(double nFrom, double nTo)
{
    return nTo > 0 ? nFrom / nTo : 0.0;
}

void PrintPage(size_t nIndex, const PwgPage& page)
{
    const PageEncodingStats& st = page.stats;
    const double nRaw = double(page.nBytesPerLine) * page.nHeight;
    printf("page %zu: %u x %u pixels, %u bits per pixel, %s (ColorSpace %u, NumColors %u)\n", nIndex + 1,
           page.nWidth, page.nHeight, page.nBitsPerPixel, ColorSpaceName(page.nColorSpace), page.nColorSpace,
           page.nNumColors);
    printf("  PwgRaster \"%s\", MediaType \"%s\", HWResolution %u x %u, PageSize %u x %u pt, BytesPerLine %u\n",
           page.szPwgRaster.c_str(), page.szMediaType.c_str(), page.nHWResolutionX, page.nHWResolutionY,
           page.nPageSizeX, page.nPageSizeY, page.nBytesPerLine);
    printf("  line records %llu, merged lines %llu, literal bytes %llu, run bytes %llu, encoded %llu bytes"
           " (%.1f : 1)\n",
           static_cast<unsigned long long>(st.nLineRecords), static_cast<unsigned long long>(st.nMergedLines),
           static_cast<unsigned long long>(st.nLiteralBytes), static_cast<unsigned long long>(st.nRunBytes),
           static_cast<unsigned long long>(st.nEncodedBytes), Ratio(nRaw, double(st.nEncodedBytes)));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fputs("usage: velnora-decode JOB\n", stderr);
        return 2;
    }
    VnJob job;
    JobReadError err;
    if (!ReadJobFile(argv[1], &job, &err)) {
        fprintf(stderr, "velnora-decode: %s: %s\n", argv[1], DescribeError(err).c_str());
        return 1;
    }
    printf("PJL header: %zu lines\n", job.headerLines.size());
    for (const std::string& line : job.headerLines)
        printf("  %s\n", line.c_str());
    printf("gzip stream: offset %zu, %zu bytes; PWG document %zu bytes (%.1f : 1), %zu page%s\n",
           job.nStreamOffset, job.nStreamSize, job.document.size(), Ratio(double(job.document.size()), double(job.nStreamSize)),
           job.pages.size(), job.pages.size() == 1 ? "" : "s");
    for (size_t i = 0; i < job.pages.size(); ++i)
        PrintPage(i, job.pages[i]);
    if (job.bHasEoj)
        printf("PJL trailer: EOJ NAME=\"%s\"\n", job.szEojTitle.c_str());
    else
        printf("PJL trailer: no EOJ line\n");
    return 0;
}
