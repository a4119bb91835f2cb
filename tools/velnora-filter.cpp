// velnora-filter: the queue's filter, the command a printcap's filter=/if= names. Takes a
// job as the spooler hands it over (PDF, PostScript or binary PPM pages), renders PDF and
// PostScript with Ghostscript, and feeds the pages to rastertovelnora, which writes the
// printer job to standard output.
//
//   velnora-filter --rc RCFILE --pi PAPERINFO [--model-root DIR] [LPRng options] [INPUT]
//
//   --rc FILE          the queue's settings (rastertovelnora's -rc)
//   --pi FILE          the paper-information file (rastertovelnora's -pi)
//   --model-root DIR   root of the model tables: VELNORA_ROOT for rastertovelnora
//   -nLOGIN            user name: OWNER
//   -JTITLE            job name: TITLE (else -NFILENAME, the file name)
//   -ZOPT=VAL,...      job options; several -Z are joined:
//       pin=NNNN                     secure print under this four-digit PIN (PASSWORD)
//       copies=1..999                Copies
//       collate=on|off               Collate
//       duplex=none|long|short       VNDuplex None, DuplexNoTumble, DuplexTumble
//       color=color|mono|auto        VNMonoColor FullColor, Mono, Auto
//       media=WORD                   PageSize: a page-size word (A4, Letter, ...)
//       mediatype=WORD               MediaType: Plain, Thick, Label, ...
//       tray=WORD                    InputSlot: AutoSelect, Tray1..Tray5, MPTray, Manual
//       quality=normal|fine          VNResolution Normal, Fine
//       tonersave=on|off             TonerSaveMode
//       skipblank=on|off             VNSkipBlank
//     Keys and values are matched without regard to case.
//   INPUT              the document; standard input when missing or "-"
//
// LPRng's options are taken as -Xvalue or -X value; letters LPRng passes with a value
// (kValueLetters) take the next argument in the second form, other letters are ignored.
// An argument equal to the -a accounting file is LPRng's "$-a" and not the document.
//
// Exit status: rastertovelnora's (0 printed; 1, 5, 6, 7, 13, 14 as it documents; for PDF
// and PostScript the settings and paper are checked the same way before rendering); 0 also
// after a cancellation unless the filter itself failed; 1 the document, the rc file, the
// temporary folder or rastertovelnora cannot be used, or the filter died of a signal;
// 2 a job that can never print: a bad command line, a refused -Z option, a document of
// another kind, an empty document, a Ghostscript failure, or a document in which
// Ghostscript finds no page. Standard error: the filter's messages, Ghostscript's (its
// standard output too: never the pages), and the wrapper's "INFO: "/"ERROR: " lines.
//
// Signals: SIGTERM, SIGINT, SIGHUP and SIGQUIT cancel the job: Ghostscript is stopped,
// rastertovelnora gets SIGTERM (its own cancellation closes a job already begun), the
// wrapper waits for both and removes its temporary folder. SIGCONT alone is job control:
// it cancels nothing and is passed on to a child that job control has stopped. The
// children run in process groups of their own, so a signal to the spooler's group
// reaches only this wrapper.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <span>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "jobrecords.h"
#include "jobsettings.h"
#include "tempfile.h"
#include "vnfiletool.h"
#include "vnresource.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------------------------------
// Constants

constexpr int kStatusPrinted = 0;
constexpr int kStatusFailed = 1;    // may print later: files, folders, programs
constexpr int kStatusRefused = 2;   // can never print: the spooler drops the job

constexpr size_t kSniffSize = 16;            // leading bytes read to tell the kind
constexpr size_t kPumpSize = 256 * 1024;     // bytes moved to the filter at a time
constexpr int kPipeSize = 1024 * 1024;       // asked for the pipes of the pages
constexpr int kMaxCopies = 999;
constexpr int kGhostscriptPagesFd = 3;       // Ghostscript writes its pages here

// LPRng's option letters that carry a value (filter_options and bk_filter_options, and
// A, K, N of the control file); -c is LPRng's only flag.
constexpr std::string_view kValueLetters = "ACFHJKLNPQRSZadefhijklnswxy";

constexpr int kCancelSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// ---------------------------------------------------------------------------------------
// Messages

// One message line for the spooler, written whole.
void Say(const std::string& text)
{
    std::string line = text + "\n";
    const char* p = line.data();
    size_t nLeft = line.size();
    while (nLeft > 0) {
        const ssize_t n = write(STDERR_FILENO, p, nLeft);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        nLeft -= size_t(n);
    }
}

int Refuse(const std::string& text)
{
    Say("ERROR: " + text);
    return kStatusRefused;
}

int Fail(const std::string& text)
{
    Say("ERROR: " + text);
    return kStatusFailed;
}

// Text from a user or a document shown in a message: printable ASCII as it is, other
// bytes as \xNN, at most nMax bytes, so it cannot break the message line.
std::string Printable(std::string_view text, size_t nMax = 40)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < nMax; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char szHex[8];
            snprintf(szHex, sizeof szHex, "\\x%02X", c);
            out += szHex;
        }
    }
    if (text.size() > nMax)
        out += "...";
    return out;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::string Trimmed(std::string_view text)
{
    const size_t nFirst = text.find_first_not_of(" \t");
    if (nFirst == std::string_view::npos)
        return "";
    const size_t nLast = text.find_last_not_of(" \t");
    return std::string(text.substr(nFirst, nLast - nFirst + 1));
}

