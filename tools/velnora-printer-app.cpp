// velnora-printer-app: a driverless printer. An IPP Everywhere printer application on
// PAPPL: any IPP client (CUPS with "-m everywhere", phones, other systems) prints to it,
// and it sends the printer the job rastertovelnora makes.
//
//   velnora-printer-app server [-o server-port=N] [-o listen-hostname=NAME] ...
//   velnora-printer-app add -d NAME -v DEVICE-URI -m velnora_<model>
//   velnora-printer-app drivers | printers | submit | jobs | cancel | status | shutdown ...
//
// The command line is PAPPL's own (papplMainloop). One driver for each model folder of
// the install (PREFIX/share/velnora/model/<Model>/bin/inf/PaperDimension): its media are
// the paper-information file's sizes that the model's PaperDimension table lists, with
// the margins of its ImagingArea table; its sources and types the parameter table's words
// that have a PWG keyword (ppdchoices.h).
//
// The unit is longer than most because PAPPL's callbacks (the driver, the raster pages,
// the raw documents, the device and the timer) share the job's child process and its
// reader thread: they are kept together where that state is.
//
// Documents: PWG raster, Apple raster, JPEG and PNG reach the driver's raster callbacks;
// each page is written as a binary PPM page of the paper's exact pixel size (cropped or
// padded with white; gray and 1-bit rows expanded to RGB) into velnora-filter, which
// passes PPM pages to rastertovelnora untouched. PDF, the driver's own format, goes to
// velnora-filter as a document, rendered there with Ghostscript. Either way the printer job is what
// rastertovelnora writes for those pixels and settings; it is copied to the printer's
// device as it comes. Cancel-Job sends velnora-filter SIGTERM, which closes the job for
// the printer; a device that fails ends the job as aborted, and the server goes on.
//
// velnora-filter, the paper-information file and the model tables are those of the
// install prefix this program stands in (PREFIX/bin/velnora-printer-app).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <pappl/pappl.h>
#include <span>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "programfolder.h"
#include "papertable.h"
#include "ppdchoices.h"
#include "vnresource.h"

#ifndef VELNORA_BINDIR
#define VELNORA_BINDIR "bin"
#endif
#ifndef VELNORA_DATADIR
#define VELNORA_DATADIR "share"
#endif

extern char** environ;

constexpr int kDpi = 600;   // the filter's pages are 600 dpi whatever the quality

// Where this install keeps what a job needs.
struct InstallPaths {
    std::string szQueueFilter;   // velnora-filter
    std::string szPaperInf;      // the paper-information file
    std::string szModelRoot;     // the model tables
};

// One page size of a model.
struct ModelMedia {
    std::string word;      // the parameter table's word
    std::string pwgName;   // its PWG media name
    int nWidthPx = 0, nHeightPx = 0;   // the page's pixels at 600 dpi (paper-information file)
    pappl_media_col_t col = {};        // size and margins in hundredths of millimetres
};

// One model folder: one driver.
struct Model {
    std::string name;         // the folder's name, the rc file's section
    std::string driverName;   // "velnora_" + the name in lower case
    std::string description;
    std::string deviceId;
    std::vector<ModelMedia> media;
    size_t nDefaultMedia = 0;
};

static InstallPaths g_paths;
static std::vector<Model> g_models;
static std::once_flag g_systemSetUp;

static int PointsToHmm(int nPoints) { return int((nPoints * 2540L + 36) / 72); }

static bool FindInstall(InstallPaths* pPaths)
{
    const std::string bin = ProgramFolder();
    if (bin.empty())
        return false;
    const std::string prefix = bin.substr(0, bin.rfind('/'));
    const std::string data = prefix + "/" VELNORA_DATADIR "/velnora";
    pPaths->szQueueFilter = prefix + "/" VELNORA_BINDIR "/velnora-filter";
    pPaths->szPaperInf = data + "/paperinfo";
    pPaths->szModelRoot = data + "/model";
    return true;
}

