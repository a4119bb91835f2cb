// settings_fixture: a test fixture for the settings library. g_rcInfo and tblVnParams
// are process-wide and writable; the fixture puts them back to their initial state
// before and after each test, and gives each test a private directory for its rc files.
// Header-only: include it from the tests that need it.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "vnfiletool.h"
#include "vnresource.h"

namespace settings_test {

// The settings as the process started with them.
struct SettingsSnapshot {
    ParamEntry rows[kParamCount];
    RcInfo rcInfo;
    char* constraints[kMaxConstraints];
};

inline SettingsSnapshot TakeSnapshot()
{
    SettingsSnapshot snap{};
    std::memcpy(snap.rows, tblVnParams, sizeof snap.rows);
    snap.rcInfo = g_rcInfo;
    std::memcpy(snap.constraints, tblConstraint, sizeof snap.constraints);
    return snap;
}

// Taken during static initialisation, before any test can change the table (the table
// itself is constant-initialised, so it is complete by then).
inline const SettingsSnapshot kInitialSettings = TakeSnapshot();

inline void RestoreInitialSettings()
{
    FreeConstraint(&g_rcInfo);   // strings a test appended
    std::memcpy(tblVnParams, kInitialSettings.rows, sizeof tblVnParams);
    g_rcInfo = kInitialSettings.rcInfo;
    std::memcpy(tblConstraint, kInitialSettings.constraints, sizeof tblConstraint);
}

// In a death test's child: an expected abort leaves no core file behind.
inline void DisableCoreDumps()
{
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RestoreInitialSettings();
        std::string templ = TempRoot() + "/vnsettings_XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr) << templ;
        m_dir = templ;
    }

    void TearDown() override
    {
        RestoreInitialSettings();
        if (!m_dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_dir, ec);
        }
    }

    // Writes an rc file into the test's directory, byte for byte; returns its path.
    std::string WriteRc(const std::string& text, const char* pszName = "test.rc")
    {
        std::string path = m_dir + "/" + pszName;
        FILE* fp = fopen(path.c_str(), "wb");
        EXPECT_NE(fp, nullptr) << path;
        if (fp) {
            EXPECT_EQ(fwrite(text.data(), 1, text.size(), fp), text.size());
            EXPECT_EQ(fclose(fp), 0);
        }
        return path;
    }

    // Loads text as the rc file into g_rcInfo; returns the loader's result.
    int LoadRcText(const std::string& text) { return LoadRcFile(WriteRc(text).c_str(), &g_rcInfo); }

    const std::string& Dir() const { return m_dir; }

private:
    static std::string TempRoot()
    {
        const char* pszTmp = getenv("TMPDIR");
        return pszTmp && *pszTmp ? pszTmp : "/tmp";
    }

    std::string m_dir;   // private directory of the test; removed in TearDown
};

}  // namespace settings_test
