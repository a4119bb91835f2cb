// velnora-decode: the job inspector. Reads a printer job written by the filter, checks its
// structure strictly (through the job reader) and prints what it holds: the PJL lines,
// each page's header fields by name and the figures of its line encoding. With --png it
// also writes every page as a PNG image. A malformed job is reported with the byte offset
// and what was expected there.
//
//   velnora-decode [--png DIR] JOB
//
//   --png DIR   write page-1.png, page-2.png, ... into DIR (made when missing): 8-bit RGB
//               or 8-bit gray, as the page is
//   JOB         the job file; "-" reads standard input
//
// Exit status: 0 the job is well formed (and its pages were written); 1 the job cannot be
// read, is malformed, or a page could not be written; 2 a bad command line.
//
// The job is read as a stream, a page at a time: the summary of a page is printed and its
// PNG written as soon as the page is decoded, and the page is then dropped, so memory stays
// about one page whatever the number of pages. The PNGs are written into a private folder
// in DIR and moved to their names only once the whole job has proved well formed, so a
// malformed job, a failed write or an interrupted run (SIGINT, SIGTERM, SIGHUP remove the
// folder on the way out) leaves no page under a page's name.
#include <png.h>

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileptr.h"
#include "vnjobreader.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusUsage = 2;

constexpr const char* kUsage = "usage: velnora-decode [--png DIR] JOB\n";
constexpr double kMetresPerInch = 0.0254;
constexpr int kPngCompressionLevel = 3;   // pages are large; more effort buys little here
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The private folder the PNG pages are written into, for the signal handler to empty.
char g_szStageDir[PATH_MAX];
volatile sig_atomic_t g_bStageActive = 0;   // g_szStageDir exists and is ours
volatile sig_atomic_t g_nStagedPages = 0;   // page-1.png to page-N.png may exist in it


struct Options {
    const char* pszJob = nullptr;   // the job file, "-" for standard input
    const char* pszPngDir = nullptr;   // --png; null when no images are wanted
};

// ---- command line ----

// false on a bad command line; *pbHelp for --help.
bool ParseArguments(int argc, char** argv, Options* pOpt, bool* pbHelp)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            *pbHelp = true;
            return true;
        }
        if (arg == "--png") {
            if (i + 1 >= argc || pOpt->pszPngDir)
                return false;
            pOpt->pszPngDir = argv[++i];
        } else if (arg.starts_with("--png=")) {
            if (pOpt->pszPngDir)
                return false;
            pOpt->pszPngDir = argv[i] + 6;
        } else if (arg == "--") {
            if (i + 2 != argc || pOpt->pszJob)
                return false;
            pOpt->pszJob = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return false;
        } else {
            if (pOpt->pszJob)
                return false;
            pOpt->pszJob = argv[i];
        }
    }
    return pOpt->pszJob && (!pOpt->pszPngDir || *pOpt->pszPngDir);
}

// ---- reading the job ----

// Opens the job file, or takes standard input for "-"; null with a message.
FILE* OpenJob(const char* pszJob, FilePtr* pOwned)
{
    if (std::string_view(pszJob) == "-")
        return stdin;
    pOwned->reset(fopen(pszJob, "rb"));
    if (!*pOwned)
        fprintf(stderr, "velnora-decode: %s: cannot open: %s\n", pszJob, strerror(errno));
    return pOwned->get();
}

void ReportReadFault(const char* pszJob, const JobReadError& err)
{
    if (err.nReadErrno != 0)
        fprintf(stderr, "velnora-decode: %s: read error after %zu bytes: %s\n", pszJob, err.nOffset,
                strerror(err.nReadErrno));
    else
        fprintf(stderr, "velnora-decode: %s: malformed job: %s\n", pszJob, DescribeError(err).c_str());
}

// ---- the summary ----

// Text from the job shown as it is, but for control bytes and DEL, which are shown as
// \xNN so that no byte of a job can act on the terminal.
std::string Shown(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char szHex[8];
            snprintf(szHex, sizeof szHex, "\\x%02X", u);
            out += szHex;
        } else {
            out += c;
        }
    }
    return out;
}

