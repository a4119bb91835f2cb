// Faults around the filter, end to end through the built program: a standard output that
// is closed, a TMPDIR it may not write, a staged-file name taken by another user's file,
// input that stops in a page header, and PPM headers with absurd numbers.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "debugtool.h"
#include "filterjob.h"

using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;

bool CloseStandardOutput()
{
    return close(1) == 0;
}

bool BecomeNobody()
{
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

}  // namespace

class FaultTest : public FilterJobTest {
protected:
    std::string filterForOthers;   // a copy of the filter that another user can run

    // Lets another user read the fixture's files (the folder made by mkdtemp is 0700) and
    // run the filter: the build may lie in a folder closed to others (a clone made in a
    // mkdtemp folder), so the filter is copied into the fixture. False when a folder above
    // the fixture is closed to others: the test cannot run as another user here.
    bool OpenFixtureToOthers()
    {
        if (chmod(dir.Path().c_str(), 0755) != 0)
            return false;
        for (std::string folder = dir.Path(); folder.size() > 1;) {
            folder = folder.substr(0, std::max<size_t>(folder.rfind('/'), 1));
            struct stat st {};
            if (stat(folder.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH))
                return false;
        }
        filterForOthers = dir / "rastertovelnora";
        WriteBytes(filterForOthers, Bytes(ReadText(FilterPath())));
        return chmod(filterForOthers.c_str(), 0755) == 0;
    }

    static constexpr const char* kClosedFolders =
        "a folder above the fixture is closed to other users; set TMPDIR to one they can pass";
};

TEST_F(FaultTest, StandardOutputClosedAtStartIsAFailedJob)
{
    FilterProcess filter(Args(), Env(), CloseStandardOutput);
    filter.Write(Concat({PpmPage(Page(1)), PpmPage(Page(2))}));
    const FilterResult result = filter.Wait(30s);   // a hang guard only
    ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
    EXPECT_NE(0, result.nExitStatus);
    EXPECT_NE(std::string::npos, result.err.find("ERROR: ")) << result.err;
    ExpectNothingLeft(result.nPid);
}

TEST_F(FaultTest, UnwritableTmpdirPrintsEachPageOnce)
{
    // root writes into any folder: the filter then runs as nobody.
    const bool bAsRoot = geteuid() == 0;
    if (bAsRoot && !OpenFixtureToOthers())
        GTEST_SKIP() << kClosedFolders;
    const std::string readOnly = dir / "read-only";
    MakeDirs(readOnly);
    ASSERT_EQ(0, chmod(readOnly.c_str(), 0555));
    WriteRc("Copies=3\n");
    const RgbImage a = Page(1), b = Page(2);
    FilterProcess filter(bAsRoot ? filterForOthers : std::string(FilterPath()), Args(), Env({{"TMPDIR", readOnly}}),
                         bAsRoot ? BecomeNobody : nullptr);
    filter.Write(Concat({PpmPage(a), PpmPage(b)}));
    const FilterResult result = filter.Wait(30s);
    ExpectNothingLeft(result.nPid);
    EXPECT_EQ(std::vector<std::string>{}, ListDir(readOnly));
    ExpectEachPageOnceWithoutCopyFile(result, a, b);
}

TEST_F(FaultTest, AnotherUsersFileAtAStagedFileNameIsNeverWrittenAndTheJobPrints)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a file of another user";
    if (!OpenFixtureToOthers())
        GTEST_SKIP() << kClosedFolders;
    struct Case {
        const char* pszWhat;
        uid_t nPlantedBy;
        ChildStep pfnRunAs;
    };
    // A filter that may not remove the name (sticky /tmp) stages the page under a fresh
    // name beside it; the planted file is never written, never read into the job.
    const Case cases[] = {
        {"filter runs as root, file of nobody", kNobody, nullptr},
        {"filter runs as nobody, file of root", 0, BecomeNobody},
    };
    const RgbImage a = Page(1), b = Page(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        FilterProcess filter(filterForOthers, Args(), Env(), c.pfnRunAs);
        const std::string planted = "/tmp/ec_tmppage_" + std::to_string(filter.Pid()) + "_1";
        const int fd = open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        ASSERT_LE(0, fd);
        ASSERT_EQ(0, fchmod(fd, 0666));   // writable by anyone: only the filter's care keeps it whole
        ASSERT_EQ(ssize_t(7), write(fd, "theirs\n", 7));
        ASSERT_EQ(0, fchown(fd, c.nPlantedBy, c.nPlantedBy));
        filter.Write(Concat({PpmPage(a), PpmPage(b)}));
        const FilterResult result = filter.Wait(30s);
        struct stat st {};
        const bool bStillThere = lstat(planted.c_str(), &st) == 0;
        const bool bSameFile = [&] {
            struct stat mine {};
            return bStillThere && fstat(fd, &mine) == 0 && mine.st_ino == st.st_ino && mine.st_dev == st.st_dev;
        }();
        unlink(planted.c_str());
        char content[64] = {};
        const ssize_t nRead = pread(fd, content, sizeof content, 0);
        close(fd);
        EXPECT_EQ("theirs\n", std::string(content, size_t(std::max<ssize_t>(nRead, 0))));
        EXPECT_TRUE(!bStillThere || bSameFile) << "a file of the filter's was left at the name";
        ExpectNothingLeft(result.nPid);
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
        ExpectPages(ReadOutput(result), {&a, &b});
    }
}

