#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pbmproc.h"

// Reads one header from the text; the result and the byte the stream then stands at.
static std::pair<int, int> ReadHeader(const std::string& text)
{
    FILE* fp = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (text.empty())
        fp = fopen("/dev/null", "rb");
    const int nResult = ReadPpmFileHeader(fp);
    const int nNext = fgetc(fp);
    fclose(fp);
    return {nResult, nNext};
}

TEST(PpmHeader, GrammarTable)
{
    struct Case {
        const char* pszWhat;
        std::string text;
        int nResult;
        int nNext;   // the byte after the header, EOF when none
    };
    const Case cases[] = {
        {"line feeds", "P6\n4961 7016\n255\nX", 0, 'X'},
        {"single spaces", "P6 4961 7016 255 X", 0, 'X'},
        {"comment after the magic", "P6\n# made by hand\n8 6\n255\nX", 0, 'X'},
        {"comment ended by a carriage return", "P6\n#c\r8 6 255\nX", 0, 'X'},
        {"# inside a token is part of it", "P6 8#1 6 255\tX", 0, 'X'},
        {"the one white space is the last header byte", "P6 8 6 255\n\nX", 0, '\n'},
        {"empty stream", "", 1, EOF},
        {"CR LF pairs", "P6\r\n8 6\r\n255\r\n", -1, '8'},
        {"leading line feed", "\nP6 8 6 255\n", -1, 'P'},
        {"P5", "P5 8 6 255\n", -1, '8'},
        {"p6 in lower case", "p6 8 6 255\n", -1, '8'},
        {"magic with more after it", "P66 8 6 255\n", -1, '8'},
        {"magic with a NUL byte after it", std::string("P6\0\2 8 6 255\n", 13), -1, '8'},
        {"end inside a header", "P6 8 6", -1, EOF},
        {"end inside a comment", "P6\n# no end", -1, EOF},
        {"end right after the magic", "P6", -1, EOF},
        {"token of 70 characters", "P6 " + std::string(70, '1') + " 6 255\n", 0, EOF},
        {"token of 71 characters", "P6 " + std::string(71, '1') + " 6 255\n", -1, ' '},
        {"numbers that are no numbers still pass", "P6 x y z\nX", 0, 'X'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const auto [nResult, nNext] = ReadHeader(c.text);
        EXPECT_EQ(c.nResult, nResult);
        EXPECT_EQ(c.nNext, nNext);
    }
}