const char* ColorSpaceName(uint32_t nColorSpace)
{
    return nColorSpace == 19 ? "sRGB" : nColorSpace == 18 ? "sGray" : "other";
}

double Ratio(double nFrom, double nTo)
{
    return nTo > 0 ? nFrom / nTo : 0.0;
}

unsigned long long Ull(uint64_t n)
{
    return static_cast<unsigned long long>(n);
}

void PrintPage(size_t nIndex, const PwgPage& page)
{
    const PageEncodingStats& st = page.stats;
    const double nRaw = double(page.nBytesPerLine) * page.nHeight;
    printf("page %zu: header at document offset %zu\n", nIndex + 1, page.nDocOffset);
    printf("  PwgRaster     \"%s\"\n", Shown(page.szPwgRaster).c_str());
    printf("  MediaType     \"%s\"\n", Shown(page.szMediaType).c_str());
    printf("  HWResolution  %u x %u dpi\n", page.nHWResolutionX, page.nHWResolutionY);
    printf("  PageSize      %u x %u pt\n", page.nPageSizeX, page.nPageSizeY);
    printf("  Width         %u\n", page.nWidth);
    printf("  Height        %u\n", page.nHeight);
    printf("  BitsPerColor  %u\n", page.nBitsPerColor);
    printf("  BitsPerPixel  %u\n", page.nBitsPerPixel);
    printf("  BytesPerLine  %u\n", page.nBytesPerLine);
    printf("  ColorSpace    %u (%s)\n", page.nColorSpace, ColorSpaceName(page.nColorSpace));
    printf("  NumColors     %u\n", page.nNumColors);
    printf("  line records %llu, merged lines %llu, literal bytes %llu, run bytes %llu\n", Ull(st.nLineRecords),
           Ull(st.nMergedLines), Ull(st.nLiteralBytes), Ull(st.nRunBytes));
    printf("  encoded %llu bytes for %.0f bytes of pixels (%.1f : 1)\n", Ull(st.nEncodedBytes), nRaw,
           Ratio(nRaw, double(st.nEncodedBytes)));
}

void PrintHeader(const VnJob& job)
{
    printf("PJL header: %zu lines\n", job.headerLines.size());
    for (const std::string& line : job.headerLines)
        printf("  %s\n", Shown(line).c_str());
}

void PrintEnd(const VnJob& job, size_t nPages)
{
    printf("gzip stream: offset %zu, %zu bytes; PWG document %zu bytes (%.1f : 1), %zu page%s\n",
           job.nStreamOffset, job.nStreamSize, job.nDocumentSize,
           Ratio(double(job.nDocumentSize), double(job.nStreamSize)), nPages, nPages == 1 ? "" : "s");
    if (job.bHasEoj)
        printf("PJL trailer: EOJ NAME=\"%s\"\n", Shown(job.szEojTitle).c_str());
    else
        printf("PJL trailer: no EOJ line\n");
    printf("job: %zu bytes\n", job.nJobSize);
}

// ---- PNG pages ----

