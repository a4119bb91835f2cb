// Tests of the gray conversion against the formula written out.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "graycvt.h"
#include "testfiles.h"

TEST(MakeGray, EveryLengthAndPixelMatchesTheFormula)
{
    // Lines of every length around the processor's vector width, with runs of white and
    // pixels that stress the rounding: grays near whole numbers and random colours.
    uint32_t nSeed = 7;
    for (int nPixels = 1; nPixels <= 40; ++nPixels) {
        std::vector<uint8_t> rgb(3 * size_t(nPixels));
        for (size_t i = 0; i < rgb.size(); ++i) {
            nSeed = nSeed * 1664525u + 1013904223u;
            const size_t nPixel = i / 3;
            rgb[i] = nPixel % 11 < 5 ? 0xFF : (nPixel % 2 ? uint8_t(nSeed >> 24) : uint8_t(nPixel * 7));
        }
        std::vector<uint8_t> gray(size_t(nPixels) + 1, 0xAA);
        makegray(gray.data(), rgb.data(), int16_t(nPixels));
        for (int i = 0; i < nPixels; ++i)
            ASSERT_EQ(GrayOfPixel(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]), gray[size_t(i)]) << nPixels << " " << i;
        EXPECT_EQ(0xAA, gray[size_t(nPixels)]) << "written past the line";
    }
}

TEST(MakeGray, GivesTheExactValuesOfTheFusedFormula)
{
    struct Case {
        uint8_t r, g, b, gray;
    };
    const Case cases[] = {
        {255, 255, 255, 255}, {0, 0, 0, 0},     {128, 128, 128, 128}, {10, 10, 10, 9},
        {254, 254, 254, 253}, {255, 0, 0, 76},  {0, 255, 0, 150},     {0, 0, 255, 28},
    };
    for (const Case& c : cases) {
        const uint8_t rgb[3] = {c.r, c.g, c.b};
        uint8_t gray = 0xAA;
        makegray(&gray, rgb, 1);
        EXPECT_EQ(c.gray, gray) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
    int nLow = 0;   // equal-channel grays that come out one step low
    for (int v = 0; v < 256; ++v) {
        const uint8_t rgb[3] = {uint8_t(v), uint8_t(v), uint8_t(v)};
        uint8_t gray = 0;
        makegray(&gray, rgb, 1);
        nLow += gray == v - 1;
    }
    EXPECT_EQ(50, nLow);
}

