#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "tempfile.h"
#include "testfiles.h"

class TempFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string savedTmpdir;
    bool bHadTmpdir = false;
    void SetUp() override
    {
        const char* p = getenv("TMPDIR");
        bHadTmpdir = p != nullptr;
        savedTmpdir = p ? p : "";
    }
    void TearDown() override
    {
        if (bHadTmpdir)
            setenv("TMPDIR", savedTmpdir.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
};

TEST_F(TempFileTest, CreatesAPrivateEmptyFileNamedFromTheTime)
{
    setenv("TMPDIR", dir.Path().c_str(), 1);
    char szName[1024];
    const int fd = myTempFd(szName, sizeof szName);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(std::regex_match(std::string(szName), std::regex(dir.Path() + "/[0-9a-f]{8}[0-9a-f]{5}")))
        << szName;
    struct stat st;
    ASSERT_EQ(0, stat(szName, &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(0, st.st_size);
    // A second file in the same microsecond takes a fresh name.
    char szOther[1024];
    const int fdOther = myTempFd(szOther, sizeof szOther);
    ASSERT_GE(fdOther, 0);
    close(fdOther);
    EXPECT_STRNE(szName, szOther);
}

TEST_F(TempFileTest, UnsetOrEmptyTmpdirMeansTmp)
{
    for (const char* pszValue : {static_cast<const char*>(nullptr), ""}) {
        if (pszValue)
            setenv("TMPDIR", pszValue, 1);
        else
            unsetenv("TMPDIR");
        const char* pszPath = myTempFile(nullptr, 0);
        ASSERT_NE(nullptr, pszPath);
        EXPECT_EQ(0, std::string(pszPath).rfind("/tmp/", 0)) << pszPath;
        EXPECT_EQ(0, unlink(pszPath));
    }
}

TEST_F(TempFileTest, FailsRatherThanCutTheName)
{
    setenv("TMPDIR", dir.Path().c_str(), 1);
    char szSmall[8];
    EXPECT_EQ(-1, myTempFd(szSmall, sizeof szSmall));
    setenv("TMPDIR", (dir / "missing").c_str(), 1);
    char szName[1024];
    EXPECT_EQ(-1, myTempFd(szName, sizeof szName));
    EXPECT_TRUE(ListDir(dir.Path()).empty());
}
