// line_encoder: raster_write on arbitrary lines, gray (1 byte a pixel) and colour (3),
// checked against the decoder below: the repeat byte, the decoded pixels and the length
// bound. And makegray checked against the gray formula written out here. The input's
// first byte chooses gray or colour and the repeat count; the rest is the line.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lineencoder.h"
#include "graycvt.h"
#include "fuzz_support.h"
#include "pixels.h"

namespace {

// PackBits as the printer reads it: control 0..127, the next pixel c + 1 times;
// 129..255, 257 - c literal pixels; 128 never. False on a malformed encoding.
bool DecodeLine(const uint8_t* p, size_t n, int nPixelBytes, std::vector<uint8_t>* pOut)
{
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i++];
        if (c == 128)
            return false;
        const size_t nBytes = size_t(c < 128 ? 1 : 257 - c) * size_t(nPixelBytes);
        if (n - i < nBytes)
            return false;
        if (c < 128) {
            for (int k = 0; k <= c; ++k)
                pOut->insert(pOut->end(), p + i, p + i + nPixelBytes);
        } else {
            pOut->insert(pOut->end(), p + i, p + i + nBytes);
        }
        i += nBytes;
    }
    return true;
}

void CheckEncoder(uint8_t nControl, const uint8_t* pLine, size_t nLineBytes)
{
    const int nPixelBytes = (nControl & 1) ? 3 : 1;
    const size_t nPixels = nLineBytes / size_t(nPixelBytes);
    // Exactly the line, in its own allocation: a read past it is reported.
    std::vector<uint8_t> line(pLine, pLine + nPixels * size_t(nPixelBytes));
    LineEncoder enc{};
    enc.nLineLength = uint32_t(line.size());
    enc.nRepeatCount = 1 + (nControl >> 1);   // 1 to 128
    enc.nPixelBytes = nPixelBytes;
    const int64_t nEncoded = raster_write(&enc, line.data());
    FUZZ_CHECK(nEncoded >= 1 && enc.pOutBuf != nullptr);
    FUZZ_CHECK(uint64_t(nEncoded) <= enc.nOutBufSize);
    const size_t nBound = nPixelBytes == 3 ? 1 + (nPixels + 127) / 128 + 3 * nPixels
                                           : 1 + (4 * nPixels + 2) / 3;
    FUZZ_CHECK(size_t(nEncoded) <= nBound);
    FUZZ_CHECK(enc.pOutBuf[0] == uint8_t(enc.nRepeatCount - 1));
    std::vector<uint8_t> decoded;
    FUZZ_CHECK(DecodeLine(enc.pOutBuf + 1, size_t(nEncoded) - 1, nPixelBytes, &decoded));
    FUZZ_CHECK(decoded == line);

    // The same encoder again on the line reversed: the buffer is reused.
    std::vector<uint8_t> reversed(line.rbegin(), line.rend());
    const int64_t nAgain = raster_write(&enc, reversed.data());
    FUZZ_CHECK(nAgain >= 1 && size_t(nAgain) <= nBound);
    decoded.clear();
    FUZZ_CHECK(DecodeLine(enc.pOutBuf + 1, size_t(nAgain) - 1, nPixelBytes, &decoded));
    FUZZ_CHECK(decoded == reversed);
    free(enc.pOutBuf);
}

void CheckGray(const uint8_t* pRgb, size_t nBytes)
{
    const size_t nPixels = std::min<size_t>(nBytes / 3, INT16_MAX);
    std::vector<uint8_t> rgb(pRgb, pRgb + 3 * nPixels);
    std::vector<uint8_t> gray(nPixels);
    makegray(gray.data(), rgb.data(), int16_t(nPixels));
    for (size_t i = 0; i < nPixels; ++i)
        FUZZ_CHECK(gray[i] == GrayOfPixel(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return 0;
    CheckEncoder(pData[0], pData + 1, nSize - 1);
    CheckGray(pData + 1, nSize - 1);
    return 0;
}
