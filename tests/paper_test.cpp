#include <gtest/gtest.h>

#include <vector>

#include "paper.h"
#include "paper_CL.h"

TEST(ReverseProcess, ReversesTheCountedBytes)
{
    struct Case {
        const char* pszWhat;
        uint16_t nCount1;
        int16_t nCount2;
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {"3 x 2", 3, 2, {6, 5, 4, 3, 2, 1, 7}},
        {"2 x 2 leaves the rest", 2, 2, {4, 3, 2, 1, 5, 6, 7}},
        {"product 0", 0, 5, {1, 2, 3, 4, 5, 6, 7}},
        {"negative product", 3, -2, {1, 2, 3, 4, 5, 6, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<uint8_t> buf = {1, 2, 3, 4, 5, 6, 7};
        ReverseProcess(buf.data(), c.nCount1, c.nCount2);
        EXPECT_EQ(c.expected, buf);
    }
}

TEST(PaperCodeLookup, AnswersFromPaperArrayOnly)
{
    EXPECT_EQ(256, checkSendCUPSPaper(100, 200));
    snprintf(paperArray[0].szName, sizeof paperArray[0].szName, "ISOB5");
    paperArray[0].nWidth = 100;
    paperArray[0].nHeight = 200;
    EXPECT_EQ(34, checkSendCUPSPaper(100, 200));   // the table's own code, not the PageSize one
    EXPECT_EQ(256, checkSendCUPSPaper(200, 100));
    paperArray[0] = PaperArrayEntry{};
}
