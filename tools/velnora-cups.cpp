// velnora-cups: the queue filter's CUPS front end, the filter a queue's PPD names in its
// *cupsFilter2 lines. CUPS starts it as
//
//   velnora-cups JOB-ID USER TITLE COPIES OPTIONS [FILE]
//
// with argv[0] the queue's name, the queue's PPD in $PPD and the document in FILE or on
// standard input. The job's settings are the PPD's defaults (*Default... lines: CUPS never
// passes them), then the IPP attributes among the options (media, sides,
// print-color-mode, media-source, media-type, print-quality, collate,
// multiple-document-handling, page-ranges, job-password), then the PPD options themselves
// (PageSize, Duplex, ColorModel, InputSlot, MediaType, cupsPrintQuality, TonerSaveMode,
// VNSkipBlank, Collate), so a PPD option given wins. Other options are passed over; a
// value a known option does not take refuses the job ("ERROR: ..." and status 2).
//
// The program, the paper-information file and the model tables are those of the install
// prefix this program stands in: PREFIX/lib/cups/filter/velnora-cups finds
// PREFIX/bin/rastertovelnora, PREFIX/share/velnora/paperinfo and
// PREFIX/share/velnora/model, wherever the prefix was moved. The PPD's *VelnoraModel
// names the model. Standard error carries CUPS's message lines and a "PAGE: n copies"
// line for each page handed to rastertovelnora; a cancel (SIGTERM) closes the job as
// under LPRng (see velnora-filter). Exit status: velnora-filter's.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <cups/ppd.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "programfolder.h"
#include "children.h"
#include "fileptr.h"
#include "jobrequest.h"
#include "ppdchoices.h"
#include "queuejob.h"
#include "queuemessage.h"
#include "vnresource.h"

// The install layout, relative to the prefix (GNUInstallDirs as configured).
#ifndef VELNORA_BINDIR
#define VELNORA_BINDIR "bin"
#endif
#ifndef VELNORA_DATADIR
#define VELNORA_DATADIR "share"
#endif
constexpr std::string_view kFilterDir = "/lib/cups/filter";   // where CUPS looks for filters

constexpr WordAlias tblBooleanAlias[] = {{"true", "ON"}, {"false", "OFF"}, {"on", "ON"}, {"off", "OFF"},
                                         {"yes", "ON"}, {"no", "OFF"}};
constexpr WordAlias tblSidesAlias[] = {{"one-sided", "None"}, {"two-sided-long-edge", "DuplexNoTumble"},
                                       {"two-sided-short-edge", "DuplexTumble"}};
constexpr WordAlias tblColorModeAlias[] = {{"color", "FullColor"}, {"monochrome", "Mono"}, {"auto", "Auto"},
                                           {"auto-monochrome", "Auto"}, {"process-monochrome", "Mono"}};
constexpr WordAlias tblPrintQualityAlias[] = {{"3", "Normal"}, {"4", "Normal"}, {"5", "Fine"}};
constexpr WordAlias tblCollateAlias[] = {{"separate-documents-collated-copies", "ON"},
                                         {"separate-documents-uncollated-copies", "OFF"},
                                         {"single-document", "ON"}};
enum class CupsKind {
    kChoice,    // a row's word, or one of the aliases
    kPageSize,  // a row-1 word, or a PWG, legacy or PPD size name of the same sheet
    kMedia,     // IPP media: a size, a source or a type, or several joined by commas
    kPin,       // job-password: four digits
    kPages,     // page-ranges
};

struct CupsOption {
    const char* pszName;
    bool bPpd;        // a PPD option (applied after the IPP attributes)
    CupsKind kind;
    int nRow;
    std::span<const WordAlias> aliases;
    std::span<const PpdChoice> ppdChoices = {};   // the generated PPD's names where they are not the row's words
};

