// pbmproc: the PPM page header grammar. ScanPpmHeaderByte holds it: the magic "P6", the
// width, the height and the maximum value, each ended by exactly one white space byte,
// with "#" comments to the end of the line where a token may begin. ReadPpmFileHeader
// reads a header a character at a time from the buffered input stream, so the pixel data
// can be read from the same stream after it. Width, height and maximum value are read but
// not used: the page geometry comes from the paper-information file.
#include "pbmproc.h"

#include <cstdlib>

#include "debugtool.h"

static bool IsHeaderSpace(uint8_t c)   // the C locale's white space
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void StartPpmHeader(PpmHeaderScan* pScan)
{
    pScan->szToken[0] = '\0';
    pScan->nLength = 0;
    pScan->nTokenLength = 0;
    pScan->nField = kPpmFieldMagic;
    pScan->nTokenField = kPpmFieldMagic;
    pScan->bInComment = false;
    pScan->bStarted = false;
}

// A token has ended at a white space byte: the magic is checked here, the numbers are
// the caller's to read.
static int EndPpmToken(PpmHeaderScan* pScan)
{
    pScan->szToken[pScan->nLength] = '\0';
    pScan->nTokenLength = pScan->nLength;
    pScan->nLength = 0;
    pScan->nTokenField = pScan->nField++;
    switch (pScan->nTokenField) {
    case kPpmFieldMagic:
        if (pScan->nTokenLength != 2 || pScan->szToken[0] != 'P' || pScan->szToken[1] != '6')
            return kPpmScanInvalid;
        return kPpmScanMore;
    case kPpmFieldWidth:
    case kPpmFieldHeight:
        return kPpmScanNumber;
    default:
        return kPpmScanDone;
    }
}

int ScanPpmHeaderByte(PpmHeaderScan* pScan, uint8_t c)
{
    pScan->bStarted = true;
    if (pScan->bInComment) {
        pScan->bInComment = c != '\n' && c != '\r';
        return kPpmScanMore;
    }
    if (c == '#' && pScan->nLength == 0) {
        pScan->bInComment = true;
        return kPpmScanMore;
    }
    if (!IsHeaderSpace(c)) {
        if (pScan->nLength == kPpmMaxToken)
            return kPpmScanInvalid;
        pScan->szToken[pScan->nLength++] = static_cast<char>(c);
        return kPpmScanMore;
    }
    if (pScan->nLength == 0)
        return kPpmScanInvalid;   // white space may neither begin a header nor follow white space
    return EndPpmToken(pScan);
}

int ReadPpmFileHeader(FILE* fp)
{
    PpmHeaderScan scan;
    StartPpmHeader(&scan);
    long nWidth = 0;
    long nHeight = 0;
    for (;;) {
        const int c = fgetc(fp);
        if (c == EOF)
            return scan.bStarted ? -1 : 1;
        switch (ScanPpmHeaderByte(&scan, static_cast<uint8_t>(c))) {
        case kPpmScanInvalid:
            return -1;
        case kPpmScanNumber:
            (scan.nTokenField == kPpmFieldWidth ? nWidth : nHeight) = strtol(scan.szToken, nullptr, 10);
            break;
        case kPpmScanDone:
            Debug_dummy("PPM Header:width(%d) length(%d) maxColor(%d)\n", int(nWidth), int(nHeight),
                        int(strtol(scan.szToken, nullptr, 10)));
            return 0;
        default:
            break;
        }
    }
}
