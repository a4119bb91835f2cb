#include "pagecheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

void ExpectPages(const VnJob& job, const std::vector<std::vector<uint8_t>>& expected, std::source_location where)
{
    if (job.pages.size() != expected.size()) {
        ADD_FAILURE_AT(where.file_name(), int(where.line()))
            << "the job holds " << job.pages.size() << " page images, expected " << expected.size();
        return;
    }
    for (size_t n = 0; n < expected.size(); ++n) {
        const std::vector<uint8_t>& got = job.pages[n].pixels;
        if (got == expected[n])
            continue;
        std::ostringstream what;
        what << "page image " << n << ": ";
        if (got.size() != expected[n].size()) {
            what << got.size() << " bytes, expected " << expected[n].size();
        } else {
            const size_t nAt = size_t(std::mismatch(got.begin(), got.end(), expected[n].begin()).first - got.begin());
            what << "byte " << nAt << " is " << int(got[nAt]) << ", expected " << int(expected[n][nAt]);
        }
        ADD_FAILURE_AT(where.file_name(), int(where.line())) << what.str();
    }
}

void ExpectPages(const VnJob& job, const std::vector<const RgbImage*>& expected, std::source_location where)
{
    std::vector<std::vector<uint8_t>> pixels;
    for (const RgbImage* pImage : expected)
        pixels.push_back(pImage->pixels);
    ExpectPages(job, pixels, where);
}

void ExpectPages(const VnJob& job, std::initializer_list<const RgbImage*> expected, std::source_location where)
{
    ExpectPages(job, std::vector<const RgbImage*>(expected), where);
}