constexpr CupsOption tblCupsOptions[] = {
    {"media", false, CupsKind::kMedia, kRowPageSize, {}},
    {"sides", false, CupsKind::kChoice, kRowDuplex, tblSidesAlias},
    {"print-color-mode", false, CupsKind::kChoice, kRowMonoColor, tblColorModeAlias},
    {"media-source", false, CupsKind::kChoice, kRowInputSlot, tblSourceAlias},
    {"media-type", false, CupsKind::kChoice, kRowMediaType, tblTypeAlias},
    {"print-quality", false, CupsKind::kChoice, kRowResolution, tblPrintQualityAlias},
    {"collate", false, CupsKind::kChoice, kRowCollate, tblBooleanAlias},
    {"multiple-document-handling", false, CupsKind::kChoice, kRowCollate, tblCollateAlias},
    {"page-ranges", false, CupsKind::kPages, -1, {}},
    {"job-password", false, CupsKind::kPin, -1, {}},
    {"PageSize", true, CupsKind::kPageSize, kRowPageSize, {}},
    {"PageRegion", true, CupsKind::kPageSize, kRowPageSize, {}},
    {"Duplex", true, CupsKind::kChoice, kRowDuplex, {}},
    {"ColorModel", true, CupsKind::kChoice, kRowMonoColor, {}, tblPpdColorModel},
    {"InputSlot", true, CupsKind::kChoice, kRowInputSlot, tblSourceAlias},
    {"MediaType", true, CupsKind::kChoice, kRowMediaType, tblTypeAlias},
    {"cupsPrintQuality", true, CupsKind::kChoice, kRowResolution, {}, tblPpdQuality},
    {"TonerSaveMode", true, CupsKind::kChoice, kRowTonerSave, tblBooleanAlias, tblPpdBoolean},
    {"VNSkipBlank", true, CupsKind::kChoice, kRowSkipBlank, tblBooleanAlias, tblPpdBoolean},
    {"Collate", true, CupsKind::kChoice, kRowCollate, tblBooleanAlias, tblPpdBoolean},
};

// Where this install keeps what the job needs.
struct InstallPaths {
    std::string szFilter;      // rastertovelnora
    std::string szPaperInf;    // the paper-information file
    std::string szModelRoot;   // the model tables
};

static bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The prefix from this program's own path, PREFIX/lib/cups/filter/velnora-cups. false
// when the program does not stand in a filter folder.
static bool FindInstall(InstallPaths* pPaths)
{
    const std::string dir = ProgramFolder();
    if (dir.size() < kFilterDir.size() || dir.compare(dir.size() - kFilterDir.size(), kFilterDir.size(), kFilterDir) != 0)
        return false;
    const std::string prefix = dir.substr(0, dir.size() - kFilterDir.size());
    const std::string data = prefix + "/" VELNORA_DATADIR "/velnora";
    pPaths->szFilter = prefix + "/" VELNORA_BINDIR "/rastertovelnora";
    pPaths->szPaperInf = data + "/paperinfo";
    pPaths->szModelRoot = data + "/model";
    return true;
}

// The row's word equal to the value without regard to case; null when it has none.
static const char* RowWord(int nRow, std::string_view value)
{
    const ParamEntry& row = tblVnParams[nRow];
    for (int i = 0; i < row.nItemCount; ++i)
        if (SameText(row.pCmdItem[i], value))
            return row.pCmdItem[i];
    return nullptr;
}

static const char* ChoiceWord(const CupsOption& option, std::string_view value)
{
    for (const PpdChoice& choice : option.ppdChoices)
        if (SameText(choice.pszChoice, value))
            return RowWord(option.nRow, choice.pszWord);
    for (const WordAlias& alias : option.aliases)
        if (SameText(alias.pszValue, value))
            return RowWord(option.nRow, alias.pszWord);
    return RowWord(option.nRow, value);
}

// The sheet size in points of a page-size word, from the model's PaperDimension table.
static bool SheetOf(const std::string& modelRoot, const std::string& model, const char* pszWord, int* pnWidth,
                    int* pnHeight)
{
    FilePtr fp(fopen((modelRoot + "/" + model + "/bin/inf/PaperDimension").c_str(), "re"));
    char szLine[1024];
    const std::string key = std::string(pszWord) + ":";
    while (fp && fgets(szLine, sizeof szLine, fp.get())) {
        char szWord[256];
        if (sscanf(szLine, "%255s %d %d", szWord, pnWidth, pnHeight) == 3 && key == szWord)
            return true;
    }
    return false;
}