static void LoadModel(const std::string& name, const PaperTable& rasters)
{
    const std::string inf = g_paths.szModelRoot + "/" + name + "/bin/inf/";
    PaperTable sheets, areas;
    if (!ReadPaperTable(inf + "PaperDimension", &sheets))
        return;   // not a model folder
    ReadPaperTable(inf + "ImagingArea", &areas);
    Model model;
    model.name = name;
    model.driverName = "velnora_";
    for (const char c : name)
        model.driverName += char(tolower(static_cast<unsigned char>(c)));
    model.description = "Velnora " + name;
    model.deviceId = "MFG:Velnora;MDL:" + name + ";CMD:PJL;";
    const ParamEntry& row = tblVnParams[kRowPageSize];
    const std::string defWord = row.pCmdItem[row.nIndex >= 0 ? row.nIndex : 0];
    for (int i = 0; i < row.nItemCount && model.media.size() < PAPPL_MAX_MEDIA; ++i) {
        const auto raster = rasters.find(row.pCmdItem[i]);
        const auto sheet = sheets.find(row.pCmdItem[i]);
        if (raster == rasters.end() || sheet == sheets.end() || raster->second.size() < 2 || sheet->second.size() < 2)
            continue;
        ModelMedia media;
        media.word = row.pCmdItem[i];
        media.nWidthPx = raster->second[0];
        media.nHeightPx = raster->second[1];
        media.col.size_width = PointsToHmm(sheet->second[0]);
        media.col.size_length = PointsToHmm(sheet->second[1]);
        const pwg_media_t* pPwg = pwgMediaForSize(media.col.size_width, media.col.size_length);
        if (!pPwg || !pPwg->pwg)
            continue;
        if (std::any_of(model.media.begin(), model.media.end(),
                        [&](const ModelMedia& m) { return m.pwgName == pPwg->pwg; }))
            continue;
        media.pwgName = pPwg->pwg;
        snprintf(media.col.size_name, sizeof media.col.size_name, "%s", pPwg->pwg);
        std::vector<int> margin = areas.count(media.word) ? areas.at(media.word) : std::vector<int>{};
        margin.resize(4, 0);
        media.col.left_margin = PointsToHmm(margin[0]);
        media.col.top_margin = PointsToHmm(margin[1]);
        media.col.right_margin = PointsToHmm(margin[2]);
        media.col.bottom_margin = PointsToHmm(margin[3]);
        snprintf(media.col.source, sizeof media.col.source, "auto");
        snprintf(media.col.type, sizeof media.col.type, "stationery");
        if (media.word == defWord)
            model.nDefaultMedia = model.media.size();
        model.media.push_back(media);
    }
    if (!model.media.empty())
        g_models.push_back(std::move(model));
}

