// filterjob: the fixture of the end-to-end tests. Each test owns a private folder with the
// model's tables (VELNORA_ROOT), a paper-information file with small pages, an rc file and
// the filter's TMPDIR, all removed afterwards; every run is checked to leave no staged page
// file in /tmp and no copy file in TMPDIR.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "debugtool.h"
#include "filterrun.h"
#include "pagecheck.h"
#include "testfiles.h"
#include "vnjobreader.h"

class FilterJobTest : public ::testing::Test {
protected:
    static constexpr const char* kPrinter = "TestModel";
    static constexpr int kPageWidth = 8;    // the A4 page of these tests, in pixels
    static constexpr int kPageHeight = 6;

    TempDir dir;
    std::string rcPath = dir / "job.rc";
    std::string paperInfPath = dir / "paperinfo";
    std::string modelRoot = dir / "model";
    std::string tmpDir = dir / "tmp";

    // The filter traces failed writes in its shared debug log in /tmp; a log that a test's
    // filter made goes again with the test.
    bool bDebugLogExisted = access(kDebugLogPath, F_OK) == 0;

    ~FilterJobTest() override
    {
        if (!bDebugLogExisted)
            unlink(kDebugLogPath);
    }

    void SetUp() override
    {
        MakeDirs(tmpDir);
        WriteModelTables(modelRoot, kPrinter, "A4:\t12\t18\t12\t18\nLetter:\t12\t12\t12\t12\n",
                         "A4: 595 842\nLetter: 612 792\n");
        WritePaperInfo("A4: " + std::to_string(kPageWidth) + " " + std::to_string(kPageHeight) +
                       "\nLetter: 5 3\n");
        WriteRc("");
    }

    void WriteRc(const std::string& keyLines) { WriteFile(rcPath, std::string("[") + kPrinter + "]\n" + keyLines); }
    void WritePaperInfo(const std::string& records) { WriteFile(paperInfPath, "TestPaperInfo 600 600 dpi\n" + records); }

    std::vector<std::string> Args() const { return {"-pi", paperInfPath, "-rc", rcPath}; }

    EnvList Env(const EnvList& extra = {}) const
    {
        EnvList env = {{"VELNORA_ROOT", modelRoot}, {"TMPDIR", tmpDir}};
        for (const auto& [name, value] : extra) {
            auto it = std::find_if(env.begin(), env.end(), [&](const auto& e) { return e.first == name; });
            if (it != env.end())
                it->second = value;
            else
                env.emplace_back(name, value);
        }
        return env;
    }

    // Runs the filter on the input and checks that it left no file behind.
    FilterResult Run(const std::vector<uint8_t>& input, const EnvList& extraEnv = {})
    {
        return RunWithArgs(Args(), input, extraEnv);
    }

    FilterResult RunWithArgs(const std::vector<std::string>& args, const std::vector<uint8_t>& input,
                             const EnvList& extraEnv = {})
    {
        FilterResult result = RunFilter(args, Env(extraEnv), input);
        ExpectNothingLeft(result.nPid);
        return result;
    }

    void ExpectNothingLeft(int nPid)
    {
        EXPECT_EQ(std::vector<std::string>{}, StagedFilesOf(nPid)) << "staged page files left in /tmp";
        EXPECT_EQ(std::vector<std::string>{}, ListDir(tmpDir)) << "files left in TMPDIR";
    }

    // The job the filter wrote, read strictly; fails the test when it is malformed.
    static VnJob ReadOutput(const FilterResult& result)
    {
        VnJob job;
        JobReadError err;
        EXPECT_TRUE(ReadJob(result.out.data(), result.out.size(), &job, &err)) << DescribeError(err);
        return job;
    }

    // A job of pages a and b with uncollated copies whose copy file could not be made:
    // each page is printed once, after one message for each.
    static void ExpectEachPageOnceWithoutCopyFile(const FilterResult& result, const RgbImage& a, const RgbImage& b)
    {
        ASSERT_EQ(0, result.nExitStatus) << result.err;
        EXPECT_EQ("ERROR: Unable to create a temporay file\nERROR: Unable to create a temporay file\n"
                  "INFO: The printer is ready to print.\n",
                  result.err);
        ExpectPages(ReadOutput(result), {&a, &b});
    }

    RgbImage Page(uint8_t nSeed) const
    {
        return MakeImage(kPageWidth, kPageHeight, [nSeed](int x, int y, uint8_t* p) {
            p[0] = uint8_t(nSeed + x * 31 + y);
            p[1] = uint8_t(nSeed * 7 + y * 17);
            p[2] = uint8_t(x == y ? 0 : nSeed + 100);
        });
    }
};

inline std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}
