// lineencoder: the PWG raster line encoding of one page. Turns the page image in the band
// buffer into line records: rows in order (bottom-up with mirrored pixels on the back of
// a long-edge duplex sheet), converted to gray for a mono job, PackBits runs per line,
// and consecutive identical lines merged into one record with a repeat count. Owns the
// line buffers; the band-data operation calls it with the staged file as the sink.
#include "lineencoder.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "bandbuf.h"
#include "graycvt.h"

// The encoded line never exceeds twice the source line: one repeat byte, one control byte
// per run of at most 128 pixels, each pixel's bytes once. For the smallest lines, where
// the control bytes weigh most, the buffer's floor of 64 KiB holds them.
constexpr uint64_t kMinOutBuf = 65536;
static_assert(kMinOutBuf >= 1 + 1 + 3, "a one-pixel line fits the smallest buffer");

static void EnsureOutBuf(LineEncoder* pEnc, bool* pbFailed)
{
    const uint64_t nDouble = 2 * uint64_t(pEnc->nLineLength);
    const uint64_t nRequired = nDouble >= kMinOutBuf ? nDouble : kMinOutBuf;
    *pbFailed = false;
    if (pEnc->nOutBufSize >= nRequired)
        return;
    uint8_t* pNew = static_cast<uint8_t*>(realloc(pEnc->pOutBuf, nRequired));
    if (!pNew) {
        *pbFailed = true;
        return;
    }
    pEnc->pOutBuf = pNew;
    pEnc->nOutBufSize = nRequired;
}

template <int kPixelBytes>
static inline bool SamePixel(const uint8_t* a, const uint8_t* b)
{
    if constexpr (kPixelBytes == 1)
        return *a == *b;
    else
        return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// Bytes at the start of a and b that are equal, at most nMax; compared a word at a time.
static inline size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t nMax)
{
    static_assert(std::endian::native == std::endian::little, "the first differing byte is the lowest");
    size_t i = 0;
    for (; i + 8 <= nMax; i += 8) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y)
            return i + size_t(std::countr_zero(x ^ y) >> 3);
    }
    while (i < nMax && a[i] == b[i])
        ++i;
    return i;
}

// Pixels from p on that equal pixel p, at most 128: pixels p to p+k-1 are equal exactly
// when the bytes from p equal the bytes one pixel further on.
template <int kPixelBytes>
static inline size_t RepeatRunLength(const uint8_t* pLine, size_t p, size_t nPixels)
{
    const size_t nLimit = std::min<size_t>(128, nPixels - p);
    const uint8_t* pFrom = pLine + p * kPixelBytes;
    return CommonPrefix(pFrom, pFrom + kPixelBytes, (nLimit - 1) * kPixelBytes) / kPixelBytes + 1;
}

// First q in [nFrom, nEnd) whose pixel equals pixel q + 1 (which must exist), or nEnd.
template <int kPixelBytes>
static inline size_t FindEqualPair(const uint8_t* pLine, size_t nFrom, size_t nEnd)
{
    size_t q = nFrom;
    if constexpr (kPixelBytes == 1) {
        // Eight neighbours at a time: a zero byte of x ^ y marks an equal pair; the lowest
        // flagged byte is always a true one.
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
        for (; q + 8 <= nEnd; q += 8) {
            uint64_t x, y;
            memcpy(&x, pLine + q, 8);
            memcpy(&y, pLine + q + 1, 8);
            const uint64_t d = x ^ y;
            const uint64_t nZeroBytes = (d - kOnes) & ~d & kHighs;
            if (nZeroBytes)
                return q + size_t(std::countr_zero(nZeroBytes) >> 3);
        }
    }
    for (; q < nEnd; ++q)
        if (SamePixel<kPixelBytes>(pLine + q * kPixelBytes, pLine + (q + 1) * kPixelBytes))
            return q;
    return nEnd;
}

