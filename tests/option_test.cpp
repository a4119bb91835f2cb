#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "option.h"
#include "settings_fixture.h"
#include "vnfiletool.h"
#include "vnresource.h"

namespace {

class OptionLookup : public settings_test::SettingsTest {};

TEST_F(OptionLookup, GivesTheCurrentWordOfTheLoadedFile)
{
    EXPECT_STREQ(GetOption("PageSize"), "A4");
    EXPECT_STREQ(GetOption("VNSkipBlank"), "OFF");
    ASSERT_EQ(LoadRcText("[P]\nPageSize=Letter\nVNSkipBlank=ON\n"), 0);
    EXPECT_STREQ(GetOption("PageSize"), "Letter");
    EXPECT_STREQ(GetOption("VNSkipBlank"), "ON");
}

TEST_F(OptionLookup, NoWordGivesNull)
{
    struct Case { const char* pszWhat; const char* pszKey; };
    const Case cases[] = {
        {"key of no row", "Paper"},
        {"key with other case", "collate"},
        {"number row", "Copies"},
        {"empty key", ""},
        {"no key", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        EXPECT_EQ(GetOption(c.pszKey), nullptr);
    }
    ASSERT_EQ(SetIndicatedCmdParam(kRowPageSize, "Letter", &g_rcInfo), -2);   // refused
    EXPECT_EQ(GetOption("PageSize"), nullptr);
}

// GetOption reads g_rcInfo, whatever other record a caller fills.
TEST_F(OptionLookup, ReadsTheProgramsRecord)
{
    ParamEntry rows[kParamCount];
    std::copy(std::begin(tblVnParams), std::end(tblVnParams), rows);
    RcInfo other = g_rcInfo;
    other.pParamTable = rows;
    ASSERT_EQ(SetSelectionParam(kRowPageSize, "Legal", &other, 0), 0);
    EXPECT_STREQ(GetKeyValue("PageSize", &other), "Legal");
    EXPECT_STREQ(GetOption("PageSize"), "A4");
}

}  // namespace
