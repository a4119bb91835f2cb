#include <gtest/gtest.h>

#include <vector>

#include "bandbuf.h"
#include "settings_fixture.h"
#include "vnRasterConv.h"

TEST(IsAllWhite, OnlyEveryByte0xFFIsWhite)
{
    for (size_t nBytes : {size_t(0), size_t(1), size_t(3), size_t(4), size_t(63), size_t(4096), size_t(9001)}) {
        std::vector<uint8_t> page(nBytes, 0xFF);
        EXPECT_TRUE(IsAllWhite(page.data(), nBytes)) << nBytes;
        for (size_t at : {size_t(0), nBytes / 2, nBytes - 1}) {
            if (nBytes == 0)
                break;
            page[at] = 0xFE;
            EXPECT_FALSE(IsAllWhite(page.data(), nBytes)) << nBytes << " at " << at;
            page[at] = 0xFF;
        }
    }
}

class BlankTest : public settings_test::SettingsTest {};

TEST_F(BlankTest, FlagsAndCountsFollowTheTest)
{
    JobSettings js = {};
    js.page.nPageWidth = 3;
    js.page.nPageHeight = 2;
    js.nBytesPerLine = 9;
    js.nDuplex = 1;
    SendState st = {};
    st.nBlankPeriod = -1;
    ASSERT_EQ(0, CreateBandBuf(9, 2));
    std::fill(Planes[0], Planes[0] + 18, 0xFF);

    EXPECT_EQ(0, skipBlankPagePrint(&js, &st));   // "OFF": printed, not counted
    EXPECT_EQ(0, st.nBlankFlags);
    ASSERT_EQ(0, SetIndicatedCmdParam(kRowSkipBlank, "ON", &g_rcInfo));
    EXPECT_EQ(1, skipBlankPagePrint(&js, &st));
    EXPECT_EQ(kBlankPageFound, st.nBlankFlags);   // never kept while the period is -1
    EXPECT_EQ(nullptr, blankPagePtr);
    Planes[0][17] = 0;
    EXPECT_EQ(0, skipBlankPagePrint(&js, &st));
    EXPECT_EQ(0, st.nBlankFlags);
    EXPECT_EQ(1, st.nNonBlankCount);
    DestroyBandBuf();
}