// PackBits over pixels of kPixelBytes bytes: a repeat run of 2 to 128 equal pixels is the
// control byte (length - 1) and the pixel once; a literal run of 1 to 128 pixels is the
// control byte (1 - length) and its pixels. 0x80 is never written.
template <int kPixelBytes>
static size_t EncodeRuns(const uint8_t* pLine, size_t nPixels, uint8_t* pOut)
{
    const auto Pixel = [pLine](size_t i) { return pLine + i * kPixelBytes; };
    uint8_t* pStart = pOut;
    size_t p = 0;
    while (p < nPixels) {
        if (p == nPixels - 1) {
            *pOut++ = 0;
            memcpy(pOut, Pixel(p), kPixelBytes);
            pOut += kPixelBytes;
            break;
        }
        size_t nRun = RepeatRunLength<kPixelBytes>(pLine, p, nPixels);
        if (nRun >= 2) {
            *pOut++ = uint8_t(nRun - 1);
            memcpy(pOut, Pixel(p), kPixelBytes);
            pOut += kPixelBytes;
            p += nRun;
            continue;
        }
        // A literal run takes pixels until one equals its neighbour (that one starts the
        // next repeat run), the line ends or the run holds 128.
        const size_t nSearchEnd = std::min(p + 128, nPixels - 1);
        const size_t nPair = FindEqualPair<kPixelBytes>(pLine, p + 1, nSearchEnd);
        nRun = (nPair < nSearchEnd ? nPair : std::min(p + 128, nPixels)) - p;
        *pOut++ = uint8_t(1 - int(nRun));
        memcpy(pOut, Pixel(p), nRun * kPixelBytes);
        pOut += nRun * kPixelBytes;
        p += nRun;
    }
    return size_t(pOut - pStart);
}

int64_t raster_write(LineEncoder* pEnc, const uint8_t* pLine)
{
    bool bFailed = false;
    EnsureOutBuf(pEnc, &bFailed);
    if (bFailed)
        return -1;
    uint8_t* pOut = pEnc->pOutBuf;
    pOut[0] = uint8_t(pEnc->nRepeatCount - 1);
    const size_t nPixels = pEnc->nPixelBytes > 0 ? pEnc->nLineLength / uint32_t(pEnc->nPixelBytes) : 0;
    const size_t nRuns = pEnc->nPixelBytes == 1 ? EncodeRuns<1>(pLine, nPixels, pOut + 1)
                                                : EncodeRuns<3>(pLine, nPixels, pOut + 1);
    return int64_t(1 + nRuns);
}

// Line buffers sized by the page width, so every width the paper file allows prints.
static uint8_t* graybuf = nullptr;    // one gray line
static uint8_t* tempbuf = nullptr;    // one RGB line with its pixels reversed
static uint8_t* pendbuf = nullptr;    // the pending encoded line
static size_t nLineBufPixels = 0;     // pixels the line buffers hold

void ReleaseLineBuffers()
{
    free(graybuf);
    free(tempbuf);
    free(pendbuf);
    graybuf = tempbuf = pendbuf = nullptr;
    nLineBufPixels = 0;
}

// Largest encoded line: the repeat byte, one control byte per 128 pixels, 3 bytes a pixel.
static size_t MaxEncodedLine(size_t nPixels)
{
    return 1 + (nPixels + 127) / 128 + 3 * nPixels;
}

static bool EnsureLineBuffers(size_t nPixels)
{
    if (nPixels <= nLineBufPixels && graybuf)
        return true;
    ReleaseLineBuffers();
    graybuf = static_cast<uint8_t*>(malloc(nPixels + 1));
    tempbuf = static_cast<uint8_t*>(malloc(3 * nPixels + 1));
    pendbuf = static_cast<uint8_t*>(malloc(MaxEncodedLine(nPixels)));
    if (!graybuf || !tempbuf || !pendbuf) {
        ReleaseLineBuffers();
        return false;
    }
    nLineBufPixels = nPixels;
    return true;
}

static void ReverseLinePixels(uint8_t* pDest, const uint8_t* pSrc, size_t nPixels)
{
    for (size_t k = 0; k < nPixels; ++k)
        memcpy(pDest + 3 * k, pSrc + 3 * (nPixels - 1 - k), 3);
}

