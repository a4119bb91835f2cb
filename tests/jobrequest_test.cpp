// jobrequest_test: the job request as the LPRng front end fills it and the job options
// change it, checked through the request, the messages on standard error and the status;
// and the job's rc file as rastertovelnora will read it. No child is started.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "jobrequest.h"
#include "testfiles.h"

namespace {

// Runs the step with standard error going into a pipe; returns what it wrote there.
template <typename Step>
std::string CaptureStderr(Step step)
{
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    fflush(stderr);
    const int fdSaved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    step();   // messages are a few lines: they fit in the pipe
    dup2(fdSaved, STDERR_FILENO);
    close(fdSaved);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(fds[0]);
    return text;
}

struct Outcome {
    int nStatus = 0;
    std::string err;
};

// The LPRng front end on the arguments after the program's name.
Outcome ReadCommandLine(std::vector<std::string> args, JobRequest* pReq)
{
    std::vector<char*> argv = {const_cast<char*>("velnora-filter")};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    Outcome outcome;
    outcome.err = CaptureStderr([&] { outcome.nStatus = ReadLprngCommandLine(int(argv.size()) - 1, argv.data(), pReq); });
    return outcome;
}

Outcome ApplyOptions(const std::string& list, JobRequest* pReq)
{
    Outcome outcome;
    outcome.err = CaptureStderr([&] { outcome.nStatus = ApplyJobOptions(list, pReq); });
    return outcome;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(JobOptions, EachOptionBecomesAnRcLine)
{
    struct Case {
        std::string options;
        Lines rcLines;
        std::string pin;
    };
    const Case cases[] = {
        {"copies=2", {"Copies=2"}, ""},
        {"copies=0007", {"Copies=7"}, ""},
        {"copies=999", {"Copies=999"}, ""},
        {"collate=on", {"Collate=ON"}, ""},
        {"collate=off", {"Collate=OFF"}, ""},
        {"duplex=none", {"VNDuplex=None"}, ""},
        {"duplex=long", {"VNDuplex=DuplexNoTumble"}, ""},
        {"duplex=short", {"VNDuplex=DuplexTumble"}, ""},
        {"color=color", {"VNMonoColor=FullColor"}, ""},
        {"color=mono", {"VNMonoColor=Mono"}, ""},
        {"color=auto", {"VNMonoColor=Auto"}, ""},
        {"media=letter", {"PageSize=Letter"}, ""},
        {"mediatype=thick", {"MediaType=Thick"}, ""},
        {"tray=Tray2", {"InputSlot=Tray2"}, ""},
        {"tray=manual", {"InputSlot=Manual"}, ""},
        {"quality=normal", {"VNResolution=Normal"}, ""},
        {"quality=fine", {"VNResolution=Fine"}, ""},
        {"tonersave=on", {"TonerSaveMode=ON"}, ""},
        {"skipblank=off", {"VNSkipBlank=OFF"}, ""},
        {"pin=0042", {}, "0042"},
        {" Duplex = LONG , MEDIATYPE=thick", {"VNDuplex=DuplexNoTumble", "MediaType=Thick"}, ""},
        {"color=mono,color=color", {"VNMonoColor=Mono", "VNMonoColor=FullColor"}, ""},
        {",, copies=2 ,,", {"Copies=2"}, ""},
        {"", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        JobRequest req;
        const Outcome outcome = ApplyOptions(c.options, &req);
        EXPECT_EQ(0, outcome.nStatus);
        EXPECT_EQ("", outcome.err);
        EXPECT_EQ(c.rcLines, req.rcLines);
        EXPECT_EQ(c.pin, req.szPin);
    }
}

TEST(JobOptions, RefusesWhatItCannotApply)
{
    struct Case {
        std::string options;
        std::string message;
    };
    const std::string kPin = "ERROR: The PIN of a secure job must be exactly four digits (pin=NNNN)\n";
    const std::string kCopies = " for copies; valid values: 1 to 999\n";
    const Case cases[] = {
        {"pin=123", kPin},
        {"pin=98765", kPin},
        {"pin=12a4", kPin},
        {"pin=", kPin},
        {"pin", kPin},
        {"copies=0", "ERROR: Invalid value \"0\"" + kCopies},
        {"copies=1000", "ERROR: Invalid value \"1000\"" + kCopies},
        {"copies=00002", "ERROR: Invalid value \"00002\"" + kCopies},
        {"copies=-2", "ERROR: Invalid value \"-2\"" + kCopies},
        {"copies=2x", "ERROR: Invalid value \"2x\"" + kCopies},
        {"duplex=sideways", "ERROR: Invalid value \"sideways\" for duplex; valid values: none, long, short\n"},
        {"duplex=DuplexTumble", "ERROR: Invalid value \"DuplexTumble\" for duplex; valid values: none, long, short\n"},
        {"color", "ERROR: Invalid value \"\" for color; valid values: color, mono, auto\n"},
        {"collate=yes", "ERROR: Invalid value \"yes\" for collate; valid values: on, off\n"},
        {"quality=draft", "ERROR: Invalid value \"draft\" for quality; valid values: normal, fine\n"},
        {"tray=Tray9", "ERROR: Invalid value \"Tray9\" for tray; valid values: AutoSelect, Tray1, Tray2, Tray3, "
                       "Tray4, Tray5, MPTray, Manual\n"},
        {"mediatype=Paper\nERROR: x", "ERROR: Invalid value \"Paper\\x0AERROR: x\" for mediatype; valid values: "
                                      "Plain, Thin, Thick, Thicker, BOND, Recycled, Env, EnvThin, EnvThick, "
                                      "PostCard, Label, Glossy\n"},
        {"copies=2,frobnicate=1", "ERROR: Unknown job option \"frobnicate\"; valid options: pin, copies, pages, collate, "
                                  "duplex, color, media, mediatype, tray, quality, tonersave, skipblank\n"},
        {"=2", "ERROR: Unknown job option \"\"; valid options: pin, copies, pages, collate, duplex, color, media, "
               "mediatype, tray, quality, tonersave, skipblank\n"},
        {"duplex=sideways,pin=1", "ERROR: Invalid value \"sideways\" for duplex; valid values: none, long, short\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        JobRequest req;
        const Outcome outcome = ApplyOptions(c.options, &req);
        EXPECT_EQ(2, outcome.nStatus);
        EXPECT_EQ(c.message, outcome.err);
        EXPECT_EQ("", req.szPin);
    }
}

TEST(LprngCommandLine, FillsTheRequest)
{
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;   // after --rc q.rc --pi p.inf
        std::string owner;
        std::string title;
        std::string input;
        Lines rcLines;
    };
    const Case cases[] = {
        {"LPRng's usual arguments", {"-nalice", "-Jtitle", "-Pqueue", "-c", "-hhost", "-Zcopies=2"},
         "alice", "title", "", {"Copies=2"}},
        {"values in the next argument", {"-n", "bob", "-J", "two words", "-Z", "duplex=long"},
         "bob", "two words", "", {"VNDuplex=DuplexNoTumble"}},
        {"file name when no title", {"-Nreport.pdf"}, "", "report.pdf", "", {}},
        {"title before file name", {"-Nfile.pdf", "-Jthe title"}, "", "the title", "", {}},
        {"an unknown letter takes no value", {"-T", "doc.pdf"}, "", "", "doc.pdf", {}},
        {"the accounting file is not the document", {"-a", "acct", "doc.pdf", "acct"}, "", "", "doc.pdf", {}},
        {"- is standard input", {"-"}, "", "", "", {}},
        {"-- ends the options", {"--", "-odd.pdf"}, "", "", "-odd.pdf", {}},
        {"several -Z are joined", {"-Zcopies=2", "-Z", "skipblank=on", "-Zcolor=mono,copies=3"}, "", "", "",
         {"Copies=2", "VNSkipBlank=ON", "VNMonoColor=Mono", "Copies=3"}},
        {"-Z without a value at the end", {"-Z"}, "", "", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        std::vector<std::string> args = {"--rc", "q.rc", "--pi", "p.inf"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        JobRequest req;
        const Outcome outcome = ReadCommandLine(args, &req);
        EXPECT_EQ(0, outcome.nStatus);
        EXPECT_EQ("", outcome.err);
        EXPECT_EQ("q.rc", req.szRcFile);
        EXPECT_EQ("p.inf", req.szPaperInf);
        EXPECT_EQ("", req.szModelRoot);
        EXPECT_EQ(c.owner, req.szOwner);
        EXPECT_EQ(c.title, req.szTitle);
        EXPECT_EQ(c.input, req.szInput);
        EXPECT_EQ(c.rcLines, req.rcLines);
    }

    JobRequest req;
    EXPECT_EQ(0, ReadCommandLine({"--rc=a=b.rc", "--model-root=/m", "--pi=p", "x.ps"}, &req).nStatus);
    EXPECT_EQ("a=b.rc", req.szRcFile);
    EXPECT_EQ("p", req.szPaperInf);
    EXPECT_EQ("/m", req.szModelRoot);
    EXPECT_EQ("x.ps", req.szInput);
    EXPECT_EQ(4096u, req.nGsMemoryMiB);
    EXPECT_EQ(600, req.nGsPageSeconds);
}

TEST(LprngCommandLine, TakesGhostscriptsBounds)
{
    struct Case {
        std::vector<std::string> args;
        uint64_t nMemoryMiB;
        int nPageSeconds;
    };
    const Case cases[] = {
        {{"--gs-memory", "512", "--gs-page-timeout", "30"}, 512, 30},
        {{"--gs-memory=0", "--gs-page-timeout=0"}, 0, 0},
        {{"--gs-page-timeout=007"}, 4096, 7},
        {{"--gs-memory=999999999"}, 999999999, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {"--rc", "q.rc", "--pi", "p.inf"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        JobRequest req;
        const Outcome outcome = ReadCommandLine(args, &req);
        EXPECT_EQ(0, outcome.nStatus);
        EXPECT_EQ("", outcome.err);
        EXPECT_EQ(c.nMemoryMiB, req.nGsMemoryMiB);
        EXPECT_EQ(c.nPageSeconds, req.nGsPageSeconds);
    }
}

TEST(LprngCommandLine, RefusesABadCommandLine)
{
    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"no rc file", {"--pi", "p"}, "ERROR: Both --rc RCFILE and --pi PAPERINFO must be given\n"},
        {"no paper file", {"--rc", "r"}, "ERROR: Both --rc RCFILE and --pi PAPERINFO must be given\n"},
        {"no value", {"--rc", "r", "--pi"}, "ERROR: The option --pi needs a value\n"},
        {"unknown long option", {"--rc=r", "--pi=p", "--colour"},
         "ERROR: Unknown option --colour (known: --rc, --pi, --model-root, --gs-memory, --gs-page-timeout)\n"},
        {"a prefix of a long option", {"--rc=r", "--pi=p", "--rcfile=x"},
         "ERROR: Unknown option --rcfile=x (known: --rc, --pi, --model-root, --gs-memory, --gs-page-timeout)\n"},
        {"two documents", {"--rc", "r", "--pi", "p", "a.pdf", "b.pdf"}, "ERROR: More than one document named: b.pdf\n"},
        {"the command line before the options", {"--rc", "r", "--pi", "p", "a", "b", "-Zcopies=0"},
         "ERROR: More than one document named: b\n"},
        {"a refused option", {"--rc", "r", "--pi", "p", "-Zcopies=0"},
         "ERROR: Invalid value \"0\" for copies; valid values: 1 to 999\n"},
        {"memory with a unit", {"--rc", "r", "--pi", "p", "--gs-memory=4G"},
         "ERROR: Invalid value \"4G\" for --gs-memory; valid values: 0 (no limit) to 999999999 MiB\n"},
        {"memory beyond the range", {"--rc", "r", "--pi", "p", "--gs-memory", "1000000000"},
         "ERROR: Invalid value \"1000000000\" for --gs-memory; valid values: 0 (no limit) to 999999999 MiB\n"},
        {"negative time", {"--rc", "r", "--pi", "p", "--gs-page-timeout=-1"},
         "ERROR: Invalid value \"-1\" for --gs-page-timeout; valid values: 0 (no limit) to 999999999 seconds\n"},
        {"empty time", {"--rc", "r", "--pi", "p", "--gs-page-timeout="},
         "ERROR: Invalid value \"\" for --gs-page-timeout; valid values: 0 (no limit) to 999999999 seconds\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        JobRequest req;
        const Outcome outcome = ReadCommandLine(c.args, &req);
        EXPECT_EQ(2, outcome.nStatus);
        EXPECT_EQ(c.message, outcome.err);
    }
}

// Owner and title reach the environment at most 255 bytes long, never with a character
// cut in two.
TEST(JobEnvironment, CutsOwnerAndTitleAtAWholeCharacter)
{
    const auto Times = [](const std::string& text, size_t nCount) {
        std::string out;
        for (size_t i = 0; i < nCount; ++i)
            out += text;
        return out;
    };
    struct Case {
        const char* pszWhat;
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        {"short", "alice", "alice"},
        {"exactly the bound", std::string(255, 'a'), std::string(255, 'a')},
        {"ASCII beyond the kernel's limit", std::string(131070, 'a'), std::string(255, 'a')},
        {"two-byte characters", Times("\xC3\xA9", 200), Times("\xC3\xA9", 127)},
        {"three-byte characters, a whole one at the bound", Times("\xE2\x82\xAC", 100), Times("\xE2\x82\xAC", 85)},
        {"four-byte characters", Times("\xF0\x9F\x96\xA8", 100), Times("\xF0\x9F\x96\xA8", 63)},
        {"one byte then four-byte characters", "a" + Times("\xF0\x9F\x96\xA8", 100),
         "a" + Times("\xF0\x9F\x96\xA8", 63)},
        {"not UTF-8: continuation bytes only", std::string(300, '\x80'), std::string(255, '\x80')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        JobRequest req;
        req.szOwner = c.name;
        req.szTitle = c.name;
        SetJobEnvironment(req);
        EXPECT_EQ(c.expected, std::string(getenv("OWNER")));
        EXPECT_EQ(c.expected, std::string(getenv("TITLE")));
        unsetenv("OWNER");
        unsetenv("TITLE");
    }
}

TEST(JobRcFile, QueueSettingsThenTheJobsLines)
{
    struct Case {
        const char* pszWhat;
        std::string queueRc;
        Lines rcLines;
        std::string jobRc;
    };
    const Case cases[] = {
        {"no options", "[P]\nCopies=2\n", {}, "[P]\nCopies=2\n"},
        {"options after the queue's", "[P]\nCopies=2\n", {"Copies=3", "VNDuplex=None"},
         "[P]\nCopies=2\nCopies=3\nVNDuplex=None\n"},
        {"a last line without its line feed", "[P]\nCopies=2", {"Copies=3"}, "[P]\nCopies=2\nCopies=3\n"},
        {"an empty queue file", "", {"Copies=3"}, "Copies=3\n"},
        {"a long queue file", "[P]\n" + std::string(20000, '#') + "\nCopies=2", {"Copies=3"},
         "[P]\n" + std::string(20000, '#') + "\nCopies=2\nCopies=3\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        TempDir dir;
        JobRequest req;
        req.szRcFile = dir / "queue.rc";
        req.rcLines = c.rcLines;
        WriteFile(req.szRcFile, c.queueRc);
        Outcome outcome;
        outcome.err = CaptureStderr([&] { outcome.nStatus = WriteJobRc(req, dir / "job.rc"); });
        EXPECT_EQ(0, outcome.nStatus);
        EXPECT_EQ("", outcome.err);
        EXPECT_EQ(c.jobRc, ReadText(dir / "job.rc"));
    }
}

TEST(JobRcFile, FailsWithoutTheQueueFileOrOverAnExistingFile)
{
    TempDir dir;
    JobRequest req;
    req.szRcFile = dir / "missing.rc";
    Outcome outcome;
    outcome.err = CaptureStderr([&] { outcome.nStatus = WriteJobRc(req, dir / "job.rc"); });
    EXPECT_EQ(1, outcome.nStatus);
    EXPECT_EQ("ERROR: Cannot read the queue's settings " + req.szRcFile + ": No such file or directory\n",
              outcome.err);
    EXPECT_EQ(std::vector<std::string>{}, ListDir(dir.Path()));

    req.szRcFile = dir / "queue.rc";
    WriteFile(req.szRcFile, "[P]\n");
    WriteFile(dir / "job.rc", "left\n");
    outcome.err = CaptureStderr([&] { outcome.nStatus = WriteJobRc(req, dir / "job.rc"); });
    EXPECT_EQ(1, outcome.nStatus);
    EXPECT_EQ("ERROR: Cannot write the job's settings: File exists\n", outcome.err);
    EXPECT_EQ("left\n", ReadText(dir / "job.rc"));

    req.szRcFile = dir.Path();   // a folder opens but cannot be read
    outcome.err = CaptureStderr([&] { outcome.nStatus = WriteJobRc(req, dir / "other.rc"); });
    EXPECT_EQ(1, outcome.nStatus);
    EXPECT_EQ("ERROR: Cannot read the queue's settings " + dir.Path() + ": Is a directory\n", outcome.err);
}