// ---------------------------------------------------------------------------------------
// The request: command line and -Z options

struct JobRequest {
    std::string szRcFile;          // --rc
    std::string szPaperInf;        // --pi
    std::string szModelRoot;       // --model-root; empty: VELNORA_ROOT as inherited
    std::string szOwner;           // -n
    std::string szTitle;           // -J
    std::string szFileName;        // -N
    std::string szAccountingFile;  // -a: also LPRng's bare "$-a", which is not the input
    std::string szJobOptions;      // every -Z, joined with commas
    std::vector<std::string> positional;
    std::string szInput;           // the document's path; empty for standard input
    std::string szPin;             // pin=: PASSWORD
    std::vector<std::string> rcLines;   // "Key=Word" lines appended to the job's rc file
};

// Takes the value of a long option, "--name value" or "--name=value". false when the
// argument is another option; *pbMissing when the value is missing.
bool TakeLongOption(std::string_view name, int argc, char** argv, int* pIndex, std::string* pValue,
                    bool* pbMissing)
{
    const std::string_view arg = argv[*pIndex];
    if (arg == name) {
        if (*pIndex + 1 >= argc) {
            *pbMissing = true;
            return true;
        }
        *pValue = argv[++*pIndex];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        *pValue = std::string(arg.substr(name.size() + 1));
        return true;
    }
    return false;
}

// Stores one LPRng option's value where the wrapper uses it; others are passed over.
void KeepLetterOption(char cLetter, const std::string& value, JobRequest* pReq)
{
    switch (cLetter) {
    case 'n': pReq->szOwner = value; break;
    case 'J': pReq->szTitle = value; break;
    case 'N': pReq->szFileName = value; break;
    case 'a': pReq->szAccountingFile = value; break;
    case 'Z':
        if (!pReq->szJobOptions.empty())
            pReq->szJobOptions += ',';
        pReq->szJobOptions += value;
        break;
    default: break;
    }
}

// Reads the command line into *pReq: 0, or the status of a bad command line (reported).
int ReadArguments(int argc, char** argv, JobRequest* pReq)
{
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (bOptionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            pReq->positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (arg.substr(0, 2) == "--") {
            bool bMissing = false;
            if (!TakeLongOption("--rc", argc, argv, &i, &pReq->szRcFile, &bMissing) &&
                !TakeLongOption("--pi", argc, argv, &i, &pReq->szPaperInf, &bMissing) &&
                !TakeLongOption("--model-root", argc, argv, &i, &pReq->szModelRoot, &bMissing))
                return Refuse("Unknown option " + Printable(arg) + " (known: --rc, --pi, --model-root)");
            if (bMissing)
                return Refuse("The option " + Printable(arg) + " needs a value");
            continue;
        }
        const char cLetter = arg[1];
        if (kValueLetters.find(cLetter) == std::string_view::npos)
            continue;   // a flag (-c) or a letter this filter does not know
        std::string value;
        if (arg.size() > 2)
            value = std::string(arg.substr(2));
        else if (i + 1 < argc)
            value = argv[++i];
        KeepLetterOption(cLetter, value, pReq);
    }
    if (pReq->szRcFile.empty() || pReq->szPaperInf.empty())
        return Refuse("Both --rc RCFILE and --pi PAPERINFO must be given");

    std::vector<std::string> inputs;
    for (const std::string& arg : pReq->positional)
        if (pReq->szAccountingFile.empty() || arg != pReq->szAccountingFile)
            inputs.push_back(arg);
    if (inputs.size() > 1)
        return Refuse("More than one document named: " + Printable(inputs[1]));
    if (!inputs.empty() && inputs[0] != "-")
        pReq->szInput = inputs[0];
    return 0;
}

// What a user writes for a choice, and the parameter table's word it selects.
struct WordAlias {
    const char* pszValue;
    const char* pszWord;
};

constexpr WordAlias tblOnOff[] = {{"on", "ON"}, {"off", "OFF"}};
constexpr WordAlias tblDuplexAlias[] = {{"none", "None"}, {"long", "DuplexNoTumble"}, {"short", "DuplexTumble"}};
constexpr WordAlias tblColorAlias[] = {{"color", "FullColor"}, {"mono", "Mono"}, {"auto", "Auto"}};
constexpr WordAlias tblQualityAlias[] = {{"normal", "Normal"}, {"fine", "Fine"}};

enum class OptionKind { kPin, kCopies, kChoice };

// One -Z key: the row of tblVnParams it sets and the values it takes (the aliases, or
// the row's own words when there are none).
struct JobOption {
    const char* pszName;
    OptionKind kind;
    int nRow;                          // -1 for pin
    std::span<const WordAlias> aliases;
};

constexpr JobOption tblJobOptions[] = {
    {"pin", OptionKind::kPin, -1, {}},
    {"copies", OptionKind::kCopies, kRowCopies, {}},
    {"collate", OptionKind::kChoice, kRowCollate, tblOnOff},
    {"duplex", OptionKind::kChoice, kRowDuplex, tblDuplexAlias},
    {"color", OptionKind::kChoice, kRowMonoColor, tblColorAlias},
    {"media", OptionKind::kChoice, kRowPageSize, {}},
    {"mediatype", OptionKind::kChoice, kRowMediaType, {}},
    {"tray", OptionKind::kChoice, kRowInputSlot, {}},
    {"quality", OptionKind::kChoice, kRowResolution, tblQualityAlias},
    {"tonersave", OptionKind::kChoice, kRowTonerSave, tblOnOff},
    {"skipblank", OptionKind::kChoice, kRowSkipBlank, tblOnOff},
};

