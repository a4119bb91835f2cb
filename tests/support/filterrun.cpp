#include "filterrun.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>

const char* FilterPath()
{
    return VELNORA_FILTER_PATH;
}

const char* QueueFilterPath()
{
    return VELNORA_QUEUE_FILTER_PATH;
}

static void DrainInto(int fd, std::mutex* pLock, void (*pfnAppend)(void*, const char*, size_t), void* pTarget,
                      bool* pbDone)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> guard(*pLock);
        pfnAppend(pTarget, buf, size_t(n));
    }
    close(fd);
    if (pbDone) {
        std::lock_guard<std::mutex> guard(*pLock);
        *pbDone = true;
    }
}

FilterProcess::FilterProcess(const std::vector<std::string>& args, const EnvList& env, bool bDropOutput)
{
    Start(FilterPath(), args, env, bDropOutput ? OutputMode::kDrop : OutputMode::kRead, false);
}

FilterProcess::FilterProcess(const std::vector<std::string>& args, const EnvList& env, ChildStep pfnChildStep)
{
    Start(FilterPath(), args, env, OutputMode::kRead, false, pfnChildStep);
}

FilterProcess::FilterProcess(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                             ChildStep pfnChildStep)
{
    Start(program, args, env, OutputMode::kRead, false, pfnChildStep);
}

FilterProcess::FilterProcess(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                             bool bOwnGroup)
{
    Start(program, args, env, OutputMode::kRead, bOwnGroup);
}

FilterProcess::FilterProcess(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                             bool bOwnGroup, OutputMode output)
{
    Start(program, args, env, output, bOwnGroup);
}

void FilterProcess::Start(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                          OutputMode output, bool bOwnGroup, ChildStep pfnChildStep)
{
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> envStrings = {"PATH=/usr/bin:/bin"};
    // A sanitized build reports through its own options (a leak fails the run): they reach
    // every program the tests start.
    for (const char* pszName : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* pszValue = getenv(pszName))
            envStrings.push_back(std::string(pszName) + "=" + pszValue);
    }
    for (const auto& [name, value] : env)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    nPid = fork();
    if (nPid == 0) {
        if (bOwnGroup)
            setpgid(0, 0);
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (pfnChildStep && !pfnChildStep())
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (bOwnGroup && nPid > 0)
        setpgid(nPid, nPid);   // also here, so a signal sent at once finds the group
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    fdIn = inPipe[1];
    if (output == OutputMode::kDrop) {
        close(outPipe[0]);
        bOutDone = true;
    } else if (output == OutputMode::kStall) {
        fdStalledOut = outPipe[0];
        bOutDone = true;
    } else {
        outReader = std::thread(DrainInto, outPipe[0], &lock,
                            [](void* p, const char* d, size_t n) {
                                auto* v = static_cast<std::vector<uint8_t>*>(p);
                                v->insert(v->end(), d, d + n);
                            },
                            &out, &bOutDone);
    }
    errReader = std::thread(DrainInto, errPipe[0], &lock,
                            [](void* p, const char* d, size_t n) { static_cast<std::string*>(p)->append(d, n); },
                            &err, &bErrDone);
}

FilterProcess::~FilterProcess()
{
    if (nPid > 0)
        Wait(std::chrono::milliseconds(1));
    CloseInput();
}

