// children: starting, signalling and reaping Ghostscript and rastertovelnora, and the
// wrapper's own signals. A child is started with fork and execvpe, its descriptors
// arranged in the child, its signals back at their defaults, its memory limit set; a
// child that cannot run its program sends the errno back through a pipe closed on exec,
// so the wrapper knows at once. The wrapper learns of a child's end through SIGCHLD in
// the signalfd and collects it without waiting.
#include "children.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sys/resource.h>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "convert.h"
#include "queuemessage.h"

extern char** environ;

constexpr int kCancelSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr int kPipeSize = 1024 * 1024;       // asked for the pipes of the pages
constexpr int kGhostscriptPagesFd = 3;       // Ghostscript writes its pages here

// ---------------------------------------------------------------------------------------
// Signals

void OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

static sigset_t HandledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int nSignal : kCancelSignals)
        sigaddset(&set, nSignal);
    sigaddset(&set, SIGCONT);
    sigaddset(&set, SIGCHLD);
    return set;
}

bool TakeSignals(SignalState* pSignals)
{
    const sigset_t set = HandledSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    for (int nSignal : kCancelSignals)
        signal(nSignal, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);   // an inherited SIG_IGN would reap the children for us
    signal(SIGPIPE, SIG_IGN);   // a filter that stops reading is seen as EPIPE
    pSignals->fdSignal = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return pSignals->fdSignal >= 0;
}

void ReadSignals(SignalState* pSignals)
{
    signalfd_siginfo info;
    while (read(pSignals->fdSignal, &info, sizeof info) == ssize_t(sizeof info)) {
        const int nSignal = int(info.ssi_signo);
        if (nSignal == SIGCHLD)
            pSignals->bChildEvent = true;
        else if (nSignal == SIGCONT)
            pSignals->bContinue = true;
        else if (pSignals->nCancelSignal == 0)
            pSignals->nCancelSignal = nSignal;
    }
}

std::string SignalName(int nSignal)
{
    const char* pszAbbrev = sigabbrev_np(nSignal);
    return pszAbbrev ? std::string("SIG") + pszAbbrev : "signal " + std::to_string(nSignal);
}