const JobOption* FindJobOption(const std::string& name)
{
    for (const JobOption& option : tblJobOptions)
        if (name == option.pszName)
            return &option;
    return nullptr;
}

std::string JobOptionNames()
{
    std::string names;
    for (const JobOption& option : tblJobOptions)
        names += std::string(names.empty() ? "" : ", ") + option.pszName;
    return names;
}

// The row's word equal to pszWord without regard to case; null when it has none.
const char* RowWord(int nRow, std::string_view word)
{
    const ParamEntry& row = tblVnParams[nRow];
    for (int i = 0; i < row.nItemCount; ++i)
        if (row.pCmdItem[i] && Lower(row.pCmdItem[i]) == Lower(word))
            return row.pCmdItem[i];
    return nullptr;
}

// The values a choice option takes, for messages.
std::string ChoiceValues(const JobOption& option)
{
    std::string values;
    if (!option.aliases.empty()) {
        for (const WordAlias& alias : option.aliases)
            values += std::string(values.empty() ? "" : ", ") + alias.pszValue;
        return values;
    }
    const ParamEntry& row = tblVnParams[option.nRow];
    for (int i = 0; i < row.nItemCount; ++i)
        values += std::string(values.empty() ? "" : ", ") + row.pCmdItem[i];
    return values;
}

// The table word a choice value selects, or null.
const char* ChoiceWord(const JobOption& option, const std::string& value)
{
    if (option.aliases.empty())
        return RowWord(option.nRow, value);
    for (const WordAlias& alias : option.aliases)
        if (Lower(value) == alias.pszValue)
            return RowWord(option.nRow, alias.pszWord);
    return nullptr;
}

bool IsDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Applies one "key=value" job option to *pReq: 0, or the refusal's status (reported).
int ApplyJobOption(const std::string& item, JobRequest* pReq)
{
    const size_t nEqual = item.find('=');
    const std::string name = Lower(Trimmed(item.substr(0, nEqual)));
    const JobOption* pOption = FindJobOption(name);
    if (!pOption)
        return Refuse("Unknown job option \"" + Printable(name) + "\"; valid options: " + JobOptionNames());
    const std::string value = nEqual == std::string::npos ? "" : Trimmed(item.substr(nEqual + 1));
    const std::string rowName = pOption->nRow >= 0 ? tblVnParams[pOption->nRow].pszName : "";
    switch (pOption->kind) {
    case OptionKind::kPin:
        // The PIN itself is never shown: the message reaches logs other users may read.
        if (value.size() != 4 || !IsDigits(value))
            return Refuse("The PIN of a secure job must be exactly four digits (pin=NNNN)");
        pReq->szPin = value;
        return 0;
    case OptionKind::kCopies: {
        const long nCopies = IsDigits(value) && value.size() <= 4 ? strtol(value.c_str(), nullptr, 10) : 0;
        if (nCopies < 1 || nCopies > kMaxCopies)
            return Refuse("Invalid value \"" + Printable(value) + "\" for copies; valid values: 1 to " +
                          std::to_string(kMaxCopies));
        pReq->rcLines.push_back(rowName + "=" + std::to_string(nCopies));
        return 0;
    }
    case OptionKind::kChoice:
        break;
    }
    const char* pszWord = ChoiceWord(*pOption, value);
    if (!pszWord)
        return Refuse("Invalid value \"" + Printable(value) + "\" for " + name + "; valid values: " +
                      ChoiceValues(*pOption));
    pReq->rcLines.push_back(rowName + "=" + pszWord);
    return 0;
}

// Applies every -Z option in order (a later one wins): 0, or the refusal's status.
int ApplyJobOptions(JobRequest* pReq)
{
    const std::string& all = pReq->szJobOptions;
    for (size_t nStart = 0; nStart <= all.size();) {
        size_t nEnd = all.find(',', nStart);
        if (nEnd == std::string::npos)
            nEnd = all.size();
        const std::string item = all.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (Trimmed(item).empty())
            continue;
        const int nStatus = ApplyJobOption(item, pReq);
        if (nStatus != 0)
            return nStatus;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// Descriptors and the private folder

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int n) : fd(n) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    void Reset(int n)
    {
        Close();
        fd = n;
    }
};

// Spooler-started programs may lack a standard descriptor; a pipe made later must not
// take its number.
void OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

int RemoveEntry(const char* pszPath, const struct stat*, int, struct FTW*)
{
    remove(pszPath);
    return 0;
}

