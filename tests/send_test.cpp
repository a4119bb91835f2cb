#include <gtest/gtest.h>

#include "send.h"

TEST(MulDiv, ScalesIn64BitsAndTruncates)
{
    EXPECT_EQ(4958, MULDIV(600, 595, 72));
    EXPECT_EQ(0, MULDIV(600, 595, 0));
    EXPECT_EQ(-3, MULDIV(-7, 1, 2));
    EXPECT_EQ(2000000000, MULDIV(2000000000, 3, 3));
}

TEST(SendBuffers, FollowTheModelLanguage)
{
    struct Case {
        int nModel;
        int16_t nStatus;
        bool bRecords;
        const char* pszErr;
    };
    const Case cases[] = {
        {5, 0, true, ""},
        {10, 0, false, ""},
        {0, 1, false, "ERROR: Unknown printer model.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nModel);
        model_language = c.nModel;
        SendState st = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.nStatus, CreateSendBuf(&st));
        EXPECT_EQ(c.pszErr, testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.bRecords, st.pDevice != nullptr && st.pSurface != nullptr && st.pPrintInfo != nullptr);
        DestroySendBuf();
        DestroySendBuf();   // safe to call twice
    }
    model_language = 5;
}

TEST(SendBuffers, DeviceSetupConvertsPointsToDots)
{
    SendState st = {};
    ASSERT_EQ(0, CreateSendBuf(&st));
    st.pPrintInfo->nAreaLeftPt = 12;
    st.pPrintInfo->nPaperWidthPt = 595;
    st.nBandCount = 1;
    st.nBandLines = 7016;
    st.nLastBandLines = 7016;
    st.nBandWidth = 4961;
    setWinDevmode(&st);
    EXPECT_EQ(100, st.pDevice->nLeftMarginDots);
    EXPECT_EQ(4958, st.pDevice->nPaperWidthDots);
    uint8_t line[3] = {};
    st.pCurrentLine = line;
    EXPECT_EQ(line, setWinParam(&st));
    EXPECT_EQ(7016, st.pSurface->nLines);
    EXPECT_EQ(int64_t(4961) * 7016, st.pSurface->nPixels);
    EXPECT_EQ(5, st.pSurface->nFormat);
    DestroySendBuf();
}
