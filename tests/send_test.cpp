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