// The job's private folder (the rc copy, a spooled document, Ghostscript's temporary
// files), made with mkdtemp under TMPDIR or /tmp and removed with its contents.
class PrivateDir {
public:
    bool Make()
    {
        const char* pszBase = getenv("TMPDIR");
        std::string pattern = std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/velnora-filter.XXXXXX";
        if (!mkdtemp(pattern.data()))
            return false;
        path = pattern;
        return true;
    }
    ~PrivateDir()
    {
        if (!path.empty())
            nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    PrivateDir() = default;
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    const std::string& Path() const { return path; }
    std::string operator/(const char* pszName) const { return path + "/" + pszName; }

private:
    std::string path;
};

// The job's rc file: the queue's, a line feed if it lacks its last one, then the job's
// "Key=Word" lines, which win because the last valid line of a key counts. 0, or 1
// (reported).
int WriteJobRc(const std::string& queueRc, const std::vector<std::string>& lines, const std::string& jobRc)
{
    Fd in(open(queueRc.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0)
        return Fail("Cannot read the queue's settings " + Printable(queueRc, 200) + ": " + strerror(errno));
    Fd out(open(jobRc.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
    uint8_t buf[8192];
    uint8_t cLast = '\n';
    for (;;) {
        const ssize_t n = read(in.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail("Cannot read the queue's settings " + Printable(queueRc, 200) + ": " + strerror(errno));
        if (n == 0)
            break;
        if (!WriteAll(out.fd, buf, size_t(n)))
            return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
        cLast = buf[n - 1];
    }
    std::string tail = cLast == '\n' ? "" : "\n";
    for (const std::string& line : lines)
        tail += line + "\n";
    if (!WriteAll(out.fd, reinterpret_cast<const uint8_t*>(tail.data()), tail.size()))
        return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
    return 0;
}

// ---------------------------------------------------------------------------------------
// Signals: blocked, and read from a signalfd in the loops below

struct SignalState {
    int fdSignal = -1;
    int nCancelSignal = 0;    // the first cancelling signal; 0 while none came
    bool bChildEvent = false; // SIGCHLD came
    bool bContinue = false;   // SIGCONT came
};

sigset_t HandledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int nSignal : kCancelSignals)
        sigaddset(&set, nSignal);
    sigaddset(&set, SIGCONT);
    sigaddset(&set, SIGCHLD);
    return set;
}

// Blocks the handled signals (so they wait in the signalfd instead of acting) and makes
// their dispositions the defaults, whatever the spooler left. false when no signalfd.
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

// Waits until fd can be read. false when a cancelling signal came first.
bool WaitReadable(int fd, SignalState* pSignals)
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

std::string SignalName(int nSignal)
{
    const char* pszAbbrev = sigabbrev_np(nSignal);
    return pszAbbrev ? std::string("SIG") + pszAbbrev : "signal " + std::to_string(nSignal);
}

// A cancellation before any child was started: nothing reached the printer.
int CancelledEarly(const SignalState* pSignals)
{
    Say("INFO: Job cancelled (" + SignalName(pSignals->nCancelSignal) + ") before printing began");
    return kStatusPrinted;
}

enum class ReadResult { kData, kEnd, kCancelled, kError };

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
// The document

enum class DocKind { kEmpty, kUnknown, kPdf, kPostScript, kPpm };

DocKind KindOf(const std::vector<uint8_t>& head)
{
    const auto StartsWith = [&head](std::string_view prefix) {
        return head.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), head.begin());
    };
    if (head.empty())
        return DocKind::kEmpty;
    if (StartsWith("%PDF-"))
        return DocKind::kPdf;
    if (StartsWith("%!") || StartsWith("\x04%!") || StartsWith("\xC5\xD0\xD3\xC6"))
        return DocKind::kPostScript;
    if (StartsWith("P6") && head.size() > 2 && strchr(" \t\n\v\f\r", head[2]) && head[2] != '\0')
        return DocKind::kPpm;
    return DocKind::kUnknown;
}

// Reads the leading bytes without losing any: they are kept in *pHead and passed on
// before the rest. 0, kStatusFailed (reported), or -1 when cancelled.
int ReadHead(int fd, std::vector<uint8_t>* pHead, SignalState* pSignals)
{
    pHead->resize(kSniffSize);
    size_t nHave = 0;
    while (nHave < kSniffSize) {
        size_t nRead = 0;
        const ReadResult result = ReadSome(fd, pHead->data() + nHave, kSniffSize - nHave, &nRead, pSignals);
        if (result == ReadResult::kCancelled)
            return -1;
        if (result == ReadResult::kError)
            return Fail("Cannot read the document: " + std::string(strerror(errno)));
        if (result == ReadResult::kEnd)
            break;
        nHave += nRead;
    }
    pHead->resize(nHave);
    return 0;
}

// Copies the document (its head, then the rest of fd) into a file Ghostscript can seek
// in. 0, kStatusFailed (reported), or -1 when cancelled.
int SpoolDocument(const std::vector<uint8_t>& head, int fd, const std::string& path, SignalState* pSignals)
{
    Fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return Fail("Cannot spool the document: " + std::string(strerror(errno)));
    if (!WriteAll(out.fd, head.data(), head.size()))
        return Fail("Cannot spool the document: " + std::string(strerror(errno)));
    std::vector<uint8_t> buf(kPumpSize);
    for (;;) {
        size_t nRead = 0;
        const ReadResult result = ReadSome(fd, buf.data(), buf.size(), &nRead, pSignals);
        if (result == ReadResult::kCancelled)
            return -1;
        if (result == ReadResult::kError)
            return Fail("Cannot read the document: " + std::string(strerror(errno)));
        if (result == ReadResult::kEnd)
            return 0;
        if (!WriteAll(out.fd, buf.data(), nRead))
            return Fail("Cannot spool the document: " + std::string(strerror(errno)));
    }
}

// The page size Ghostscript renders: the job's settings loaded as rastertovelnora loads
// them, so a job it would refuse is refused here, before rendering, with its message and
// status. 0 or the filter's status.
int ReadPageSize(const std::string& jobRc, const std::string& paperInf, PageSetup* pPage)
{
    int nStatus = LoadRcFile(jobRc.c_str(), &g_rcInfo);
    if (nStatus != 0)
        return nStatus;
    JobSettings js{};
    std::string paperInfCopy = paperInf;
    js.pszPaperInf = paperInfCopy.data();
    nStatus = ConvertRc2Pjp(&g_rcInfo, &js);
    if (nStatus != 0)
        return nStatus;
    *pPage = js.page;
    return 0;
}

// Counts the complete PPM pages in Ghostscript's output as it goes by.
struct PageCounter {
    bool bInBody = false;
    bool bInComment = false;
    bool bLost = false;       // not a PPM stream this counter follows: counting stops
    int nField = 0;           // 0 magic, 1 width, 2 height, 3 maximum value
    std::string token;
    uint64_t nValue[4] = {};
    uint64_t nBodyLeft = 0;
    int nPages = 0;
};

void EndHeaderToken(PageCounter* pCounter)
{
    const int nField = pCounter->nField++;
    if (nField == 0) {
        pCounter->bLost = pCounter->token != "P6";
    } else {
        pCounter->bLost = !IsDigits(pCounter->token) || pCounter->token.size() > 9;
        if (!pCounter->bLost)
            pCounter->nValue[nField] = strtoull(pCounter->token.c_str(), nullptr, 10);
    }
    pCounter->token.clear();
    if (nField == 3 && !pCounter->bLost) {
        const uint64_t nSample = pCounter->nValue[3] > 255 ? 2 : 1;
        pCounter->nBodyLeft = pCounter->nValue[1] * pCounter->nValue[2] * 3 * nSample;
        pCounter->bInBody = true;
        pCounter->nField = 0;
    }
}

// Follows nSize bytes of the stream; returns the pages completed in them.
int CountPages(PageCounter* pCounter, const uint8_t* pData, size_t nSize)
{
    int nDone = 0;
    size_t i = 0;
    while (i < nSize && !pCounter->bLost) {
        if (pCounter->bInBody) {
            const size_t nTake = size_t(std::min<uint64_t>(pCounter->nBodyLeft, nSize - i));
            i += nTake;
            pCounter->nBodyLeft -= nTake;
            if (pCounter->nBodyLeft == 0) {
                pCounter->bInBody = false;
                ++pCounter->nPages;
                ++nDone;
            }
            continue;
        }
        const char c = char(pData[i++]);
        if (pCounter->bInComment) {
            pCounter->bInComment = c != '\n' && c != '\r';
        } else if (c == '#' && pCounter->token.empty()) {
            pCounter->bInComment = true;
        } else if (!strchr(" \t\n\v\f\r", c) || c == '\0') {
            pCounter->token += c;
            pCounter->bLost = pCounter->token.size() > 32;
        } else if (!pCounter->token.empty()) {
            EndHeaderToken(pCounter);
        }
    }
    return nDone;
}

// ---------------------------------------------------------------------------------------
// Children

struct Child {
    const char* pszName = "";
    pid_t nPid = -1;
    bool bRunning = false;
    bool bHalted = false;     // stopped by job control (SIGSTOP, SIGTSTP, ...), not ended
    bool bStopped = false;    // the wrapper ended it (cancellation, or nowhere to write)
    int nWaitStatus = 0;
};

void SignalChild(const Child* pChild, int nSignal)
{
    if (pChild->bRunning)
        kill(-pChild->nPid, nSignal);   // its own process group
}

// Resumes a child that job control has stopped. Only then: SIGCONT also discards a
// pending SIGSTOP, which would break a debugger's or a leak checker's attach.
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

// The child's side of a fork: a process group of its own, default signals, none blocked.
void PrepareChild()
{
    setpgid(0, 0);
    for (int nSignal : kCancelSignals)
        signal(nSignal, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

std::vector<char*> CStrings(std::vector<std::string>* pStrings)
{
    std::vector<char*> out;
    for (std::string& text : *pStrings)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

// The wrapper's environment with some variables replaced or removed (empty value).
std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& changes)
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
// fdOut (-1: the wrapper's), and fdPages as descriptor 3 (-1: none).
struct ChildFds {
    int fdIn = -1;
    int fdOut = -1;
    int fdPages = -1;
};

// In the child: every source is first copied above the targets, so no dup2 can replace
// a source still to be moved, and each copy on a target stays open across exec.
bool ArrangeChildFds(const ChildFds& fds)
{
    constexpr int kAboveTargets = 10;
    const int fdNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fdNull < 0)
        return false;
    const int fdIn = fcntl(fds.fdIn >= 0 ? fds.fdIn : fdNull, F_DUPFD_CLOEXEC, kAboveTargets);
    const int fdOut = fds.fdOut >= 0 ? fcntl(fds.fdOut, F_DUPFD_CLOEXEC, kAboveTargets) : -1;
    const int fdPages = fds.fdPages >= 0 ? fcntl(fds.fdPages, F_DUPFD_CLOEXEC, kAboveTargets) : -1;
    if (fdIn < 0 || dup2(fdIn, STDIN_FILENO) < 0)
        return false;
    if (fds.fdOut >= 0 && (fdOut < 0 || dup2(fdOut, STDOUT_FILENO) < 0))
        return false;
    if (fds.fdPages >= 0 && (fdPages < 0 || dup2(fdPages, kGhostscriptPagesFd) < 0))
        return false;
    return true;
}

// Starts a child. false when it cannot fork (reported); a failed exec is reported by
// the child, which exits 127.
bool StartChild(Child* pChild, std::vector<std::string> argv, std::vector<std::string> env, const ChildFds& fds)
{
    std::vector<char*> args = CStrings(&argv);
    std::vector<char*> envp = CStrings(&env);
    const std::string execFailure = std::string("ERROR: Cannot run ") + pChild->pszName + ": ";
    const pid_t nPid = fork();
    if (nPid < 0) {
        Fail(std::string("Cannot start ") + pChild->pszName + ": " + strerror(errno));
        return false;
    }
    if (nPid == 0) {
        PrepareChild();
        if (ArrangeChildFds(fds))
            execvpe(args[0], args.data(), envp.data());
        const std::string message = execFailure + strerror(errno) + "\n";
        if (write(STDERR_FILENO, message.data(), message.size()) < 0)
            _exit(127);
        _exit(127);
    }
    setpgid(nPid, nPid);   // also here, so a signal sent at once finds the group
    pChild->nPid = nPid;
    pChild->bRunning = true;
    return true;
}

// Collects a child that has ended (true), noting on the way whether job control has
// stopped or continued it.
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

// Path of rastertovelnora: beside this program's own executable.
std::string FilterProgramPath()
{
    char szSelf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    if (n <= 0)
        return "rastertovelnora";
    std::string self(szSelf, size_t(n));
    return self.substr(0, self.rfind('/') + 1) + "rastertovelnora";
}

// ---------------------------------------------------------------------------------------
// The running job: the document's bytes (or Ghostscript's pages) moved to the filter

struct RunningJob {
    SignalState* pSignals = nullptr;
    Child filter{"rastertovelnora"};
    Child gs{"gs"};
    Fd source;                 // the document, or the reading end of Ghostscript's pages
    Fd sink;                   // the writing end of the filter's standard input
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kPumpSize);
    size_t nStart = 0;         // bytes of buffer not yet written: [nStart, nEnd)
    size_t nEnd = 0;
    PageCounter counter;
    bool bCountPages = false;  // the source is Ghostscript
    bool bInputFailed = false; // the document could not be read to its end
    bool bGsFailed = false;    // Ghostscript failed by itself (reported)
};

void StopFeeding(RunningJob* pJob)
{
    pJob->source.Close();
    pJob->sink.Close();
    pJob->nStart = pJob->nEnd = 0;
}

void Cancel(RunningJob* pJob)
{
    Say("INFO: Job cancelled (" + SignalName(pJob->pSignals->nCancelSignal) + "); closing it for the printer");
    StopChild(&pJob->gs, SIGTERM);
    // rastertovelnora's own cancellation closes a job already begun; between pages it
    // ignores SIGTERM and ends the job at the end of its input, which follows at once.
    StopChild(&pJob->filter, SIGTERM);
    StopFeeding(pJob);
}

// The filter no longer takes pages: there is nothing more to render. A Ghostscript whose
// pages have all been read is left to end by itself: its status still tells whether the
// document was rendered whole.
void DropFilterInput(RunningJob* pJob)
{
    const bool bStillRendering = pJob->source.fd >= 0;
    StopFeeding(pJob);
    if (bStillRendering)
        StopChild(&pJob->gs, SIGTERM);
}

// Ghostscript writes only to the wrapper's pipe, which stays open until the wrapper
// stops it: an unsuccessful end it was not stopped for is its own failure.
void ReapChildren(RunningJob* pJob)
{
    if (ReapChild(&pJob->gs) && !pJob->gs.bStopped && !EndedWell(&pJob->gs)) {
        pJob->bGsFailed = true;
        Say("ERROR: Ghostscript could not render the document (" + HowItEnded(&pJob->gs) + ")");
    }
    if (ReapChild(&pJob->filter))
        DropFilterInput(pJob);
}

void ReadSource(RunningJob* pJob)
{
    const ssize_t n = read(pJob->source.fd, pJob->buffer.data(), pJob->buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n < 0) {
        Say("ERROR: Cannot read the document: " + std::string(strerror(errno)));
        pJob->bInputFailed = !pJob->bCountPages;
    }
    if (n <= 0) {
        pJob->source.Close();
        pJob->sink.Close();   // the end of the pages for the filter
        return;
    }
    pJob->nStart = 0;
    pJob->nEnd = size_t(n);
    if (!pJob->bCountPages)
        return;
    const int nBefore = pJob->counter.nPages;
    CountPages(&pJob->counter, pJob->buffer.data(), size_t(n));
    for (int nPage = nBefore + 1; nPage <= pJob->counter.nPages; ++nPage)
        Say("INFO: Rendered page " + std::to_string(nPage));
}

void WriteSink(RunningJob* pJob)
{
    const ssize_t n = write(pJob->sink.fd, pJob->buffer.data() + pJob->nStart, pJob->nEnd - pJob->nStart);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n < 0) {
        DropFilterInput(pJob);   // EPIPE: the filter has ended or closed its input
        return;
    }
    pJob->nStart += size_t(n);
    if (pJob->nStart == pJob->nEnd) {
        pJob->nStart = pJob->nEnd = 0;
        if (pJob->source.fd < 0)
            pJob->sink.Close();
    }
}