// The page-size word of a PWG, legacy or PPD size name: the model's sheet of the same
// size, within a point.
static const char* PageSizeWord(std::string_view value, const std::string& modelRoot, const std::string& model)
{
    if (const char* pszWord = RowWord(kRowPageSize, value))
        return pszWord;
    const std::string name(value);
    const pwg_media_t* pMedia = pwgMediaForPWG(name.c_str());
    if (!pMedia)
        pMedia = pwgMediaForLegacy(name.c_str());
    if (!pMedia)
        pMedia = pwgMediaForPPD(name.c_str());
    if (!pMedia)
        return nullptr;
    const double dWidthPt = pMedia->width * 72.0 / 2540.0, dHeightPt = pMedia->length * 72.0 / 2540.0;
    const ParamEntry& row = tblVnParams[kRowPageSize];
    for (int i = 0; i < row.nItemCount; ++i) {
        int nWidth = 0, nHeight = 0;
        if (SheetOf(modelRoot, model, row.pCmdItem[i], &nWidth, &nHeight) && std::fabs(nWidth - dWidthPt) <= 1.5 &&
            std::fabs(nHeight - dHeightPt) <= 1.5)
            return row.pCmdItem[i];
    }
    return nullptr;
}

struct CupsJob {
    JobRequest req;
    std::string szModelRoot;
};

static int RefuseValue(const char* pszName, std::string_view value)
{
    return Refuse("Invalid value \"" + Printable(value) + "\" for the option " + pszName);
}

static void SetWord(CupsJob* pJob, int nRow, const char* pszWord)
{
    pJob->req.rcLines.push_back(std::string(tblVnParams[nRow].pszName) + "=" + pszWord);
}

