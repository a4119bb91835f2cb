// Tests of the queue filter's page arrangement: which pages reach the filter, in which
// order and how often, for page ranges and copies, fed in blocks of every size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arrange.h"
#include "testfiles.h"

namespace {

constexpr int kWidth = 4, kHeight = 3;

// A page whose pixels all have the value nTag; 255 makes a blank page.
std::vector<uint8_t> Page(uint8_t nTag)
{
    return PpmPage(SolidImage(kWidth, kHeight, nTag, nTag, nTag));
}

// The tags of the pages in a stream of such pages; "?" for anything else.
std::string Tags(const std::vector<uint8_t>& stream)
{
    const std::vector<uint8_t> one = Page(0);
    const size_t nPage = one.size(), nHeader = nPage - kWidth * kHeight * 3;
    std::string tags;
    for (size_t i = 0; i < stream.size(); i += nPage) {
        if (stream.size() - i < nPage || !std::equal(one.begin(), one.begin() + long(nHeader), stream.begin() + long(i)))
            return tags + "?";
        const uint8_t nTag = stream[i + nHeader];
        tags += nTag == 255 ? 'w' : char(nTag);
    }
    return tags;
}

// Runs the arranger over the document (pages tagged by the letters of the text, 'w' for a
// white page) in blocks of nBlock bytes, one pass per collated copy: the tags sent.
std::string Arrange(const CopySettings& settings, const std::string& document, size_t nBlock, TempDir* pDir)
{
    std::vector<uint8_t> input;
    for (char c : document) {
        const std::vector<uint8_t> page = Page(c == 'w' ? 255 : uint8_t(c));
        input.insert(input.end(), page.begin(), page.end());
    }
    const ArrangePlan plan = PlanJob(settings);
    PageArranger arranger(plan, settings, *pDir / "held");
    std::vector<uint8_t> out;
    uint8_t buf[5];   // small, so every output path is taken in pieces
    const auto Drain = [&] {
        long n;
        while ((n = arranger.Produce(buf, sizeof buf)) > 0)
            out.insert(out.end(), buf, buf + n);
        EXPECT_EQ(0, n);
    };
    for (int nPass = 0; nPass < plan.nPasses; ++nPass) {
        for (size_t i = 0; i < input.size(); i += nBlock) {
            EXPECT_TRUE(arranger.Feed(input.data() + i, std::min(nBlock, input.size() - i)));
            Drain();
        }
        EXPECT_TRUE(arranger.EndPass(nPass + 1 == plan.nPasses));
        Drain();
    }
    return Tags(out);
}

}  // namespace

TEST(PageArrangement, RangesAndCopiesGiveThePagesInSheetOrder)
{
    struct Case {
        const char* pszWhat;
        int nCopies;
        bool bCollate, bDuplex, bSkipBlank;
        const char* pszRanges;
        const char* pszDocument;
        const char* pszSent;   // w: a white page
    };
    const Case cases[] = {
        {"one copy", 1, false, false, false, "", "abc", "abc"},
        {"simplex uncollated copies: the filter repeats", 3, false, false, false, "", "abc", "abc"},
        {"ranges", 1, false, false, false, "1-2,4", "abcde", "abd"},
        {"a range beyond the document", 1, false, false, false, "2-9", "abc", "bc"},
        {"an open range", 1, false, false, false, "3-", "abcde", "cde"},
        {"collated", 2, true, false, false, "", "abc", "abcabc"},
        {"collated ranges, each copy", 2, true, false, false, "2,3", "abcd", "bcbc"},
        {"collated duplex, even", 2, true, true, false, "", "ab", "abab"},
        {"collated duplex, odd: each copy on a new sheet", 3, true, true, false, "", "abc", "abcwabcwabc"},
        {"collated duplex, blank pages left out first", 2, true, true, true, "", "awbc", "abcwabc"},
        {"collated duplex, the white back side survives", 2, true, true, true, "", "aw", "awa"},
        {"uncollated duplex repeats sheets", 2, false, true, false, "", "abcd", "ababcdcd"},
        {"uncollated duplex, a last front alone", 3, false, true, false, "", "abc", "abababcwcwc"},
        {"uncollated duplex, blank pages left out", 2, false, true, true, "", "awbwc", "ababcwc"},
        {"uncollated duplex with ranges", 2, false, true, false, "2-3", "abcd", "bcbc"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        CopySettings settings;
        settings.nCopies = c.nCopies;
        settings.bCollate = c.bCollate;
        settings.bDuplex = c.bDuplex;
        settings.bSkipBlank = c.bSkipBlank;
        if (*c.pszRanges) {
            ASSERT_TRUE(ReadPageRanges(c.pszRanges, &settings.ranges)) << c.pszRanges;
        }
        for (size_t nBlock : {size_t(1), size_t(7), size_t(53), size_t(1) << 20}) {
            SCOPED_TRACE(std::string(c.pszWhat) + ", blocks of " + std::to_string(nBlock));
            EXPECT_EQ(c.pszSent, Arrange(settings, c.pszDocument, nBlock, &dir));
            RemoveTree(dir / "held");
        }
    }
}

TEST(PageArrangement, TheFilterGetsTheCopiesItNoLongerMakes)
{
    struct Case {
        const char* pszWhat;
        int nCopies;
        bool bCollate, bDuplex, bSkipBlank;
        std::vector<std::string> filterRc;
    };
    const Case cases[] = {
        {"simplex uncollated", 3, false, false, true, {}},
        {"collated", 3, true, false, true, {"Copies=1"}},
        {"collated duplex", 3, true, true, false, {"Copies=1"}},
        {"collated duplex, blank skipping", 3, true, true, true, {"Copies=1", "VNSkipBlank=OFF"}},
        {"uncollated duplex", 2, false, true, true, {"Copies=1", "VNSkipBlank=OFF"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        CopySettings settings;
        settings.nCopies = c.nCopies;
        settings.bCollate = c.bCollate;
        settings.bDuplex = c.bDuplex;
        settings.bSkipBlank = c.bSkipBlank;
        EXPECT_EQ(c.filterRc, PlanJob(settings).filterRcLines);
    }
}

TEST(PageArrangement, ReadsPageRanges)
{
    struct Case {
        const char* pszText;
        std::vector<std::pair<int, int>> ranges;   // empty: refused
    };
    const int kEnd = INT_MAX;
    const Case cases[] = {
        {"1-3,7", {{1, 3}, {7, 7}}},
        {" 2 , 5 - 6 ", {{2, 2}, {5, 6}}},
        {"4-", {{4, kEnd}}},
        {"", {}},
        {"0", {}},
        {"3-2", {}},
        {"1,,2", {}},
        {"-3", {}},
        {"a-b", {}},
        {"1-2-3", {}},
        {"1234567", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszText);
        std::vector<PageRange> ranges;
        const bool bRead = ReadPageRanges(c.pszText, &ranges);
        EXPECT_EQ(!c.ranges.empty(), bRead);
        if (!bRead)
            continue;
        std::vector<std::pair<int, int>> got;
        for (const PageRange& r : ranges)
            got.emplace_back(r.nFirst, r.nLast);
        EXPECT_EQ(c.ranges, got);
    }
}