TEST_F(FaultTest, InputEndingInALaterPageHeaderClosesTheJob)
{
    const RgbImage a = Page(1), b = Page(2);
    for (const char* pszCut : {"P", "P6\n8 ", "P6\n8 6\n25"}) {
        SCOPED_TRACE(pszCut);
        const FilterResult result = Run(Concat({PpmPage(a), PpmPage(b), Bytes(pszCut)}));
        ASSERT_TRUE(result.bExited);
        EXPECT_EQ(0, result.nExitStatus);
        EXPECT_EQ("Error: error occurred at print phase !!\nINFO: The printer is ready to print.\n", result.err);
        ExpectPages(ReadOutput(result), {&a, &b});
    }
}

TEST_F(FaultTest, HeaderNumbersNeverSizeThePage)
{
    // The page is the paper-information size, whatever the header says.
    const RgbImage a = Page(1);
    const std::vector<uint8_t>& pixels = a.pixels;
    struct Case {
        const char* pszWhat;
        std::string header;
    };
    const Case cases[] = {
        {"huge width and height", "P6\n99999999 99999999\n255\n"},
        {"numbers past long", "P6\n99999999999999999999999999 99999999999999999999999999\n255\n"},
        {"maximum past long", "P6\n8 6\n99999999999999999999999999\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const FilterResult result = Run(Concat({Bytes(c.header), pixels}));
        ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ("INFO: The printer is ready to print.\n", result.err);
        ExpectPages(ReadOutput(result), {&a});
    }
}

// /tmp fills up in the middle of a job. The filter runs in a mount namespace of its own
// whose /tmp is a 64 KiB tmpfs (the fixture's folder is bound back into it): the first
// page, white, is staged in a few bytes; the second, noise, does not fit. The job is
// closed for the printer with the first page, the message names the reason, and status 1
// asks the spooler to try again later.
TEST_F(FaultTest, FullTmpClosesTheJobAndFailsIt)
{
    const std::string kSmallTmp = "mount -t tmpfs -o size=64k,mode=1777 velnora-test /tmp";
    FilterProcess probe("/usr/bin/unshare", {"--mount", "--propagation", "private", "/bin/sh", "-c", kSmallTmp}, {},
                        false);
    const FilterResult probed = probe.Wait(30s);
    if (!probed.bExited || probed.nExitStatus != 0)
        GTEST_SKIP() << "no private mount namespace here (needs root and unshare): " << probed.err;

    WritePaperInfo("A4: 400 300\n");
    uint32_t nSeed = 7;
    const RgbImage white = SolidImage(400, 300, 255, 255, 255);
    const RgbImage noise = MakeImage(400, 300, [&nSeed](int, int, uint8_t* p) {
        for (int k = 0; k < 3; ++k) {
            nSeed = nSeed * 1664525u + 1013904223u;
            p[k] = uint8_t(nSeed >> 24);
        }
    });
    const std::string input = dir / "pages.ppm";
    WriteBytes(input, Concat({PpmPage(white), PpmPage(noise), PpmPage(white)}));
    // The script keeps a descriptor of the fixture's folder to bind it back once the
    // small /tmp covers it (when it lies under /tmp at all).
    const std::string script = "exec 9<\"$1\" && " + kSmallTmp +
                               " && mkdir -p \"$1\" && mount --no-canonicalize --bind /proc/self/fd/9 \"$1\" && shift && exec \"$@\"";
    std::vector<std::string> args = {"--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                                     dir.Path(), FilterPath()};
    for (const std::string& arg : Args())
        args.push_back(arg);
    args.push_back(input);
    FilterProcess filter("/usr/bin/unshare", args, Env(), false);
    const FilterResult result = filter.Wait(30s);   // a hang guard only
    ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
    EXPECT_EQ(1, result.nExitStatus);
    EXPECT_EQ("ERROR: Cannot stage a page in /tmp: No space left on device; the job was closed without it.\n",
              result.err);
    ExpectPages(ReadOutput(result), {&white});
    EXPECT_EQ(std::vector<std::string>{}, ListDir(tmpDir));
}