static void LoadModels()
{
    PaperTable rasters;
    if (!ReadPaperTable(g_paths.szPaperInf, &rasters))
        return;
    DIR* pDir = opendir(g_paths.szModelRoot.c_str());
    if (!pDir)
        return;
    std::vector<std::string> names;
    while (const dirent* pEntry = readdir(pDir))
        if (pEntry->d_name[0] != '.')
            names.push_back(pEntry->d_name);
    closedir(pDir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        LoadModel(name, rasters);
}

static const Model* ModelOfDriver(const char* pszDriver)
{
    for (const Model& model : g_models)
        if (pszDriver && model.driverName == pszDriver)
            return &model;
    return nullptr;
}

// The PWG keyword's word of a row, through the alias table; null when it has none.
static const char* AliasWord(std::span<const WordAlias> aliases, const char* pszValue)
{
    for (const WordAlias& alias : aliases)
        if (strcmp(alias.pszValue, pszValue) == 0)
            return alias.pszWord;
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// A job for the printer: velnora-filter started, its output copied to the device.

struct PrintRun {
    const Model* pModel = nullptr;
    pid_t pid = -1;
    int fdIn = -1;                 // its standard input (raster route), else -1
    std::thread reader;            // copies its standard output to the device
    bool bDeviceFailed = false;    // written by the reader only, read after join
    bool bTermSent = false;
    std::string rcPath;
    // The page being written (raster route).
    int nWidthPx = 0, nHeightPx = 0;
    unsigned nRowsWritten = 0;
    bool bPageOk = true;
    std::vector<unsigned char> rgb;
};

static bool WriteAll(int fd, const void* pData, size_t nBytes)
{
    const char* p = static_cast<const char*>(pData);
    while (nBytes > 0) {
        const ssize_t n = write(fd, p, nBytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        nBytes -= size_t(n);
    }
    return true;
}

static const ModelMedia& MediaOf(const Model& model, const pappl_pr_options_t* pOptions)
{
    for (const ModelMedia& media : model.media)
        if (media.pwgName == pOptions->media.size_name)
            return media;
    // A size the driver does not list (PAPPL checks media against media-supported): the
    // nearest within 2 mm, else the default.
    for (const ModelMedia& media : model.media)
        if (abs(media.col.size_width - pOptions->media.size_width) <= 200 &&
            abs(media.col.size_length - pOptions->media.size_length) <= 200)
            return media;
    return model.media[model.nDefaultMedia];
}

// velnora-filter's -Z options for the job's settings.
static std::string JobOptions(pappl_job_t* pJob, const Model& model, const pappl_pr_options_t* pOptions, int nCopies)
{
    std::string z = "copies=" + std::to_string(std::clamp(nCopies, 1, 999));
    z += ",media=" + MediaOf(model, pOptions).word;
    switch (pOptions->sides) {
    case PAPPL_SIDES_TWO_SIDED_LONG_EDGE: z += ",duplex=long"; break;
    case PAPPL_SIDES_TWO_SIDED_SHORT_EDGE: z += ",duplex=short"; break;
    default: z += ",duplex=none"; break;
    }
    z += pOptions->print_color_mode == PAPPL_COLOR_MODE_MONOCHROME ? ",color=mono" : ",color=color";
    z += pOptions->print_quality == IPP_QUALITY_HIGH ? ",quality=fine" : ",quality=normal";
    if (const char* pszTray = AliasWord(tblSourceAlias, pOptions->media.source))
        z += std::string(",tray=") + pszTray;
    if (const char* pszType = AliasWord(tblTypeAlias, pOptions->media.type))
        z += std::string(",mediatype=") + pszType;
    // job-password: four digits, the secure-print PIN.
    if (ipp_attribute_t* pAttr = papplJobGetAttribute(pJob, "job-password")) {
        int nLength = 0;
        const char* pData = static_cast<const char*>(ippGetOctetString(pAttr, 0, &nLength));
        const std::string pin = pData ? std::string(pData, size_t(std::max(nLength, 0))) : "";
        if (pin.size() == 4 && pin.find_first_not_of("0123456789") == std::string::npos)
            z += ",pin=" + pin;
    }
    return z;
}

static void CopyToDevice(PrintRun* pRun, int fdOut, pappl_device_t* pDevice)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fdOut, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!pRun->bDeviceFailed && papplDeviceWrite(pDevice, buf, size_t(n)) < 0) {
            pRun->bDeviceFailed = true;
            kill(pRun->pid, SIGTERM);   // nothing more can reach the printer
        }
    }
    if (!pRun->bDeviceFailed)
        papplDeviceFlush(pDevice);
    close(fdOut);
}