// Consecutive identical lines become one record with a repeat count of up to 255.
struct LineMerger {
    uint8_t* pPending;       // pending record: repeat byte, then the encoded line
    size_t nPendingLength;   // 0 when no line is pending
    LineSink pfnWrite;       // where finished records go
};

static bool WritePending(LineMerger* pMerge)
{
    const bool bOk = pMerge->pfnWrite(pMerge->pPending, pMerge->nPendingLength);
    pMerge->nPendingLength = 0;
    return bOk;
}

// Adds an encoded line that repeats the pending one.
static bool RepeatPending(LineMerger* pMerge)
{
    if (pMerge->pPending[0] != 254) {
        ++pMerge->pPending[0];
        return true;
    }
    pMerge->pPending[0] = 255;
    return WritePending(pMerge);
}

static bool MergeLine(LineMerger* pMerge, const uint8_t* pEncoded, size_t nLength)
{
    if (pMerge->nPendingLength == nLength &&
        memcmp(pMerge->pPending + 1, pEncoded + 1, nLength - 1) == 0)
        return RepeatPending(pMerge);
    if (pMerge->nPendingLength != 0 && !WritePending(pMerge))
        return false;
    memcpy(pMerge->pPending, pEncoded, nLength);
    pMerge->nPendingLength = nLength;
    return true;
}

// Encodes every row of the page in the band buffer, bottom-up and mirrored for a back
// side, through the merger into pfnWrite: 0 done, 1 a buffer could not be had or a write
// failed.
static int16_t EncodeRows(const JobSettings* pJob, SendState* pState, bool bBackSide, LineSink pfnWrite)
{    const size_t nWidth = size_t(pJob->page.nPageWidth);
    const int nHeight = pJob->page.nPageHeight;
    const size_t nRowBytes = 3 * nWidth;
    const bool bGray = pJob->nColorMode == 0;
    LineEncoder enc = {};
    enc.nLineLength = uint32_t(nRowBytes);
    enc.nPixelBytes = 3;
    LineMerger merge = {pendbuf, 0, pfnWrite};
    const uint8_t* pPrevSource = nullptr;   // source row of the last encoded line
    int64_t nEncoded = 0;
    int16_t nStatus = 0;
    for (int y = 0; y < nHeight && nStatus == 0; ++y) {
        const uint8_t* pSource = Planes[0] + size_t(bBackSide ? nHeight - 1 - y : y) * nRowBytes;
        pState->pCurrentLine = const_cast<uint8_t*>(pSource);
        // A row equal to the previous one encodes the same: count it without encoding.
        if (pPrevSource && memcmp(pSource, pPrevSource, nRowBytes) == 0) {
            const bool bOk = merge.nPendingLength ? RepeatPending(&merge)
                                                  : MergeLine(&merge, enc.pOutBuf, size_t(nEncoded));
            nStatus = bOk ? 0 : 1;
            continue;
        }
        const uint8_t* pLine = pSource;
        if (bBackSide) {
            ReverseLinePixels(tempbuf, pSource, nWidth);
            pLine = tempbuf;
        }
        if (bGray) {
            makegray(graybuf, pLine, int16_t(nWidth));
            enc.nLineLength = uint32_t(nWidth);
            enc.nPixelBytes = 1;
            pLine = graybuf;
        }
        enc.nRepeatCount = 1;
        nEncoded = raster_write(&enc, pLine);
        if (nEncoded < 0 || !MergeLine(&merge, enc.pOutBuf, size_t(nEncoded)))
            nStatus = 1;
        pPrevSource = pSource;
    }
    if (nStatus == 0 && merge.nPendingLength != 0 && !WritePending(&merge))
        nStatus = 1;
    free(enc.pOutBuf);
    return nStatus;
}


int16_t EncodePage(const JobSettings* pJob, SendState* pState, bool bBackSide, LineSink pfnWrite)
{
    const size_t nWidth = size_t(pJob->page.nPageWidth);
    if (pJob->page.nPageHeight <= 0 || nWidth == 0)
        return 0;
    if (!Planes[0] || !EnsureLineBuffers(nWidth))
        return 1;
    return EncodeRows(pJob, pState, bBackSide, pfnWrite);
}
