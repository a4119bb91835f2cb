#include <gtest/gtest.h>

#include "vnerror.h"

TEST(VnError, PrintsTheMessageOfItsCodeAndReturnsTheCode)
{
    struct Case {
        uint32_t nCode;
        const char* pszText;
        const char* pszExpected;
    };
    const Case cases[] = {
        {1, "a.rc", "Error: a.rc :cannot open file !!\n"},
        {1, nullptr, "Error: cannot open file !!\n"},
        {2, nullptr, "Error: invalid option !!\n"},
        {2, "x.ppm", "Error: x.ppm :invalid option !!\n"},
        {3, "ignored", "Error: exception handling !!\n"},
        {4, nullptr, "Error: section not found !!\n"},
        {5, "ignored", "Error: invalid printer name at rc-file !!\n"},
        {6, "A4", "Error: A4 :invalid format found in paperinf !!\n"},
        {7, "A4", "Error: A4: paper info not found in paperinf !!\n"},
        {8, "M", "Error: M: this model is not supported !!\n"},
        {9, nullptr, "Error: memory allocation failed !!\n"},
        {10, nullptr, "Error: error occurred at print phase !!\n"},
        {11, "Media", "Error: Media :prohibited item is selected !!\n"},
        {11, nullptr, "Error: prohibited item is selected !!\n"},
        {12, "Copies", "Error: Copies :out of setting range !!\n"},
        {12, nullptr, "Error: out of setting range !!\n"},
        {0, "x", ""},
        {13, nullptr, ""},
        {14, "A4", ""},
        {7, nullptr, "Error: : paper info not found in paperinf !!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nCode);
        testing::internal::CaptureStderr();
        EXPECT_EQ(int32_t(c.nCode), VnError(c.nCode, c.pszText));
        EXPECT_EQ(c.pszExpected, testing::internal::GetCapturedStderr());
    }
}
