// pixels: the printer's view of a page's pixels, written out independently of the filter:
// the gray formula and the turned back side of a long-edge duplex sheet. Header only and
// free of the test framework, so every test program (the fuzz targets too) can share it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

// y = R x 0.3 + (B x 0.11 + G x 0.59): G x 0.59 rounded on its own, then two fused
// multiply-adds, truncated.
inline uint8_t GrayOfPixel(uint8_t r, uint8_t g, uint8_t b)
{
    volatile double t1 = double(g) * 0.59;   // rounded on its own, never fused
    const double t2 = std::fma(double(b), 0.11, t1);
    return static_cast<uint8_t>(static_cast<int>(std::fma(double(r), 0.3, t2)));
}

// The gray page of RGB pixels, one byte a pixel.
inline std::vector<uint8_t> GrayOfRgb(const std::vector<uint8_t>& rgb)
{
    std::vector<uint8_t> gray(rgb.size() / 3);
    for (size_t i = 0; i < gray.size(); ++i)
        gray[i] = GrayOfPixel(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    return gray;
}

// RGB pixels turned by 180 degrees (rows bottom-up, each row mirrored): how the back side
// of a long-edge duplex sheet is sent.
inline std::vector<uint8_t> TurnedRgb(const std::vector<uint8_t>& rgb)
{
    std::vector<uint8_t> turned(rgb.size());
    const size_t nPixels = rgb.size() / 3;
    for (size_t i = 0; i < nPixels; ++i)
        memcpy(&turned[3 * i], &rgb[3 * (nPixels - 1 - i)], 3);
    return turned;
}