// The file libpng writes to, and where it leaves its error message before it jumps back.
struct PngSink {
    FILE* fp;
    char szMessage[256];
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp pszMessage)
{
    PngSink* pSink = static_cast<PngSink*>(png_get_error_ptr(png));
    if (!pSink->szMessage[0])
        snprintf(pSink->szMessage, sizeof pSink->szMessage, "%s", pszMessage ? pszMessage : "libpng error");
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng's output: the bytes go to the file; a failed write keeps the system's reason.
void WritePngBytes(png_structp png, png_bytep pData, size_t nSize)
{
    PngSink* pSink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (fwrite(pData, 1, nSize, pSink->fp) != nSize) {
        snprintf(pSink->szMessage, sizeof pSink->szMessage, "%s", strerror(errno));
        png_error(png, "write error");
    }
}

void FlushPngBytes(png_structp) {}

uint32_t PixelsPerMetre(uint32_t nDpi)
{
    return static_cast<uint32_t>(nDpi / kMetresPerInch + 0.5);
}

// Encodes the page as a PNG onto pSink->fp. false with pSink->szMessage filled when
// libpng fails (a write error among them). No object with a destructor lives in this
// frame: libpng leaves it by longjmp.
bool EncodePng(const PwgPage* pPage, PngSink* pSink)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, pSink, OnPngError, OnPngWarning);
    if (!png) {
        snprintf(pSink->szMessage, sizeof pSink->szMessage, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        snprintf(pSink->szMessage, sizeof pSink->szMessage, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    // Any size the PNG format allows, not only libpng's default limit of a million pixels.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_write_fn(png, pSink, WritePngBytes, FlushPngBytes);
    png_set_compression_level(png, kPngCompressionLevel);
    const int nColorType = pPage->nBitsPerPixel == 24 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png, info, pPage->nWidth, pPage->nHeight, 8, nColorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (pPage->nHWResolutionX > 0 && pPage->nHWResolutionY > 0)
        png_set_pHYs(png, info, PixelsPerMetre(pPage->nHWResolutionX), PixelsPerMetre(pPage->nHWResolutionY),
                     PNG_RESOLUTION_METER);
    png_write_info(png, info);
    const uint8_t* pLine = pPage->pixels.data();
    for (uint32_t y = 0; y < pPage->nHeight; ++y, pLine += pPage->nBytesPerLine)
        png_write_row(png, pLine);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Writes into psz the path of page nPage in the staging folder. Safe in a signal handler:
// no allocation, no stdio.
void StagedPagePath(char* psz, size_t nSize, long nPage)
{
    char szDigits[24];
    size_t nDigits = 0;
    do {
        szDigits[nDigits++] = char('0' + nPage % 10);
        nPage /= 10;
    } while (nPage > 0 && nDigits < sizeof szDigits);
    size_t n = 0;
    auto append = [&](char c) {
        if (n + 1 < nSize)
            psz[n++] = c;
    };
    for (const char* p = g_szStageDir; *p; ++p)
        append(*p);
    for (const char* p = "/page-"; *p; ++p)
        append(*p);
    while (nDigits > 0)
        append(szDigits[--nDigits]);
    for (const char* p = ".png"; *p; ++p)
        append(*p);
    psz[n] = '\0';
}

// Removes the staging folder with whatever pages are left in it. Safe in a signal handler.
void RemoveStageDir()
{
    if (!g_bStageActive)
        return;
    char szPath[PATH_MAX];
    for (long nPage = 1; nPage <= g_nStagedPages; ++nPage) {
        StagedPagePath(szPath, sizeof szPath, nPage);
        unlink(szPath);
    }
    rmdir(g_szStageDir);
    g_bStageActive = 0;
}

void RemoveStageOnSignal(int nSignal)
{
    RemoveStageDir();
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

// The folder for the pages, made when missing (its parent must exist), and in it the
// private staging folder the pages are written into until the job has been read whole.
bool PrepareDirs(const char* pszDir)
{
    if (mkdir(pszDir, 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "velnora-decode: %s: cannot make the folder: %s\n", pszDir, strerror(errno));
        return false;
    }
    struct stat st;
    if (stat(pszDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "velnora-decode: %s: not a folder\n", pszDir);
        return false;
    }
    const std::string szTemplate = std::string(pszDir) + "/.velnora-decode.XXXXXX";
    // Room for "/page-N.png" behind the folder's name.
    if (szTemplate.size() + 32 >= sizeof g_szStageDir) {
        fprintf(stderr, "velnora-decode: %s: cannot make a folder in it: %s\n", pszDir, strerror(ENAMETOOLONG));
        return false;
    }
    std::memcpy(g_szStageDir, szTemplate.c_str(), szTemplate.size() + 1);
    if (!mkdtemp(g_szStageDir)) {
        fprintf(stderr, "velnora-decode: %s: cannot make a folder in it: %s\n", pszDir, strerror(errno));
        return false;
    }
    g_nStagedPages = 0;
    g_bStageActive = 1;
    for (int nSignal : kInterruptSignals)
        signal(nSignal, RemoveStageOnSignal);
    return true;
}

std::string PageName(size_t nIndex)
{
    return "page-" + std::to_string(nIndex + 1) + ".png";
}

// Writes one page into the staging folder; its messages name the page's final path.
bool StagePagePng(const std::string& szDir, size_t nIndex, const PwgPage& page)
{
    const std::string szFinal = szDir + "/" + PageName(nIndex);
    char szPath[PATH_MAX];
    g_nStagedPages = static_cast<sig_atomic_t>(nIndex + 1);   // before the file exists
    StagedPagePath(szPath, sizeof szPath, long(nIndex + 1));
    const int fd = open(szPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    FILE* fp = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!fp) {
        fprintf(stderr, "velnora-decode: %s: cannot create a file: %s\n", szFinal.c_str(), strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    PngSink sink{fp, {}};
    bool bWritten = EncodePng(&page, &sink);
    if (bWritten && (fflush(fp) != 0 || ferror(fp))) {
        snprintf(sink.szMessage, sizeof sink.szMessage, "%s", strerror(errno));
        bWritten = false;
    }
    if (fclose(fp) != 0 && bWritten) {
        snprintf(sink.szMessage, sizeof sink.szMessage, "%s", strerror(errno));
        bWritten = false;
    }
    if (!bWritten)
        fprintf(stderr, "velnora-decode: %s: cannot write the page: %s\n", szFinal.c_str(), sink.szMessage);
    return bWritten;
}

// Moves the staged pages to their names in the folder, once the job is known good.
bool PublishPages(const std::string& szDir, size_t nPages)
{
    char szPath[PATH_MAX];
    for (size_t i = 0; i < nPages; ++i) {
        const std::string szFinal = szDir + "/" + PageName(i);
        StagedPagePath(szPath, sizeof szPath, long(i + 1));
        if (rename(szPath, szFinal.c_str()) != 0) {
            fprintf(stderr, "velnora-decode: %s: cannot rename the finished page: %s\n", szFinal.c_str(),
                    strerror(errno));
            return false;
        }
    }
    RemoveStageDir();
    printf("PNG pages: %zu written to %s\n", nPages, szDir.c_str());
    return true;
}

// Reads the job page by page: the summary of each page as it is decoded, and its PNG when
// asked. False with a message when the job is malformed or a page cannot be written.
bool InspectJob(const Options& opt, FILE* fp)
{
    JobReader reader(fp);
    VnJob job;
    JobReadError err;
    if (!reader.ReadHeader(&job, &err)) {
        ReportReadFault(opt.pszJob, err);
        return false;
    }
    PrintHeader(job);
    PwgPage page;
    size_t nPages = 0;
    for (;;) {
        const PageStep step = reader.NextPage(&page, &err);
        if (step == PageStep::kEndOfDocument)
            break;
        if (step == PageStep::kMalformed) {
            ReportReadFault(opt.pszJob, err);
            return false;
        }
        PrintPage(nPages, page);
        if (opt.pszPngDir && !StagePagePng(opt.pszPngDir, nPages, page))
            return false;
        ++nPages;
    }
    if (!reader.ReadTrailer(&job, &err)) {
        ReportReadFault(opt.pszJob, err);
        return false;
    }
    PrintEnd(job, nPages);
    return !opt.pszPngDir || PublishPages(opt.pszPngDir, nPages);
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    bool bHelp = false;
    if (!ParseArguments(argc, argv, &opt, &bHelp)) {
        fputs(kUsage, stderr);
        return kStatusUsage;
    }
    if (bHelp) {
        fputs(kUsage, stdout);
        return kStatusOk;
    }
    FilePtr owned;
    FILE* fp = OpenJob(opt.pszJob, &owned);
    if (!fp)
        return kStatusFailed;
    if (opt.pszPngDir && !PrepareDirs(opt.pszPngDir))
        return kStatusFailed;
    const bool bInspected = InspectJob(opt, fp);
    RemoveStageDir();
    if (!bInspected)
        return kStatusFailed;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "velnora-decode: cannot write the summary: %s\n", strerror(errno));
        return kStatusFailed;
    }
    return kStatusOk;
}