// Moves the bytes until both children have ended, acting on signals between steps.
void RunLoop(RunningJob* pJob)
{
    SignalState* pSignals = pJob->pSignals;
    bool bCancelled = false;
    while (pJob->filter.bRunning || pJob->gs.bRunning) {
        pollfd fds[3] = {{pSignals->fdSignal, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0}};
        const bool bBufferEmpty = pJob->nStart == pJob->nEnd;
        if (bBufferEmpty)
            fds[1].fd = pJob->source.fd;
        else
            fds[2].fd = pJob->sink.fd;
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            ReadSignals(pSignals);
            if (pSignals->nCancelSignal != 0 && !bCancelled) {
                bCancelled = true;
                Cancel(pJob);
            }
            if (pSignals->bChildEvent) {
                pSignals->bChildEvent = false;
                ReapChildren(pJob);
            }
            if (pSignals->bContinue) {
                pSignals->bContinue = false;
                ContinueChild(&pJob->gs);
                ContinueChild(&pJob->filter);
            }
            continue;   // the descriptors may have changed
        }
        if (fds[1].fd >= 0 && fds[1].revents)
            ReadSource(pJob);
        else if (fds[2].fd >= 0 && fds[2].revents)
            WriteSink(pJob);
    }
}

// Makes a pipe whose reading end is the child's and writing end ours (or the other way
// round), both closed on exec, with room for a page band.
bool MakePipe(Fd* pRead, Fd* pWrite)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fcntl(fds[0], F_SETPIPE_SZ, kPipeSize);
    pRead->Reset(fds[0]);
    pWrite->Reset(fds[1]);
    return true;
}

