// pagecounter: follows a stream of PPM pages, header by header, without holding any of
// it. A header is taken a byte at a time through ScanPpmHeaderByte; the pixel data is
// skipped in whole blocks.
#include "pagecounter.h"

#include <algorithm>

constexpr int kMaxNumberDigits = 9;

// One number of a header: decimal digits only, at most kMaxNumberDigits of them. The cap
// keeps the body size width x height x 3 x 2 bytes below 6 x 10^18, inside uint64_t, so
// no header can make the counter skip a wrapped-around size. false when the token is
// no such number.
static bool ReadHeaderNumber(const PpmHeaderScan* pScan, uint64_t* pnValue)
{
    if (pScan->nTokenLength == 0 || pScan->nTokenLength > kMaxNumberDigits)
        return false;
    uint64_t nValue = 0;
    for (int i = 0; i < pScan->nTokenLength; ++i) {
        const char c = pScan->szToken[i];
        if (c < '0' || c > '9')
            return false;
        nValue = nValue * 10 + uint64_t(c - '0');
    }
    *pnValue = nValue;
    return true;
}

// The header is complete: the pixel data follows, one sample a byte up to a maximum
// value of 255, two bytes above.
static void BeginBody(PageCounter* pCounter)
{
    const uint64_t nSampleBytes = pCounter->nValue[kPpmFieldMaxValue] > 255 ? 2 : 1;
    pCounter->nBodyLeft =
        pCounter->nValue[kPpmFieldWidth] * pCounter->nValue[kPpmFieldHeight] * 3 * nSampleBytes;
    pCounter->bInBody = true;
    StartPpmHeader(&pCounter->scan);
}

// Takes one header byte.
static void FollowHeaderByte(PageCounter* pCounter, uint8_t c)
{
    PpmHeaderScan* pScan = &pCounter->scan;
    const int nResult = ScanPpmHeaderByte(pScan, c);
    if (nResult == kPpmScanInvalid) {
        pCounter->bLost = true;
        return;
    }
    if (nResult != kPpmScanNumber && nResult != kPpmScanDone)
        return;
    if (!ReadHeaderNumber(pScan, &pCounter->nValue[pScan->nTokenField])) {
        pCounter->bLost = true;
        return;
    }
    if (nResult == kPpmScanDone)
        BeginBody(pCounter);
}

size_t FollowToPageEnd(PageCounter* pCounter, const uint8_t* pData, size_t nSize)
{
    size_t i = 0;
    while (!pCounter->bLost) {
        if (pCounter->bInBody) {
            const size_t nTake = size_t(std::min<uint64_t>(pCounter->nBodyLeft, nSize - i));
            i += nTake;
            pCounter->nBodyLeft -= nTake;
            if (pCounter->nBodyLeft > 0)
                break;
            pCounter->bInBody = false;
            ++pCounter->nPages;
            break;
        }
        if (i == nSize)
            break;
        FollowHeaderByte(pCounter, pData[i++]);
    }
    return pCounter->bLost ? nSize : i;
}

int CountPages(PageCounter* pCounter, const uint8_t* pData, size_t nSize)
{
    const int nBefore = pCounter->nPages;
    for (size_t i = 0; i < nSize && !pCounter->bLost;)
        i += FollowToPageEnd(pCounter, pData + i, nSize - i);
    return pCounter->nPages - nBefore;
}
