// ppm_header: ReadPpmFileHeader on arbitrary byte streams, called again and again like
// the page loop until it stops returning 0. Checks that a header read as valid was taken
// from the input alone, ends after the white space that ends its fourth token and begins
// with "P6" (after comments); that 1 comes only at the end of the stream, before any byte.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "pbmproc.h"

namespace {

bool IsSpace(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The header's bytes, comments left out: "P6" ws token ws token ws token ws, each
// white space one byte.
void CheckValidHeader(const uint8_t* p, size_t n)
{
    std::vector<uint8_t> text;
    bool bInComment = false;
    bool bAtTokenStart = true;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = p[i];
        if (bInComment) {
            bInComment = c != '\n' && c != '\r';
            continue;
        }
        if (c == '#' && bAtTokenStart) {
            bInComment = true;
            continue;
        }
        text.push_back(c);
        bAtTokenStart = IsSpace(c);
    }
    FUZZ_CHECK(!bInComment);
    FUZZ_CHECK(text.size() >= 9);   // "P6 1 1 1 "
    // The magic token is compared as a C string: "P6" then a NUL byte passes too.
    FUZZ_CHECK(text[0] == 'P' && text[1] == '6' && (IsSpace(text[2]) || text[2] == '\0'));
    int nSpaces = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!IsSpace(text[i]))
            continue;
        FUZZ_CHECK(i > 0 && !IsSpace(text[i - 1]));   // never two in a row, never first
        ++nSpaces;
    }
    FUZZ_CHECK(nSpaces == 4);
    FUZZ_CHECK(IsSpace(text.back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return 0;   // fmemopen needs a buffer; the empty stream is the "no pages" case
    std::vector<uint8_t> buf(pData, pData + nSize);
    FILE* fp = fmemopen(buf.data(), buf.size(), "rb");
    FUZZ_CHECK(fp != nullptr);
    for (int nHeaders = 0;; ++nHeaders) {
        const long nBefore = ftell(fp);
        const int nResult = ReadPpmFileHeader(fp);
        const long nAfter = ftell(fp);
        FUZZ_CHECK(nResult == 0 || nResult == 1 || nResult == -1);
        FUZZ_CHECK(nAfter >= nBefore && size_t(nAfter) <= nSize);
        if (nResult == 1) {
            FUZZ_CHECK(size_t(nBefore) == nSize);   // ended before the header's first byte
            break;
        }
        if (nResult == -1) {
            FUZZ_CHECK(nAfter > nBefore);   // at least one byte was read, or the end was hit
            break;
        }
        FUZZ_CHECK(nAfter > nBefore);
        CheckValidHeader(pData + nBefore, size_t(nAfter - nBefore));
        FUZZ_CHECK(buf == std::vector<uint8_t>(pData, pData + nSize));   // input untouched
    }
    fclose(fp);
    return 0;
}