// Waits until fd can be read. false when a cancelling signal came first.
static bool WaitReadable(int fd, SignalState* pSignals)
{
    for (;;) {
        if (pSignals->nCancelSignal != 0)
            return false;
        pollfd fds[2] = {{pSignals->fdSignal, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return true;   // let the read report the trouble
        if (fds[0].revents)
            ReadSignals(pSignals);
        if (fds[1].revents && pSignals->nCancelSignal == 0)
            return true;
    }
}

ReadResult ReadSome(int fd, uint8_t* pBuf, size_t nSize, size_t* pnRead, SignalState* pSignals)
{
    for (;;) {
        if (!WaitReadable(fd, pSignals))
            return ReadResult::kCancelled;
        const ssize_t n = read(fd, pBuf, nSize);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return ReadResult::kError;
        *pnRead = size_t(n);
        return n == 0 ? ReadResult::kEnd : ReadResult::kData;
    }
}

// ---------------------------------------------------------------------------------------
// Children

static void SignalChild(const Child* pChild, int nSignal)
{
    if (pChild->bRunning)
        kill(-pChild->nPid, nSignal);   // its own process group
}

void ContinueChild(const Child* pChild)
{
    if (pChild->bHalted)
        SignalChild(pChild, SIGCONT);
}

void StopChild(Child* pChild, int nSignal)
{
    if (!pChild->bRunning)
        return;
    pChild->bStopped = true;
    SignalChild(pChild, nSignal);
    ContinueChild(pChild);   // a stopped process must run to act on the signal
}

// The child's side of a fork: a process group of its own, default signals, none blocked,
// its memory limit, and the death signal: a child must not outlive the wrapper, whatever
// ends it (the out-of-memory killer, kill -9 of its process group). A wrapper already
// gone before the death signal was set is noticed at once.
static bool PrepareChild(const Child* pChild, pid_t nParent)
{
    if (prctl(PR_SET_PDEATHSIG, pChild->nDeathSignal) != 0 || getppid() != nParent)
        return false;
    rlimit limit;
    if (pChild->nMemoryLimit != 0 && getrlimit(RLIMIT_AS, &limit) == 0) {
        // Never above the hard limit the spooler set: that one cannot be raised.
        limit.rlim_cur = limit.rlim_max = std::min<rlim_t>(pChild->nMemoryLimit, limit.rlim_max);
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            return false;
    }
    setpgid(0, 0);
    for (int nSignal : kCancelSignals)
        signal(nSignal, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    return true;
}

static std::vector<char*> CStrings(std::vector<std::string>* pStrings)
{
    std::vector<char*> out;
    for (std::string& text : *pStrings)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

// The wrapper's environment with some variables replaced or removed (empty value).
static std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& changes)
{
    std::vector<std::string> env;
    for (char** pp = environ; *pp; ++pp) {
        const std::string_view entry = *pp;
        const std::string_view name = entry.substr(0, entry.find('='));
        if (std::none_of(changes.begin(), changes.end(), [&](const auto& c) { return c.first == name; }))
            env.emplace_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty())
            env.push_back(name + "=" + value);
    return env;
}

// A child's descriptors: standard input from fdIn (-1: /dev/null), standard output to
// fdOut and standard error to fdErr (-1: the wrapper's), and fdPages as descriptor 3
// (-1: none).
struct ChildFds {
    int fdIn = -1;
    int fdOut = -1;
    int fdErr = -1;
    int fdPages = -1;
};

constexpr int kAboveTargets = 10;   // the child's copies of its sources lie above every target

// Moves a copy of fd (if any) onto the target: false when it cannot.
static bool PlaceFd(int fdCopy, int fd, int fdTarget)
{
    return fd < 0 || (fdCopy >= 0 && dup2(fdCopy, fdTarget) >= 0);
}

// In the child: every source is first copied above the targets, so no dup2 can replace
// a source still to be moved, and each copy on a target stays open across exec.
static bool ArrangeChildFds(const ChildFds& fds)
{
    const int fdNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fdNull < 0)
        return false;
    const auto CopyOf = [](int fd) { return fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, kAboveTargets) : -1; };
    const int fdIn = CopyOf(fds.fdIn >= 0 ? fds.fdIn : fdNull);
    const int fdOut = CopyOf(fds.fdOut);
    const int fdErr = CopyOf(fds.fdErr);
    const int fdPages = CopyOf(fds.fdPages);
    return PlaceFd(fdIn, 0, STDIN_FILENO) && PlaceFd(fdOut, fds.fdOut, STDOUT_FILENO) &&
           PlaceFd(fdErr, fds.fdErr, STDERR_FILENO) && PlaceFd(fdPages, fds.fdPages, kGhostscriptPagesFd);
}

// The child's end: when it could not run its program, the errno goes to the wrapper
// through fdReport (closed on exec, so an exec that worked sends nothing).
[[noreturn]] static void ReportExecFailure(int fdReport)
{
    const int nError = errno;
    if (write(fdReport, &nError, sizeof nError) < 0)
        _exit(127);
    _exit(127);
}

// Waits until the child has run its program or failed to: 0, or the errno of its failure.
static int ReadExecFailure(int fdReport)
{
    int nError = 0;
    ssize_t n;
    while ((n = read(fdReport, &nError, sizeof nError)) < 0 && errno == EINTR) {
    }
    return n == ssize_t(sizeof nError) ? nError : 0;
}

// Starts a child. false when it cannot fork or cannot run its program (reported; the
// child is then collected).
static bool StartChild(Child* pChild, std::vector<std::string> argv, std::vector<std::string> env,
                       const ChildFds& fds)
{
    std::vector<char*> args = CStrings(&argv);
    std::vector<char*> envp = CStrings(&env);
    Fd reportRead, reportWrite;
    int fdsReport[2];
    if (pipe2(fdsReport, O_CLOEXEC) != 0) {
        Fail(std::string("Cannot start ") + pChild->pszName + ": " + strerror(errno));
        return false;
    }
    reportRead.Reset(fdsReport[0]);
    reportWrite.Reset(fdsReport[1]);
    const pid_t nParent = getpid();
    const pid_t nPid = fork();
    if (nPid < 0) {
        Fail(std::string("Cannot start ") + pChild->pszName + ": " + strerror(errno));
        return false;
    }
    if (nPid == 0) {
        // Above the targets, so that arranging the descriptors cannot replace it.
        const int fdReport = fcntl(reportWrite.fd, F_DUPFD_CLOEXEC, kAboveTargets);
        if (PrepareChild(pChild, nParent) && ArrangeChildFds(fds))
            execvpe(args[0], args.data(), envp.data());
        ReportExecFailure(fdReport);
    }
    setpgid(nPid, nPid);   // also here, so a signal sent at once finds the group
    pChild->nPid = nPid;
    pChild->bRunning = true;
    reportWrite.Close();
    const int nError = ReadExecFailure(reportRead.fd);
    if (nError == 0)
        return true;
    KillAndReap(pChild);   // it is ending by itself; collected here, so nothing waits for it
    Fail("Cannot run " + argv[0] + ": " + strerror(nError));
    return false;
}

bool ReapChild(Child* pChild)
{
    while (pChild->bRunning) {
        int nStatus = 0;
        const pid_t nPid = waitpid(pChild->nPid, &nStatus, WNOHANG | WUNTRACED | WCONTINUED);
        if (nPid < 0 && errno == EINTR)
            continue;
        if (nPid != pChild->nPid)
            return false;
        if (WIFSTOPPED(nStatus)) {
            pChild->bHalted = true;
        } else if (WIFCONTINUED(nStatus)) {
            pChild->bHalted = false;
        } else {
            pChild->bRunning = false;
            pChild->nWaitStatus = nStatus;
            return true;
        }
    }
    return false;
}

void KillAndReap(Child* pChild)
{
    if (!pChild->bRunning)
        return;
    StopChild(pChild, SIGKILL);
    int nStatus = 0;
    while (waitpid(pChild->nPid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    pChild->bRunning = false;
    pChild->nWaitStatus = nStatus;
}

bool EndedWell(const Child* pChild)
{
    return WIFEXITED(pChild->nWaitStatus) && WEXITSTATUS(pChild->nWaitStatus) == 0;
}

std::string HowItEnded(const Child* pChild)
{
    if (WIFEXITED(pChild->nWaitStatus))
        return "exit status " + std::to_string(WEXITSTATUS(pChild->nWaitStatus));
    return SignalName(WTERMSIG(pChild->nWaitStatus));
}

std::string FilterProgramPath()
{
    char szSelf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    if (n <= 0)
        return "rastertovelnora";
    std::string self(szSelf, size_t(n));
    return self.substr(0, self.rfind('/') + 1) + "rastertovelnora";
}

// Makes a pipe, both ends closed on exec, with room for a page band.
static bool MakePipe(Fd* pRead, Fd* pWrite)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fcntl(fds[0], F_SETPIPE_SZ, kPipeSize);
    pRead->Reset(fds[0]);
    pWrite->Reset(fds[1]);
    return true;
}

bool StartFilter(Child* pFilter, Fd* pSink, const std::string& program, const std::string& jobRc,
                 const std::string& paperInf)
{
    Fd filterIn;
    if (!MakePipe(&filterIn, pSink)) {
        Fail("Cannot make a pipe: " + std::string(strerror(errno)));
        return false;
    }
    fcntl(pSink->fd, F_SETFL, O_NONBLOCK);
    std::vector<std::string> argv = {program, "-pi", paperInf, "-rc", jobRc};
    return StartChild(pFilter, argv, EnvironmentWith({}), {filterIn.fd, -1, -1, -1});
}

bool StartGhostscript(Child* pGs, Fd* pPages, Fd* pMessages, DocKind kind, const std::string& document,
                      const PageSetup& page, const std::string& tmpDir)
{
    Fd pagesOut, messagesOut;
    if (!MakePipe(pPages, &pagesOut) || !MakePipe(pMessages, &messagesOut)) {
        Fail("Cannot make a pipe: " + std::string(strerror(errno)));
        return false;
    }
    fcntl(pPages->fd, F_SETFL, O_NONBLOCK);
    fcntl(pMessages->fd, F_SETFL, O_NONBLOCK);
    std::vector<std::string> argv = GhostscriptArguments(kind, document, page, kGhostscriptPagesFd);
    // Its temporary files go to the job's private folder, which is removed on every exit;
    // it does not need the PIN.
    std::vector<std::string> env = EnvironmentWith({{"TMPDIR", tmpDir}, {"PASSWORD", ""}});
    // Its standard output, where it reports a document's errors, and its standard error go
    // to the wrapper, which passes them on to its standard error up to a bound: nothing it
    // prints can mix with the job or flood the queue's log.
    return StartChild(pGs, argv, env, {-1, messagesOut.fd, messagesOut.fd, pagesOut.fd});
}

bool StartConverter(Child* pChild, const std::vector<std::string>& argv, int fdOut, const std::string& tmpDir)
{
    // Its temporary files and fontconfig's cache go to the job's private folder; it does
    // not need the PIN.
    std::vector<std::string> env =
        EnvironmentWith({{"TMPDIR", tmpDir}, {"XDG_CACHE_HOME", tmpDir}, {"PASSWORD", ""}});
    return StartChild(pChild, argv, env, {-1, fdOut, STDERR_FILENO, -1});
}