// Starts rastertovelnora on the job's rc file; *pJob->sink becomes its standard input.
bool StartFilter(RunningJob* pJob, const std::string& jobRc, const std::string& paperInf)
{
    Fd filterIn;
    if (!MakePipe(&filterIn, &pJob->sink)) {
        Fail("Cannot make a pipe: " + std::string(strerror(errno)));
        return false;
    }
    fcntl(pJob->sink.fd, F_SETFL, O_NONBLOCK);
    std::vector<std::string> argv = {FilterProgramPath(), "-pi", paperInf, "-rc", jobRc};
    return StartChild(&pJob->filter, argv, EnvironmentWith({}), {filterIn.fd, -1, -1});
}

// Starts Ghostscript on the document; *pJob->source becomes its pages.
bool StartGhostscript(RunningJob* pJob, DocKind kind, const std::string& document, const PageSetup& page,
                      const PrivateDir& dir)
{
    Fd pagesOut;
    if (!MakePipe(&pJob->source, &pagesOut)) {
        Fail("Cannot make a pipe: " + std::string(strerror(errno)));
        return false;
    }
    fcntl(pJob->source.fd, F_SETFL, O_NONBLOCK);
    // A relative name that began with "-" or "%" would read as an option or a device.
    const std::string path = document[0] == '/' ? document : "./" + document;
    std::vector<std::string> argv = {
        "gs", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dQUIET", "-sDEVICE=ppmraw", "-r600",
        "-g" + std::to_string(page.nPageWidth) + "x" + std::to_string(page.nPageHeight), "-dFIXEDMEDIA",
        kind == DocKind::kPdf ? "-dPDFFitPage" : "-dFitPage",
        "-sOutputFile=/dev/fd/" + std::to_string(kGhostscriptPagesFd), path};
    // Its temporary files go to the private folder, which is removed on every exit; it
    // does not need the PIN.
    std::vector<std::string> env = EnvironmentWith({{"TMPDIR", dir.Path()}, {"PASSWORD", ""}});
    pJob->bCountPages = true;
    // Its standard output, where it reports a document's errors, goes to standard error:
    // nothing it prints can mix with the job.
    return StartChild(&pJob->gs, argv, env, {-1, STDERR_FILENO, pagesOut.fd});
}

