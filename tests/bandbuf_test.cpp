#include <gtest/gtest.h>

#include <algorithm>

#include "bandbuf.h"

TEST(BandBuffer, IsZeroFilledAndReleasedOnce)
{
    // The second and fourth rounds take the memory of the round before: still zero-filled.
    for (uint64_t nBytesPerLine : {uint64_t(30), uint64_t(30), uint64_t(3 * 4961), uint64_t(3 * 4961)}) {
        ASSERT_EQ(0, CreateBandBuf(nBytesPerLine, 200));
        ASSERT_NE(nullptr, Planes[0]);
        const size_t nBytes = size_t(nBytesPerLine) * 200;
        EXPECT_TRUE(std::all_of(Planes[0], Planes[0] + nBytes, [](uint8_t b) { return b == 0; }));
        Planes[0][nBytes - 1] = 1;   // the whole size is writable
        DestroyBandBuf();
        EXPECT_EQ(nullptr, Planes[0]);
        DestroyBandBuf();
    }
    EXPECT_EQ(nullptr, Planes[1]);
}

TEST(BandBuffer, RejectsAnEmptyRowButNotAnEmptyBand)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, CreateBandBuf(0, 10));
    EXPECT_EQ("Invalid Parameter(s).\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, Planes[0]);
    EXPECT_EQ(0, CreateBandBuf(24, 0));
    DestroyBandBuf();
}
