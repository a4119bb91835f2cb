// pwgheader: the layout of the PWG raster document, shared by the filter that writes it
// and the job reader that checks it. All numbers in a page header are big-endian 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pwg {

constexpr char kSyncWord[] = "RaS2";   // the document's first four bytes
constexpr size_t kSyncWordBytes = 4;
constexpr size_t kHeaderBytes = 1796;  // one page header
constexpr size_t kStringBytes = 64;    // a text field, NUL-padded

// Offsets of the fields the filter writes; every other byte of a header is zero.
constexpr size_t kRasterName = 0;      // "PwgRaster"
constexpr size_t kMediaType = 128;     // text
constexpr size_t kHWResX = 276, kHWResY = 280;            // dots per inch
constexpr size_t kPageSizeX = 352, kPageSizeY = 356;      // sheet size in points
constexpr size_t kWidth = 372, kHeight = 376;             // pixels
constexpr size_t kBitsPerColor = 384, kBitsPerPixel = 388, kBytesPerLine = 392;
constexpr size_t kColorSpace = 400, kNumColors = 420;

constexpr uint32_t kColorSpaceSGray = 18;
constexpr uint32_t kColorSpaceSRGB = 19;

// The header is four 64-byte strings, then fields of four bytes: MediaType is the third
// string, HWResolution follows the strings and three more fields, and each pair (X, Y)
// and each run of neighbouring fields stands word after word.
static_assert(sizeof kSyncWord - 1 == kSyncWordBytes);
static_assert(kMediaType == 2 * kStringBytes);
static_assert(kHWResX == 4 * kStringBytes + 5 * 4);
static_assert(kHWResY == kHWResX + 4 && kPageSizeY == kPageSizeX + 4 && kHeight == kWidth + 4);
static_assert(kBitsPerPixel == kBitsPerColor + 4 && kBytesPerLine == kBitsPerPixel + 4);
static_assert(kColorSpace == kBytesPerLine + 8 && kNumColors == kColorSpace + 20);
static_assert(kNumColors + 4 <= kHeaderBytes && kNumColors % 4 == 0);

inline void PutBE32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t GetBE32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace pwg