// Starts velnora-filter for the job: the document at path, or PPM pages on a pipe when
// path is empty. false when it cannot be started (the job's message says why).
static bool StartRun(PrintRun* pRun, pappl_job_t* pJob, const pappl_pr_options_t* pOptions, pappl_device_t* pDevice,
                     const std::string& path, int nCopies)
{
    const char* pszTmp = getenv("TMPDIR");
    std::string rcTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/velnora-app-XXXXXX";
    const int fdRc = mkostemp(rcTemplate.data(), O_CLOEXEC);
    if (fdRc < 0) {
        papplJobSetMessage(pJob, "Cannot make the job's settings file: %s", strerror(errno));
        return false;
    }
    pRun->rcPath = rcTemplate;
    const std::string rc = "[" + pRun->pModel->name + "]\n";
    const bool bRcOk = WriteAll(fdRc, rc.data(), rc.size());
    close(fdRc);
    if (!bRcOk) {
        papplJobSetMessage(pJob, "Cannot write the job's settings file");
        return false;
    }
    std::vector<std::string> args = {g_paths.szQueueFilter, "--rc", pRun->rcPath, "--pi", g_paths.szPaperInf,
                                     "--model-root", g_paths.szModelRoot};
    if (const char* pszUser = papplJobGetUsername(pJob); pszUser && *pszUser)
        args.push_back(std::string("-n") + pszUser);
    if (const char* pszName = papplJobGetName(pJob); pszName && *pszName)
        args.push_back(std::string("-J") + pszName);
    args.push_back("-Z" + JobOptions(pJob, *pRun->pModel, pOptions, nCopies));
    args.push_back(path.empty() ? "-" : path);

    int inPipe[2] = {-1, -1}, outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || (path.empty() && pipe2(inPipe, O_CLOEXEC) != 0)) {
        papplJobSetMessage(pJob, "Cannot make a pipe: %s", strerror(errno));
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (path.empty())
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int nError = posix_spawn(&pRun->pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(outPipe[1]);
    if (path.empty())
        close(inPipe[0]);
    if (nError != 0) {
        pRun->pid = -1;
        close(outPipe[0]);
        if (path.empty())
            close(inPipe[1]);
        papplJobSetMessage(pJob, "Cannot run %s: %s", g_paths.szQueueFilter.c_str(), strerror(nError));
        return false;
    }
    pRun->fdIn = path.empty() ? inPipe[1] : -1;
    pRun->reader = std::thread(CopyToDevice, pRun, outPipe[0], pDevice);
    return true;
}

// Ends the run: SIGTERM first when the job was cancelled, then the filter's end awaited.
// true when the job reached the printer whole.
static bool FinishRun(PrintRun* pRun, pappl_job_t* pJob)
{
    if (pRun->pid > 0 && papplJobIsCanceled(pJob) && !pRun->bTermSent) {
        kill(pRun->pid, SIGTERM);
        pRun->bTermSent = true;
    }
    if (pRun->fdIn >= 0) {
        close(pRun->fdIn);
        pRun->fdIn = -1;
    }
    int nStatus = -1;
    if (pRun->pid > 0) {
        // The document route waits here while the filter works: a cancel is passed on.
        for (;;) {
            const pid_t r = waitpid(pRun->pid, &nStatus, WNOHANG);
            if (r == pRun->pid || (r < 0 && errno != EINTR))
                break;
            if (!pRun->bTermSent && papplJobIsCanceled(pJob)) {
                kill(pRun->pid, SIGTERM);
                pRun->bTermSent = true;
            }
            usleep(100000);
        }
    }
    if (pRun->reader.joinable())
        pRun->reader.join();
    if (!pRun->rcPath.empty())
        unlink(pRun->rcPath.c_str());
    if (pRun->bDeviceFailed) {
        papplJobSetMessage(pJob, "The printer connection failed; the job was not printed whole");
        return false;
    }
    if (papplJobIsCanceled(pJob))
        return true;
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        papplJobSetMessage(pJob, "The print filter failed (status %d)", WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// The raster route: PAPPL's raster callbacks, pages written as PPM into velnora-filter.

static PrintRun* RunOf(pappl_job_t* pJob) { return static_cast<PrintRun*>(papplJobGetData(pJob)); }

static bool StartRasterJob(pappl_job_t* pJob, pappl_pr_options_t* pOptions, pappl_device_t* pDevice)
{
    auto* pRun = new PrintRun;
    pRun->pModel = ModelOfDriver(papplPrinterGetDriverName(papplJobGetPrinter(pJob)));
    papplJobSetData(pJob, pRun);
    if (!pRun->pModel) {
        papplJobSetMessage(pJob, "The printer's driver is not one of this application's");
        return false;
    }
    // PAPPL repeats the pages of a raster document for its copies.
    return StartRun(pRun, pJob, pOptions, pDevice, "", 1);
}

static bool StartRasterPage(pappl_job_t* pJob, pappl_pr_options_t* pOptions, pappl_device_t*, unsigned)
{
    PrintRun* pRun = RunOf(pJob);
    if (!pRun || pRun->fdIn < 0)
        return false;
    const ModelMedia& media = MediaOf(*pRun->pModel, pOptions);
    pRun->nWidthPx = media.nWidthPx;
    pRun->nHeightPx = media.nHeightPx;
    pRun->nRowsWritten = 0;
    pRun->rgb.assign(size_t(3) * size_t(media.nWidthPx), 255);
    const std::string header = "P6\n" + std::to_string(media.nWidthPx) + " " + std::to_string(media.nHeightPx) + "\n255\n";
    pRun->bPageOk = WriteAll(pRun->fdIn, header.data(), header.size());
    return pRun->bPageOk;
}

// One raster row as RGB of the page's width: cut or padded with white.
static void RowToRgb(const cups_page_header2_t& header, const unsigned char* pLine, std::vector<unsigned char>* pRgb)
{
    const unsigned nWidth = std::min<unsigned>(header.cupsWidth, unsigned(pRgb->size() / 3));
    std::fill(pRgb->begin(), pRgb->end(), 255);
    unsigned char* pOut = pRgb->data();
    const bool bInk = header.cupsColorSpace == CUPS_CSPACE_K;   // 1 or 255: black
    for (unsigned x = 0; x < nWidth; ++x) {
        unsigned char r, g, b;
        if (header.cupsBitsPerPixel == 1) {
            const bool bSet = (pLine[x / 8] >> (7 - x % 8)) & 1;
            r = g = b = (bSet == bInk) ? 0 : 255;
        } else if (header.cupsBitsPerPixel == 8) {
            r = g = b = bInk ? 255 - pLine[x] : pLine[x];
        } else {
            r = pLine[3 * x];
            g = pLine[3 * x + 1];
            b = pLine[3 * x + 2];
        }
        pOut[3 * x] = r;
        pOut[3 * x + 1] = g;
        pOut[3 * x + 2] = b;
    }
}

static bool WriteRasterLine(pappl_job_t* pJob, pappl_pr_options_t* pOptions, pappl_device_t*, unsigned y,
                            const unsigned char* pLine)
{
    PrintRun* pRun = RunOf(pJob);
    if (!pRun || !pRun->bPageOk)
        return false;
    if (y >= unsigned(pRun->nHeightPx) || y < pRun->nRowsWritten)
        return true;   // below the paper: cut
    // Rows PAPPL skipped are white.
    std::vector<unsigned char> white(pRun->rgb.size(), 255);
    while (pRun->nRowsWritten < y && pRun->bPageOk) {
        pRun->bPageOk = WriteAll(pRun->fdIn, white.data(), white.size());
        ++pRun->nRowsWritten;
    }
    RowToRgb(pOptions->header, pLine, &pRun->rgb);
    pRun->bPageOk = pRun->bPageOk && WriteAll(pRun->fdIn, pRun->rgb.data(), pRun->rgb.size());
    ++pRun->nRowsWritten;
    return pRun->bPageOk;
}

static bool EndRasterPage(pappl_job_t* pJob, pappl_pr_options_t*, pappl_device_t*, unsigned)
{
    PrintRun* pRun = RunOf(pJob);
    if (!pRun || !pRun->bPageOk)
        return false;
    std::vector<unsigned char> white(size_t(3) * size_t(pRun->nWidthPx), 255);
    while (pRun->nRowsWritten < unsigned(pRun->nHeightPx) && pRun->bPageOk) {
        pRun->bPageOk = WriteAll(pRun->fdIn, white.data(), white.size());
        ++pRun->nRowsWritten;
    }
    if (papplJobIsCanceled(pJob) && !pRun->bTermSent && pRun->pid > 0) {
        kill(pRun->pid, SIGTERM);
        pRun->bTermSent = true;
    }
    return pRun->bPageOk;
}

static bool EndRasterJob(pappl_job_t* pJob, pappl_pr_options_t*, pappl_device_t*)
{
    std::unique_ptr<PrintRun> pRun(RunOf(pJob));
    papplJobSetData(pJob, nullptr);
    return pRun && FinishRun(pRun.get(), pJob);
}

// ---------------------------------------------------------------------------------------
// The document route: PDF rendered by velnora-filter.

static bool PrintDocument(pappl_job_t* pJob, pappl_pr_options_t* pOptions, pappl_device_t* pDevice)
{
    PrintRun run;
    run.pModel = ModelOfDriver(papplPrinterGetDriverName(papplJobGetPrinter(pJob)));
    if (!run.pModel) {
        papplJobSetMessage(pJob, "The printer's driver is not one of this application's");
        return false;
    }
    return StartRun(&run, pJob, pOptions, pDevice, papplJobGetFilename(pJob), pOptions->copies) &&
           FinishRun(&run, pJob);
}

// ---------------------------------------------------------------------------------------
// The drivers and the system.

// PAPPL 1.3 looks at a shutdown request only when its main loop wakes; a timer each
// second wakes it.
static bool WakeEachSecond(pappl_system_t*, void*) { return true; }

static void SetUpSystem(pappl_system_t* pSystem)
{
    papplSystemAddTimerCallback(pSystem, time(nullptr), 1, WakeEachSecond, nullptr);
}

static bool MakeDriver(pappl_system_t* pSystem, const char* pszDriver, const char*, const char*,
                       pappl_pr_driver_data_t* pData, ipp_t**, void*)
{
    std::call_once(g_systemSetUp, SetUpSystem, pSystem);
    const Model* pModel = ModelOfDriver(pszDriver);
    if (!pModel)
        return false;
    pData->rstartjob_cb = StartRasterJob;
    pData->rstartpage_cb = StartRasterPage;
    pData->rwriteline_cb = WriteRasterLine;
    pData->rendpage_cb = EndRasterPage;
    pData->rendjob_cb = EndRasterJob;
    // PDF is the driver's own format, printed by velnora-filter: PAPPL 1.3.1 takes a MIME
    // filter only before its system runs (a printer added later had none, and a PDF job
    // then crashed it comparing the format with a driver format of none).
    pData->format = "application/pdf";
    pData->printfile_cb = PrintDocument;
    snprintf(pData->make_and_model, sizeof pData->make_and_model, "%s", pModel->description.c_str());
    pData->ppm = 20;
    pData->ppm_color = 20;
    pData->kind = PAPPL_KIND_DOCUMENT;
    pData->orient_default = IPP_ORIENT_NONE;
    pData->color_supported = pappl_color_mode_t(PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME);
    pData->color_default = PAPPL_COLOR_MODE_COLOR;
    pData->content_default = PAPPL_CONTENT_AUTO;
    pData->quality_default = IPP_QUALITY_NORMAL;
    pData->scaling_default = PAPPL_SCALING_AUTO;
    pData->raster_types =
        pappl_raster_type_t(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_SRGB_8);
    pData->duplex = PAPPL_DUPLEX_NORMAL;
    pData->sides_supported =
        pappl_sides_t(PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE);
    pData->sides_default = PAPPL_SIDES_ONE_SIDED;
    pData->num_resolution = 1;
    pData->x_resolution[0] = pData->y_resolution[0] = kDpi;
    pData->x_default = pData->y_default = kDpi;
    pData->num_media = int(pModel->media.size());
    int nLeftRight = 0, nBottomTop = 0;
    for (size_t i = 0; i < pModel->media.size(); ++i) {
        const pappl_media_col_t& col = pModel->media[i].col;
        pData->media[i] = pModel->media[i].pwgName.c_str();
        nLeftRight = std::max({nLeftRight, col.left_margin, col.right_margin});
        nBottomTop = std::max({nBottomTop, col.top_margin, col.bottom_margin});
    }
    pData->left_right = nLeftRight;
    pData->bottom_top = nBottomTop;
    pData->media_default = pModel->media[pModel->nDefaultMedia].col;
    // Sources and types: the parameter table's words that have a PWG keyword.
    const auto pwgNames = [](int nRow, std::span<const WordAlias> aliases, const char** ppOut, int nMax) {
        int n = 0;
        const ParamEntry& row = tblVnParams[nRow];
        for (int i = 0; i < row.nItemCount && n < nMax; ++i)
            for (const WordAlias& alias : aliases)
                if (strcmp(alias.pszWord, row.pCmdItem[i]) == 0) {
                    ppOut[n++] = alias.pszValue;
                    break;
                }
        return n;
    };
    pData->num_source = pwgNames(kRowInputSlot, tblSourceAlias, pData->source, PAPPL_MAX_SOURCE);
    pData->num_type = pwgNames(kRowMediaType, tblTypeAlias, pData->type, PAPPL_MAX_TYPE);
    for (int i = 0; i < pData->num_source; ++i) {
        pData->media_ready[i] = pData->media_default;
        snprintf(pData->media_ready[i].source, sizeof pData->media_ready[i].source, "%s", pData->source[i]);
    }
    if (pData->num_source > 0)
        snprintf(pData->media_default.source, sizeof pData->media_default.source, "%s", pData->source[0]);
    return true;
}

int main(int argc, char** argv)
{
    if (!FindInstall(&g_paths)) {
        fprintf(stderr, "velnora-printer-app: cannot find its install folder\n");
        return 1;
    }
    LoadModels();
    std::vector<pappl_pr_driver_t> drivers;
    for (const Model& model : g_models)
        drivers.push_back({model.driverName.c_str(), model.description.c_str(), model.deviceId.c_str(), nullptr});
    return papplMainloop(argc, argv, "1.0", nullptr, int(drivers.size()), drivers.data(), nullptr, MakeDriver,
                         nullptr, nullptr, nullptr, nullptr, nullptr);
}