// The exit status of a job whose children have ended.
int FinalStatus(const RunningJob& job)
{
    const Child& filter = job.filter;
    const bool bFilterExited = WIFEXITED(filter.nWaitStatus);
    const int nFilterStatus = bFilterExited ? WEXITSTATUS(filter.nWaitStatus) : -1;
    if (job.pSignals->nCancelSignal != 0)
        return bFilterExited && nFilterStatus != 0 ? nFilterStatus : kStatusPrinted;
    if (job.bGsFailed)
        return kStatusRefused;
    // A document Ghostscript reads without error but without a page never prints either.
    if (job.bCountPages && job.counter.nPages == 0 && !job.counter.bLost && !job.gs.bStopped)
        return Refuse("Ghostscript found no page to print in the document");
    if (!bFilterExited)
        return Fail("rastertovelnora ended by " + HowItEnded(&filter));
    if (nFilterStatus == 0 && job.bInputFailed)
        return kStatusFailed;
    return nFilterStatus;
}

// The environment rastertovelnora and the page-size check see: OWNER, TITLE, PASSWORD
// and VELNORA_ROOT of the request.
void SetJobEnvironment(const JobRequest& req)
{
    if (!req.szOwner.empty())
        setenv("OWNER", req.szOwner.c_str(), 1);
    const std::string& title = req.szTitle.empty() ? req.szFileName : req.szTitle;
    if (!title.empty())
        setenv("TITLE", title.c_str(), 1);
    if (!req.szPin.empty())
        setenv("PASSWORD", req.szPin.c_str(), 1);
    if (!req.szModelRoot.empty())
        setenv("VELNORA_ROOT", req.szModelRoot.c_str(), 1);
}

