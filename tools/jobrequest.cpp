// jobrequest: the job request, its LPRng front end and the job options. Owns the table of
// job options (tblJobOptions) with the words users write for the parameter table's
// choices, and the writing of the job's rc file. Called by the queue filter's main before
// any child is started.
//
// LPRng's options are taken as -Xvalue or -X value; letters LPRng passes with a value
// (kValueLetters) take the next argument in the second form, other letters are ignored.
// An argument equal to the -a accounting file is LPRng's "$-a" and not the document.
#include "jobrequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>

#include "arrange.h"
#include "descriptor.h"
#include "fileptr.h"
#include "queuemessage.h"
#include "tempfile.h"
#include "vnresource.h"

constexpr int kMaxCopies = 999;

// LPRng's option letters that carry a value (filter_options and bk_filter_options, and
// A, K, N of the control file); -c is LPRng's only flag.
constexpr std::string_view kValueLetters = "ACFHJKLNPQRSZadefhijklnswxy";

static std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

static std::string Trimmed(std::string_view text)
{
    const size_t nFirst = text.find_first_not_of(" \t");
    if (nFirst == std::string_view::npos)
        return "";
    const size_t nLast = text.find_last_not_of(" \t");
    return std::string(text.substr(nFirst, nLast - nFirst + 1));
}

static bool IsDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ---------------------------------------------------------------------------------------
// Job options

// What a user writes for a choice, and the parameter table's word it selects.
struct WordAlias {
    const char* pszValue;
    const char* pszWord;
};

constexpr WordAlias tblOnOff[] = {{"on", "ON"}, {"off", "OFF"}};
constexpr WordAlias tblDuplexAlias[] = {{"none", "None"}, {"long", "DuplexNoTumble"}, {"short", "DuplexTumble"}};
constexpr WordAlias tblColorAlias[] = {{"color", "FullColor"}, {"mono", "Mono"}, {"auto", "Auto"}};
constexpr WordAlias tblQualityAlias[] = {{"normal", "Normal"}, {"fine", "Fine"}};

enum class OptionKind { kPin, kCopies, kPages, kChoice };

// One job option key: the row of tblVnParams it sets and the values it takes (the
// aliases, or the row's own words when there are none).
struct JobOption {
    const char* pszName;
    OptionKind kind;
    int nRow;                          // -1 for pin
    std::span<const WordAlias> aliases;
};

