// pagecounter_test: the page counter on streams of PPM pages handed over in blocks of
// every size, as the queue filter hands it Ghostscript's output.
#include <gtest/gtest.h>

#include <string>

#include "pagecounter.h"

namespace {

std::string Page(const std::string& header, size_t nBodyBytes)
{
    return header + std::string(nBodyBytes, '\xA5');
}

}  // namespace

TEST(PageCounter, CountsWholePagesInBlocksOfAnySize)
{
    struct Case {
        const char* pszWhat;
        std::string stream;
        int nPages;
        bool bLost;
    };
    const std::string page = Page("P6\n2 1\n255\n", 6);
    const Case cases[] = {
        {"no bytes", "", 0, false},
        {"two pages", page + page, 2, false},
        {"a comment in the header", Page("P6\n# from Ghostscript\n2 1\n255\n", 6) + page, 2, false},
        {"two bytes a sample above 255", Page("P6 2 1 65535\n", 12), 1, false},
        {"a page cut short", page + page.substr(0, page.size() - 1), 1, false},
        {"a header cut short", page + "P6\n2 1", 1, false},
        {"an empty page counts at once", "P6 0 7 255\n", 1, false},
        {"nine digits", Page("P6 999999999 999999999 65535\n", 3), 0, false},
        // Ten digits could wrap the body size round to nothing.
        {"ten digits", Page("P6 4294967296 4294967296 255\n", 0) + page, 0, true},
        {"P5", Page("P5 2 1 255\n", 2), 0, true},
        {"CR LF pairs, which the filter refuses", Page("P6\r\n2 1\r\n255\r\n", 6), 0, true},
        {"a line feed after the pixels, which the filter refuses", page + "\n" + page, 1, true},
        {"a number that is no number", Page("P6 2#1 1 255\n", 6), 0, true},
        {"a NUL byte in a number", Page(std::string("P6 2\0 1 255\n", 12), 6), 0, true},
        {"a token of 71 characters", "P6 " + std::string(71, '1') + " 1 255\n", 0, true},
    };
    for (const Case& c : cases) {
        for (size_t nBlock : {size_t(1), size_t(2), size_t(5), size_t(7), c.stream.size() + 1}) {
            SCOPED_TRACE(std::string(c.pszWhat) + ", blocks of " + std::to_string(nBlock));
            PageCounter counter;
            int nCounted = 0;
            const uint8_t* pData = reinterpret_cast<const uint8_t*>(c.stream.data());
            for (size_t i = 0; i < c.stream.size(); i += nBlock)
                nCounted += CountPages(&counter, pData + i, std::min(nBlock, c.stream.size() - i));
            EXPECT_EQ(c.nPages, counter.nPages);
            EXPECT_EQ(c.nPages, nCounted);
            EXPECT_EQ(c.bLost, counter.bLost);
        }
    }
}
