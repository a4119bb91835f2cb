// pbmproc: the PPM page header reader. Reads one "P6" header a character at a time from
// the buffered input stream, so the pixel data can be read from the same stream after it.
// Width, height and maximum value are read but not used: the page geometry comes from the
// paper-information file.
#include "pbmproc.h"

#include <cstdlib>

#include "debugtool.h"

namespace {

constexpr int kMaxToken = 70;   // no valid header has a longer token

enum HeaderField { kFieldMagic, kFieldWidth, kFieldHeight, kFieldMaxValue };

bool IsHeaderSpace(int c)   // the C locale's white space
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int ReadPpmFileHeader(FILE* fp)
{
    char szToken[kMaxToken + 1];
    int nLength = 0;
    int nField = kFieldMagic;
    long nWidth = 0;
    long nHeight = 0;
    bool bInComment = false;
    bool bStarted = false;   // a byte of this header has been read
    for (;;) {
        const int c = fgetc(fp);
        if (c == EOF)
            return bStarted ? -1 : 1;
        bStarted = true;
        if (bInComment) {
            bInComment = c != '\n' && c != '\r';
            continue;
        }
        if (c == '#' && nLength == 0) {
            bInComment = true;
            continue;
        }
        if (!IsHeaderSpace(c)) {
            if (nLength == kMaxToken)
                return -1;
            szToken[nLength++] = static_cast<char>(c);
            continue;
        }
        if (nLength == 0)
            return -1;   // white space may neither begin a header nor follow white space
        szToken[nLength] = '\0';
        const int nTokenLength = nLength;   // a NUL byte may stand inside a token
        nLength = 0;
        switch (nField++) {
        case kFieldMagic:
            if (nTokenLength != 2 || szToken[0] != 'P' || szToken[1] != '6')
                return -1;
            break;
        case kFieldWidth:
            nWidth = strtol(szToken, nullptr, 10);
            break;
        case kFieldHeight:
            nHeight = strtol(szToken, nullptr, 10);
            break;
        default:
            Debug_dummy("PPM Header:width(%d) length(%d) maxColor(%d)\n", int(nWidth), int(nHeight),
                        int(strtol(szToken, nullptr, 10)));
            return 0;
        }
    }
}