// IPP media: each comma-separated part a size, a source or a type.
static int ApplyMedia(CupsJob* pJob, std::string_view value)
{
    size_t nStart = 0;
    while (nStart <= value.size()) {
        size_t nEnd = value.find(',', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = value.size();
        const std::string_view part = value.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        const char* pszSize = PageSizeWord(part, pJob->szModelRoot, pJob->req.szModel);
        const CupsOption source = {"media-source", false, CupsKind::kChoice, kRowInputSlot, tblSourceAlias};
        const CupsOption type = {"media-type", false, CupsKind::kChoice, kRowMediaType, tblTypeAlias};
        if (pszSize)
            SetWord(pJob, kRowPageSize, pszSize);
        else if (const char* pszSource = ChoiceWord(source, part))
            SetWord(pJob, kRowInputSlot, pszSource);
        else if (const char* pszType = ChoiceWord(type, part))
            SetWord(pJob, kRowMediaType, pszType);
        else
            return RefuseValue("media", part);
    }
    return 0;
}

static int ApplyCupsOption(CupsJob* pJob, const CupsOption& option, std::string_view value)
{
    switch (option.kind) {
    case CupsKind::kPin:
        if (value.size() != 4 || value.find_first_not_of("0123456789") != std::string_view::npos)
            return Refuse("The job-password of a secure job must be exactly four digits");
        pJob->req.szPin = std::string(value);
        return 0;
    case CupsKind::kPages:
        return ApplyJobOption("pages=" + std::string(value), &pJob->req);
    case CupsKind::kMedia:
        return ApplyMedia(pJob, value);
    case CupsKind::kPageSize: {
        const char* pszWord = PageSizeWord(value, pJob->szModelRoot, pJob->req.szModel);
        if (!pszWord)
            return RefuseValue(option.pszName, value);
        SetWord(pJob, option.nRow, pszWord);
        return 0;
    }
    case CupsKind::kChoice:
        break;
    }
    const char* pszWord = ChoiceWord(option, value);
    if (!pszWord)
        return RefuseValue(option.pszName, value);
    SetWord(pJob, option.nRow, pszWord);
    return 0;
}

static const CupsOption* FindCupsOption(std::string_view name)
{
    for (const CupsOption& option : tblCupsOptions)
        if (name == option.pszName)
            return &option;
    return nullptr;
}

// The PPD's defaults, as its *Default lines give them, for the options the filter knows.
static int ApplyPpdDefaults(CupsJob* pJob, ppd_file_t* pPpd)
{
    for (ppd_option_t* pOption = ppdFirstOption(pPpd); pOption; pOption = ppdNextOption(pPpd)) {
        const CupsOption* pKnown = FindCupsOption(pOption->keyword);
        if (!pKnown || !pKnown->bPpd || pOption->defchoice[0] == '\0')
            continue;
        const int nStatus = ApplyCupsOption(pJob, *pKnown, pOption->defchoice);
        if (nStatus != 0)
            return nStatus;
    }
    return 0;
}

// The job's options: the IPP attributes first, then the PPD options, which win.
static int ApplyGivenOptions(CupsJob* pJob, const char* pszOptions)
{
    cups_option_t* pOptions = nullptr;
    const int nCount = cupsParseOptions(pszOptions, 0, &pOptions);
    int nStatus = 0;
    for (int nPass = 0; nPass < 2 && nStatus == 0; ++nPass) {
        for (int i = 0; i < nCount && nStatus == 0; ++i) {
            const CupsOption* pKnown = FindCupsOption(pOptions[i].name);
            if (pKnown && pKnown->bPpd == (nPass == 1))
                nStatus = ApplyCupsOption(pJob, *pKnown, pOptions[i].value);
        }
    }
    cupsFreeOptions(nCount, pOptions);
    return nStatus;
}

// The queue's PPD: its model and its defaults. 0 or the exit status (reported).
static int ReadQueuePpd(CupsJob* pJob)
{
    const char* pszPpd = getenv("PPD");
    if (!pszPpd || !*pszPpd)
        return Fail("The queue has no PPD (PPD is not set)");
    ppd_file_t* pPpd = ppdOpenFile(pszPpd);
    if (!pPpd)
        return Fail("Cannot read the queue's PPD " + Printable(pszPpd, 200) + ": " +
                    ppdErrorString(ppdLastError(nullptr)));
    const ppd_attr_t* pModel = ppdFindAttr(pPpd, "VelnoraModel", nullptr);
    int nStatus = 0;
    if (!pModel || !pModel->value || !*pModel->value)
        nStatus = Fail("The queue's PPD " + Printable(pszPpd, 200) + " names no model (*VelnoraModel)");
    else
        pJob->req.szModel = pModel->value;
    if (nStatus == 0)
        nStatus = ApplyPpdDefaults(pJob, pPpd);
    ppdClose(pPpd);
    return nStatus;
}

// Fills the request from CUPS's arguments and the PPD. 0 or the exit status (reported).
static int ReadCupsJob(int argc, char** argv, CupsJob* pJob)
{
    if (argc < 6 || argc > 7) {
        Say("Usage: velnora-cups job-id user title copies options [file]");
        return kStatusFailed;
    }
    InstallPaths paths;
    if (!FindInstall(&paths))
        return Fail("velnora-cups must stand in PREFIX/lib/cups/filter of its install");
    pJob->req.szFilterProgram = paths.szFilter;
    pJob->req.szPaperInf = paths.szPaperInf;
    pJob->req.szModelRoot = paths.szModelRoot;
    pJob->szModelRoot = paths.szModelRoot;
    pJob->req.szOwner = argv[2];
    pJob->req.szTitle = argv[3];
    if (argc == 7)
        pJob->req.szInput = argv[6];
    int nStatus = ReadQueuePpd(pJob);
    if (nStatus == 0)
        nStatus = ApplyJobOption("copies=" + std::string(argv[4]), &pJob->req);
    if (nStatus == 0)
        nStatus = ApplyGivenOptions(pJob, argv[5]);
    return nStatus;
}

int main(int argc, char** argv)
{
    OpenStandardDescriptors();
    SignalState signals;
    if (!TakeSignals(&signals))
        return Fail("Cannot watch for signals: " + std::string(strerror(errno)));
    CupsJob job;
    int nStatus = ReadCupsJob(argc, argv, &job);
    if (nStatus != 0)
        return nStatus;
    SetJobEnvironment(job.req);
    nStatus = RunJob(job.req, &signals, {.bPageLines = true});
    close(signals.fdSignal);
    return nStatus;
}