int OpenDocument(const JobRequest& req, Fd* pIn)
{
    if (req.szInput.empty()) {
        pIn->Reset(dup(STDIN_FILENO));
        fcntl(pIn->fd, F_SETFD, FD_CLOEXEC);
        return 0;
    }
    pIn->Reset(open(req.szInput.c_str(), O_RDONLY | O_CLOEXEC));
    if (pIn->fd < 0)
        return Fail("Cannot open the document " + Printable(req.szInput, 200) + ": " + strerror(errno));
    return 0;
}

std::string KindName(DocKind kind)
{
    return kind == DocKind::kPdf ? "PDF" : "PostScript";
}

// Renders a PDF or PostScript document into the filter. The document comes from the
// named file, or is spooled from standard input first.
int PrintRendered(RunningJob* pJob, DocKind kind, const std::vector<uint8_t>& head, Fd* pIn,
                  const JobRequest& req, const PrivateDir& dir, const std::string& jobRc)
{
    std::string document = req.szInput;
    if (document.empty()) {
        document = dir / "document";
        const int nStatus = SpoolDocument(head, pIn->fd, document, pJob->pSignals);
        if (nStatus < 0)
            return CancelledEarly(pJob->pSignals);
        if (nStatus != 0)
            return nStatus;
    }
    pIn->Close();
    PageSetup page{};
    const int nStatus = ReadPageSize(jobRc, req.szPaperInf, &page);
    if (nStatus != 0)
        return nStatus;
    if (!StartFilter(pJob, jobRc, req.szPaperInf))
        return kStatusFailed;
    Say("INFO: Rendering the " + KindName(kind) + " document with Ghostscript (" +
        std::to_string(page.nPageWidth) + "x" + std::to_string(page.nPageHeight) + " pixels at 600 dpi)");
    if (!StartGhostscript(pJob, kind, document, page, dir)) {
        StopFeeding(pJob);   // the filter sees the end of its input and ends
        RunLoop(pJob);
        return kStatusFailed;
    }
    RunLoop(pJob);
    return FinalStatus(*pJob);
}

// Passes PPM pages to the filter as they come: the head, then the rest of the input.
int PrintPages(RunningJob* pJob, const std::vector<uint8_t>& head, Fd* pIn, const JobRequest& req,
               const std::string& jobRc)
{
    if (!StartFilter(pJob, jobRc, req.szPaperInf))
        return kStatusFailed;
    std::copy(head.begin(), head.end(), pJob->buffer.begin());
    pJob->nEnd = head.size();
    pJob->source.Reset(pIn->fd);
    pIn->fd = -1;
    RunLoop(pJob);
    return FinalStatus(*pJob);
}

// A whole job once the command line is read: 0 or the exit status.
int RunJob(const JobRequest& req, SignalState* pSignals)
{
    if (access(FilterProgramPath().c_str(), X_OK) != 0)
        return Fail("Cannot run " + FilterProgramPath() + ": " + strerror(errno));
    Fd in;
    int nStatus = OpenDocument(req, &in);
    if (nStatus != 0)
        return nStatus;
    PrivateDir dir;
    if (!dir.Make())
        return Fail("Cannot make a temporary folder: " + std::string(strerror(errno)));
    const std::string jobRc = dir / "job.rc";
    nStatus = WriteJobRc(req.szRcFile, req.rcLines, jobRc);
    if (nStatus != 0)
        return nStatus;

    std::vector<uint8_t> head;
    nStatus = ReadHead(in.fd, &head, pSignals);
    if (nStatus < 0)
        return CancelledEarly(pSignals);
    if (nStatus != 0)
        return nStatus;
    const DocKind kind = KindOf(head);
    if (kind == DocKind::kEmpty)
        return Refuse("The document is empty: nothing to print");
    if (kind == DocKind::kUnknown)
        return Refuse("Cannot print a document that begins with \"" +
                      Printable(std::string_view(reinterpret_cast<const char*>(head.data()), head.size())) +
                      "\": it is neither PDF, PostScript nor PPM pages (\"P6\")");

    RunningJob job;
    job.pSignals = pSignals;
    if (kind == DocKind::kPpm)
        return PrintPages(&job, head, &in, req, jobRc);
    return PrintRendered(&job, kind, head, &in, req, dir, jobRc);
}

}  // namespace

int main(int argc, char** argv)
{
    OpenStandardDescriptors();
    SignalState signals;
    if (!TakeSignals(&signals))
        return Fail("Cannot watch for signals: " + std::string(strerror(errno)));
    JobRequest req;
    int nStatus = ReadArguments(argc, argv, &req);
    if (nStatus != 0)
        return nStatus;
    nStatus = ApplyJobOptions(&req);
    if (nStatus != 0)
        return nStatus;
    SetJobEnvironment(req);
    nStatus = RunJob(req, &signals);
    close(signals.fdSignal);
    return nStatus;
}