constexpr JobOption tblJobOptions[] = {
    {"pin", OptionKind::kPin, -1, {}},
    {"copies", OptionKind::kCopies, kRowCopies, {}},
    {"pages", OptionKind::kPages, -1, {}},
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

static const JobOption* FindJobOption(const std::string& name)
{
    for (const JobOption& option : tblJobOptions)
        if (name == option.pszName)
            return &option;
    return nullptr;
}

static std::string JobOptionNames()
{
    std::string names;
    for (const JobOption& option : tblJobOptions)
        names += std::string(names.empty() ? "" : ", ") + option.pszName;
    return names;
}

// The row's word equal to the given one without regard to case; null when it has none.
static const char* RowWord(int nRow, std::string_view word)
{
    const ParamEntry& row = tblVnParams[nRow];
    for (int i = 0; i < row.nItemCount; ++i)
        if (row.pCmdItem[i] && Lower(row.pCmdItem[i]) == Lower(word))
            return row.pCmdItem[i];
    return nullptr;
}

// The values a choice option takes, for messages.
static std::string ChoiceValues(const JobOption& option)
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
static const char* ChoiceWord(const JobOption& option, const std::string& value)
{
    if (option.aliases.empty())
        return RowWord(option.nRow, value);
    for (const WordAlias& alias : option.aliases)
        if (Lower(value) == alias.pszValue)
            return RowWord(option.nRow, alias.pszWord);
    return nullptr;
}

static int ApplyPin(const std::string& value, JobRequest* pReq)
{
    // The PIN itself is never shown: the message reaches logs other users may read.
    if (value.size() != 4 || !IsDigits(value))
        return Refuse("The PIN of a secure job must be exactly four digits (pin=NNNN)");
    pReq->szPin = value;
    return 0;
}

static int ApplyPages(const std::string& value, JobRequest* pReq)
{
    std::vector<PageRange> ranges;
    if (!ReadPageRanges(value, &ranges))
        return Refuse("Invalid value \"" + Printable(value) +
                      "\" for pages; valid values: pages and ranges from 1, such as 1-3,7,10-");
    pReq->szPageRanges = value;
    return 0;
}

static int ApplyCopies(const JobOption& option, const std::string& value, JobRequest* pReq)
{
    const long nCount = IsDigits(value) && value.size() <= 4 ? strtol(value.c_str(), nullptr, 10) : 0;
    if (nCount < 1 || nCount > kMaxCopies)
        return Refuse("Invalid value \"" + Printable(value) + "\" for copies; valid values: 1 to " +
                      std::to_string(kMaxCopies));
    pReq->rcLines.push_back(std::string(tblVnParams[option.nRow].pszName) + "=" + std::to_string(nCount));
    return 0;
}

static int ApplyChoice(const JobOption& option, const std::string& value, JobRequest* pReq)
{
    const char* pszWord = ChoiceWord(option, value);
    if (!pszWord)
        return Refuse("Invalid value \"" + Printable(value) + "\" for " + option.pszName + "; valid values: " +
                      ChoiceValues(option));
    pReq->rcLines.push_back(std::string(tblVnParams[option.nRow].pszName) + "=" + pszWord);
    return 0;
}

int ApplyJobOption(std::string_view item, JobRequest* pReq)
{
    const size_t nEqual = item.find('=');
    const std::string name = Lower(Trimmed(item.substr(0, nEqual)));
    const JobOption* pOption = FindJobOption(name);
    if (!pOption)
        return Refuse("Unknown job option \"" + Printable(name) + "\"; valid options: " + JobOptionNames());
    const std::string value = nEqual == std::string_view::npos ? "" : Trimmed(item.substr(nEqual + 1));
    switch (pOption->kind) {
    case OptionKind::kPin:
        return ApplyPin(value, pReq);
    case OptionKind::kCopies:
        return ApplyCopies(*pOption, value, pReq);
    case OptionKind::kPages:
        return ApplyPages(value, pReq);
    case OptionKind::kChoice:
        break;
    }
    return ApplyChoice(*pOption, value, pReq);
}

// True when the item goes on a "pages=" list: "pages=1-3,7" reaches the filter as the
// items "pages=1-3" and "7", since commas also part the options.
static bool ContinuesPages(std::string_view item)
{
    const std::string text = Trimmed(item);
    return !text.empty() && text.find('=') == std::string::npos && text[0] >= '0' && text[0] <= '9';
}

int ApplyJobOptions(std::string_view list, JobRequest* pReq)
{
    std::vector<std::string> items;
    for (size_t nStart = 0; nStart <= list.size();) {
        size_t nEnd = list.find(',', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = list.size();
        const std::string_view item = list.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (Trimmed(item).empty())
            continue;
        const bool bAfterPages = !items.empty() && Lower(Trimmed(items.back().substr(0, items.back().find('=')))) == "pages";
        if (bAfterPages && ContinuesPages(item))
            items.back() += "," + std::string(item);
        else
            items.emplace_back(item);
    }
    for (const std::string& item : items) {
        const int nStatus = ApplyJobOption(item, pReq);
        if (nStatus != 0)
            return nStatus;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// The LPRng front end

// LPRng's arguments as the command line gives them, before they make a request.
struct LprngArguments {
    std::string szTitle;                   // -J
    std::string szFileName;                // -N: the title when -J is missing
    std::string szAccountingFile;          // -a: also LPRng's bare "$-a", which is not the input
    std::string szJobOptions;              // every -Z, joined with commas
    std::vector<std::string> positional;   // the document, and LPRng's "$-a"
};

// Takes the value of a long option, "--name value" or "--name=value". false when the
// argument is another option; *pbMissing when the value is missing.
static bool TakeLongOption(std::string_view name, int argc, char** argv, int* pIndex, std::string* pValue,
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

// Stores one LPRng option's value where the request uses it; others are passed over.
static void KeepLetterOption(char cLetter, const std::string& value, LprngArguments* pArgs, JobRequest* pReq)
{
    switch (cLetter) {
    case 'n': pReq->szOwner = value; break;
    case 'J': pArgs->szTitle = value; break;
    case 'N': pArgs->szFileName = value; break;
    case 'a': pArgs->szAccountingFile = value; break;
    case 'Z':
        if (!pArgs->szJobOptions.empty())
            pArgs->szJobOptions += ',';
        pArgs->szJobOptions += value;
        break;
    default: break;
    }
}

// A bound's value: a whole number from 0 to kMaxLimit. false when it is not one.
constexpr uint64_t kMaxLimit = 999999999;

static bool ReadLimit(const std::string& value, uint64_t* pnValue)
{
    if (!IsDigits(value) || value.size() > 9)
        return false;
    *pnValue = strtoull(value.c_str(), nullptr, 10);
    return *pnValue <= kMaxLimit;
}

static int RefuseLimit(const char* pszOption, const std::string& value, const char* pszUnit)
{
    return Refuse("Invalid value \"" + Printable(value) + "\" for " + pszOption + "; valid values: 0 (no limit) to " +
                  std::to_string(kMaxLimit) + " " + pszUnit);
}

// Reads the printcap's option at argv[*pIndex] into *pReq, with its value: 0, or the
// status of an unknown option, a missing value or a bad bound (reported).
static int ReadLongOption(int argc, char** argv, int* pIndex, JobRequest* pReq)
{
    const std::string_view arg = argv[*pIndex];
    bool bMissing = false;
    std::string memory, pageSeconds;
    const bool bMemory = TakeLongOption("--gs-memory", argc, argv, pIndex, &memory, &bMissing);
    const bool bPageTime = !bMemory && TakeLongOption("--gs-page-timeout", argc, argv, pIndex, &pageSeconds, &bMissing);
    if (!bMemory && !bPageTime && !TakeLongOption("--rc", argc, argv, pIndex, &pReq->szRcFile, &bMissing) &&
        !TakeLongOption("--pi", argc, argv, pIndex, &pReq->szPaperInf, &bMissing) &&
        !TakeLongOption("--model-root", argc, argv, pIndex, &pReq->szModelRoot, &bMissing))
        return Refuse("Unknown option " + Printable(arg) +
                      " (known: --rc, --pi, --model-root, --gs-memory, --gs-page-timeout)");
    if (bMissing)
        return Refuse("The option " + Printable(arg) + " needs a value");
    uint64_t nValue = 0;
    if (bMemory && !ReadLimit(memory, &nValue))
        return RefuseLimit("--gs-memory", memory, "MiB");
    if (bMemory)
        pReq->nGsMemoryMiB = nValue;
    if (bPageTime && !ReadLimit(pageSeconds, &nValue))
        return RefuseLimit("--gs-page-timeout", pageSeconds, "seconds");
    if (bPageTime)
        pReq->nGsPageSeconds = int(nValue);
    return 0;
}

// Reads the arguments into *pArgs and the printcap's long options into *pReq: 0, or the
// status of a bad command line (reported).
static int ReadArguments(int argc, char** argv, LprngArguments* pArgs, JobRequest* pReq)
{
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (bOptionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            pArgs->positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (arg.substr(0, 2) == "--") {
            const int nStatus = ReadLongOption(argc, argv, &i, pReq);
            if (nStatus != 0)
                return nStatus;
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
        KeepLetterOption(cLetter, value, pArgs, pReq);
    }
    return 0;
}

// The document among the positional arguments: 0, or the status of a second one
// (reported).
static int PickDocument(const LprngArguments& args, JobRequest* pReq)
{
    const std::string* pDocument = nullptr;
    for (const std::string& arg : args.positional) {
        if (!args.szAccountingFile.empty() && arg == args.szAccountingFile)
            continue;
        if (pDocument)
            return Refuse("More than one document named: " + Printable(arg));
        pDocument = &arg;
    }
    if (pDocument && *pDocument != "-")
        pReq->szInput = *pDocument;
    return 0;
}

// The values a job option takes, as --help lists them.
static std::string OptionValues(const JobOption& option)
{
    switch (option.kind) {
    case OptionKind::kPin:
        return "four digits: secure print, the job waits at the printer for this PIN";
    case OptionKind::kCopies:
        return "1 to " + std::to_string(kMaxCopies);
    case OptionKind::kPages:
        return "pages and ranges from 1, such as 1-3,7,10-";
    case OptionKind::kChoice:
        break;
    }
    const ParamEntry& row = tblVnParams[option.nRow];
    std::string values = ChoiceValues(option);
    if (!option.aliases.empty()) {
        values += " (" + std::string(row.pszName) + ":";
        for (const WordAlias& alias : option.aliases)
            values += std::string(" ") + alias.pszWord;
        values += ")";
    } else {
        values += " (" + std::string(row.pszName) + ")";
    }
    return values;
}

std::string UsageText()
{
    std::string text =
        "Usage: velnora-filter --rc RCFILE --pi PAPERINFO [--model-root DIR] [--gs-memory MIB]\n"
        "                      [--gs-page-timeout SECONDS] [LPRng options] [INPUT]\n"
        "\n"
        "Prints a document (PDF, PostScript, EPS, UTF-8 text, PNG, JPEG, PPM pages, or one of\n"
        "these compressed with gzip) on a Velnora printer: the printer job goes to standard\n"
        "output. LPRng starts it as a queue's filter; see velnora-filter(1).\n"
        "\n"
        "  --rc RCFILE              the queue's settings (rastertovelnora's -rc)\n"
        "  --pi PAPERINFO           the paper-information file (rastertovelnora's -pi)\n"
        "  --model-root DIR         the folder of the model tables (DIR/<Model>/bin/inf/...);\n"
        "                           VELNORA_ROOT or /opt/velnora when not given\n"
        "  --gs-memory MIB          Ghostscript's memory (default " +
        std::to_string(kDefaultGsMemoryMiB) +
        ", 0: no limit)\n"
        "  --gs-page-timeout SECS   stop Ghostscript after this long without a page (default " +
        std::to_string(kDefaultGsPageSeconds) +
        ", 0: never)\n"
        "  --help                   this text\n"
        "  -nUSER                   the job's owner\n"
        "  -JTITLE                  the job's name (else -NFILENAME)\n"
        "  -ZKEY=VALUE,...          job options (keys and values in any case):\n";
    for (const JobOption& option : tblJobOptions) {
        std::string name = option.pszName;
        name.resize(std::max<size_t>(name.size() + 1, 12), ' ');
        text += "      " + name + OptionValues(option) + "\n";
    }
    text += "  INPUT                    the document; standard input when missing or \"-\"\n";
    return text;
}

int ReadLprngCommandLine(int argc, char** argv, JobRequest* pReq)
{
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        if (std::string_view(argv[i]) == "--help") {
            const std::string usage = UsageText();
            return WriteAll(STDOUT_FILENO, usage.data(), usage.size()) ? kShowedUsage : kStatusFailed;
        }
    }
    LprngArguments args;
    int nStatus = ReadArguments(argc, argv, &args, pReq);
    if (nStatus != 0)
        return nStatus;
    if (pReq->szRcFile.empty() || pReq->szPaperInf.empty())
        return Refuse("Both --rc RCFILE and --pi PAPERINFO must be given");
    nStatus = PickDocument(args, pReq);
    if (nStatus != 0)
        return nStatus;
    pReq->szTitle = args.szTitle.empty() ? args.szFileName : args.szTitle;
    return ApplyJobOptions(args.szJobOptions, pReq);
}

// ---------------------------------------------------------------------------------------
// The request for rastertovelnora

// The name's first kMaxNameBytes bytes, less the start of a UTF-8 character the cut
// would split (at most three bytes: a character has at most four).
static std::string CutName(const std::string& name)
{
    if (name.size() <= kMaxNameBytes)
        return name;
    size_t nLength = kMaxNameBytes;
    const auto IsContinuation = [&](size_t n) { return (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80; };
    for (int nBack = 0; nBack < 3 && nLength > 0 && IsContinuation(nLength); ++nBack)
        --nLength;
    if (IsContinuation(nLength))
        nLength = kMaxNameBytes;   // not UTF-8 here: the bytes are cut where they are
    return name.substr(0, nLength);
}

void SetJobEnvironment(const JobRequest& req)
{
    if (!req.szOwner.empty())
        setenv("OWNER", CutName(req.szOwner).c_str(), 1);
    if (!req.szTitle.empty())
        setenv("TITLE", CutName(req.szTitle).c_str(), 1);
    if (!req.szPin.empty())
        setenv("PASSWORD", req.szPin.c_str(), 1);
    if (!req.szModelRoot.empty())
        setenv("VELNORA_ROOT", req.szModelRoot.c_str(), 1);
}

// The job's rc file made of the model's section line and the request's lines.
static int WriteModelRc(const JobRequest& req, const std::string& jobRc)
{
    Fd out(open(jobRc.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    std::string text = "[" + req.szModel + "]\n";
    for (const std::string& line : req.rcLines)
        text += line + "\n";
    if (out.fd < 0 || !WriteAll(out.fd, text.data(), text.size()))
        return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
    return 0;
}

int WriteJobRc(const JobRequest& req, const std::string& jobRc)
{
    if (req.szRcFile.empty() && !req.szModel.empty())
        return WriteModelRc(req, jobRc);
    FilePtr in(fopen(req.szRcFile.c_str(), "re"));
    if (!in)
        return Fail("Cannot read the queue's settings " + Printable(req.szRcFile, 200) + ": " + strerror(errno));
    Fd out(open(jobRc.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
    uint8_t buf[8192];
    uint8_t cLast = '\n';
    for (;;) {
        const size_t n = fread(buf, 1, sizeof buf, in.get());
        if (n == 0)
            break;
        if (!WriteAll(out.fd, buf, n))
            return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
        cLast = buf[n - 1];
    }
    if (ferror(in.get()))
        return Fail("Cannot read the queue's settings " + Printable(req.szRcFile, 200) + ": " + strerror(errno));
    std::string tail = cLast == '\n' ? "" : "\n";
    for (const std::string& line : req.rcLines)
        tail += line + "\n";
    if (!WriteAll(out.fd, tail.data(), tail.size()))
        return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
    return 0;
}