bool FilterProcess::Write(const std::vector<uint8_t>& data)
{
    static const bool bIgnorePipe = [] { signal(SIGPIPE, SIG_IGN); return true; }();
    (void)bIgnorePipe;
    size_t nDone = 0;
    while (nDone < data.size()) {
        const ssize_t n = write(fdIn, data.data() + nDone, data.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        nDone += size_t(n);
    }
    return true;
}

void FilterProcess::CloseInput()
{
    if (fdIn >= 0)
        close(fdIn);
    fdIn = -1;
}

void FilterProcess::Signal(int nSignal)
{
    if (nPid > 0)
        kill(nPid, nSignal);
}

void FilterProcess::SignalGroup(int nSignal)
{
    if (nPid > 0)
        kill(-nPid, nSignal);
}

bool FilterProcess::WaitForMessage(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (err.find(text) != std::string::npos)
                return true;
            if (bErrDone)
                return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

size_t FilterProcess::OutputSize()
{
    std::lock_guard<std::mutex> guard(lock);
    return out.size();
}

bool FilterProcess::WaitForOutput(size_t nBytes, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (out.size() >= nBytes)
                return true;
            if (bOutDone)
                return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// VELNORA_TEST_JOBS=DIR keeps every job the tests receive as DIR/<suite>.<test>.<n>,
// so that the jobs of two builds can be compared byte for byte.
static void KeepJob(const std::vector<uint8_t>& job)
{
    const char* pszDir = getenv("VELNORA_TEST_JOBS");
    const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!pszDir || !*pszDir || !pInfo || job.empty())
        return;
    static std::atomic<int> nKept{0};
    const std::string path = std::string(pszDir) + "/" + pInfo->test_suite_name() + "." + pInfo->name() + "." +
                             std::to_string(nKept++);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(job.data()), std::streamsize(job.size()));
}

// The first line of /proc/<pid>/<name>, empty when it cannot be read.
static std::string ProcLine(int nPid, const char* pszName, const char* pszPrefix = "")
{
    FILE* fp = fopen(("/proc/" + std::to_string(nPid) + "/" + pszName).c_str(), "r");
    if (!fp)
        return "";
    char line[512];
    std::string found;
    while (fgets(line, sizeof line, fp)) {
        if (strncmp(line, pszPrefix, strlen(pszPrefix)) == 0) {
            found = line + strlen(pszPrefix);
            break;
        }
    }
    fclose(fp);
    return found;
}

// True when the process sleeps in the system call that /proc/<pid>/syscall shows as
// pszSyscall (its number and first argument) and, for a signal other than 0, has a
// handler for it. Where the system call cannot be seen, a sleeping process counts.
static bool IsSleepingIn(int nPid, const char* pszSyscall, int nSignal)
{
    if (nSignal != 0) {
        const std::string caught = ProcLine(nPid, "status", "SigCgt:");
        if (caught.empty() || !((std::strtoull(caught.c_str(), nullptr, 16) >> (nSignal - 1)) & 1))
            return false;
    }
    const std::string state = ProcLine(nPid, "status", "State:");
    const size_t nLetter = state.find_first_not_of(" \t");
    if (nLetter == std::string::npos || state[nLetter] != 'S')
        return false;
    const std::string syscall = ProcLine(nPid, "syscall");
    if (syscall.empty())
        return true;
    return syscall.rfind(pszSyscall, 0) == 0;
}

bool FilterProcess::WaitForSyscall(const char* pszSyscall, int nSignal, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && nPid > 0) {
        if (IsSleepingIn(nPid, pszSyscall, nSignal))
            return true;
        siginfo_t info = {};
        if (waitid(P_PID, id_t(nPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == nPid)
            return false;   // ended; left for Wait to collect
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

bool FilterProcess::WaitForReadCatching(int nSignal, std::chrono::milliseconds timeout)
{
    return WaitForSyscall("0 0x0 ", nSignal, timeout);   // read, descriptor 0
}

bool FilterProcess::WaitForBlockedWrite(std::chrono::milliseconds timeout)
{
    return WaitForSyscall("1 0x1 ", 0, timeout);   // write, descriptor 1
}

FilterResult FilterProcess::Wait(std::chrono::milliseconds timeout)
{
    CloseInput();
    return Reap(timeout);
}

FilterResult FilterProcess::WaitKeepingInput(std::chrono::milliseconds timeout)
{
    FilterResult result = Reap(timeout);
    CloseInput();
    return result;
}

FilterResult FilterProcess::Reap(std::chrono::milliseconds timeout)
{
    FilterResult result;
    if (nPid <= 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int nStatus = 0;
    for (;;) {
        const pid_t r = waitpid(nPid, &nStatus, WNOHANG);
        if (r == nPid)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(nPid, SIGKILL);
            waitpid(nPid, &nStatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.nPid = nPid;
    nPid = -1;
    if (outReader.joinable())
        outReader.join();
    if (fdStalledOut >= 0) {
        // What the program got into the pipe before it ended; whatever still holds the
        // pipe open (a child of the program) is not waited for.
        fcntl(fdStalledOut, F_SETFL, O_NONBLOCK);
        uint8_t buf[65536];
        ssize_t n;
        while ((n = read(fdStalledOut, buf, sizeof buf)) > 0)
            out.insert(out.end(), buf, buf + n);
        close(fdStalledOut);
        fdStalledOut = -1;
    }
    errReader.join();
    result.bExited = WIFEXITED(nStatus);
    result.nExitStatus = result.bExited ? WEXITSTATUS(nStatus) : -1;
    result.nSignal = WIFSIGNALED(nStatus) ? WTERMSIG(nStatus) : 0;
    result.out = std::move(out);
    result.err = std::move(err);
    KeepJob(result.out);
    return result;
}

FilterResult RunFilter(const std::vector<std::string>& args, const EnvList& env, const std::vector<uint8_t>& input)
{
    FilterProcess filter(args, env);
    filter.Write(input);
    return filter.Wait();
}
