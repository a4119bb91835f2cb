// Tests of the line encoder: single lines through raster_write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "lineencoder.h"

// A test-local adapter: one line through raster_write with a repeat count of 1.
static std::vector<uint8_t> EncodeLine(const std::vector<uint8_t>& line, int nPixelBytes)
{
    LineEncoder enc = {};
    enc.nLineLength = uint32_t(line.size());
    enc.nPixelBytes = nPixelBytes;
    enc.nRepeatCount = 1;
    const int64_t n = raster_write(&enc, line.data());
    std::vector<uint8_t> out(enc.pOutBuf, enc.pOutBuf + (n > 0 ? n : 0));
    free(enc.pOutBuf);
    return out;
}

static std::vector<uint8_t> Repeat(size_t n, uint8_t value)
{
    return std::vector<uint8_t>(n, value);
}

TEST(RasterWrite, EncodesGrayRuns)
{
    std::vector<uint8_t> differing(130);
    for (size_t i = 0; i < differing.size(); ++i)
        differing[i] = uint8_t(i);
    std::vector<uint8_t> expectedDiffering(2 + 128 + 3);
    expectedDiffering[0] = 0x00;
    expectedDiffering[1] = 0x81;
    for (size_t i = 0; i < 128; ++i)
        expectedDiffering[2 + i] = differing[i];
    expectedDiffering[130] = 0xFF;
    expectedDiffering[131] = 128;
    expectedDiffering[132] = 129;
    struct Case {
        const char* pszWhat;
        std::vector<uint8_t> line, expected;
    };
    const Case cases[] = {
        {"single pixel", {7}, {0x00, 0x00, 7}},
        {"two equal pixels", {5, 5}, {0x00, 0x01, 5}},
        {"two different pixels", {1, 2}, {0x00, 0xFF, 1, 2}},
        {"A B C C C D", {1, 2, 3, 3, 3, 4}, {0x00, 0xFF, 1, 2, 0x02, 3, 0x00, 4}},
        {"200 equal pixels", Repeat(200, 9), {0x00, 127, 9, 71, 9}},
        {"130 differing pixels", differing, expectedDiffering},
        {"literal then run at the end", {1, 2, 2}, {0x00, 0x00, 1, 0x01, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        EXPECT_EQ(c.expected, EncodeLine(c.line, 1));
    }
}

TEST(RasterWrite, EncodesColourPixelsAsWholeTriples)
{
    // Equal bytes inside a pixel do not make a run; equal pixels do.
    const std::vector<uint8_t> line = {1, 1, 1, 1, 1, 1, 2, 3, 4};
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 1, 1, 1, 0x00, 2, 3, 4}), EncodeLine(line, 3));
}

TEST(RasterWrite, NeverWritesControlByte0x80)
{
    // Alternating singles and pairs, and runs of every length around 128.
    std::vector<uint8_t> line;
    for (int i = 0; i < 600; ++i) {
        line.push_back(uint8_t(i));
        if (i % 3 == 0)
            line.push_back(uint8_t(i));
    }
    for (int n = 126; n <= 131; ++n)
        line.insert(line.end(), size_t(n), uint8_t(n));
    const std::vector<uint8_t> encoded = EncodeLine(line, 1);
    // Walk the records and check every control byte.
    size_t nPixels = 0;
    for (size_t i = 1; i < encoded.size();) {
        const uint8_t control = encoded[i++];
        ASSERT_NE(0x80, control);
        const size_t n = control < 0x80 ? 1 : size_t(257 - control);
        nPixels += control < 0x80 ? size_t(control) + 1 : n;
        i += n;
    }
    EXPECT_EQ(line.size(), nPixels);
}

