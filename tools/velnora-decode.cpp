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
// Owns nothing beyond one run. A PNG is written to a temporary file in DIR and renamed to
// its name only when complete, so a failed or interrupted run leaves no half-written page
// under a page's name; SIGINT, SIGTERM and SIGHUP remove the temporary file on the way out.
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
constexpr size_t kReadChunk = 64 * 1024;
constexpr double kMetresPerInch = 0.0254;
constexpr int kPngCompressionLevel = 3;   // pages are large; more effort buys little here
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary PNG being written, for the signal handler to remove.
char g_szTempPath[PATH_MAX];
volatile sig_atomic_t g_bTempActive = 0;   // g_szTempPath names a file to remove on a signal


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

// The whole job file (or standard input for "-") into *pData; false with a message.
bool LoadJob(const char* pszJob, std::vector<uint8_t>* pData)
{
    const bool bStdin = std::string_view(pszJob) == "-";
    FilePtr owned(bStdin ? nullptr : fopen(pszJob, "rb"));
    if (!bStdin && !owned) {
        fprintf(stderr, "velnora-decode: %s: cannot open: %s\n", pszJob, strerror(errno));
        return false;
    }
    FILE* fp = bStdin ? stdin : owned.get();
    size_t nRead = 0;
    for (;;) {
        pData->resize(nRead + kReadChunk);
        const size_t n = fread(pData->data() + nRead, 1, kReadChunk, fp);
        nRead += n;
        if (n < kReadChunk)
            break;
    }
    pData->resize(nRead);
    if (ferror(fp)) {
        fprintf(stderr, "velnora-decode: %s: read error after %zu bytes: %s\n", pszJob, nRead, strerror(errno));
        return false;
    }
    return true;
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

void PrintJob(const VnJob& job, size_t nJobSize)
{
    printf("job: %zu bytes\n", nJobSize);
    printf("PJL header: %zu lines\n", job.headerLines.size());
    for (const std::string& line : job.headerLines)
        printf("  %s\n", Shown(line).c_str());
    printf("gzip stream: offset %zu, %zu bytes; PWG document %zu bytes (%.1f : 1), %zu page%s\n",
           job.nStreamOffset, job.nStreamSize, job.document.size(),
           Ratio(double(job.document.size()), double(job.nStreamSize)), job.pages.size(),
           job.pages.size() == 1 ? "" : "s");
    for (size_t i = 0; i < job.pages.size(); ++i)
        PrintPage(i, job.pages[i]);
    if (job.bHasEoj)
        printf("PJL trailer: EOJ NAME=\"%s\"\n", Shown(job.szEojTitle).c_str());
    else
        printf("PJL trailer: no EOJ line\n");
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

void RemoveTempOnSignal(int nSignal)
{
    if (g_bTempActive)
        unlink(g_szTempPath);
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

void CatchInterrupts()
{
    for (int nSignal : kInterruptSignals)
        signal(nSignal, RemoveTempOnSignal);
}

// Opens a new temporary file in the folder for the PNG named szFinal; its path is left in
// g_szTempPath for the signal handler. Null with errno set on failure.
FILE* OpenTempPng(const std::string& szDir, const std::string& szName)
{
    const std::string szTemplate = szDir + "/." + szName + ".XXXXXX";
    if (szTemplate.size() >= sizeof g_szTempPath) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    g_bTempActive = 0;
    std::memcpy(g_szTempPath, szTemplate.c_str(), szTemplate.size() + 1);
    const int fd = mkstemp(g_szTempPath);   // O_EXCL: never through a link
    if (fd < 0)
        return nullptr;
    g_bTempActive = 1;
    const mode_t nMask = umask(0);
    umask(nMask);
    fchmod(fd, 0666 & ~nMask);   // as an ordinary new file, not mkstemp's 0600
    FILE* fp = fdopen(fd, "wb");
    if (!fp) {
        const int nErrno = errno;
        close(fd);
        errno = nErrno;
    }
    return fp;
}

void DropTempPng()
{
    if (g_bTempActive)
        unlink(g_szTempPath);
    g_bTempActive = 0;
}

// Writes one page as DIR/page-N.png: a temporary file first, renamed when complete.
bool WritePagePng(const std::string& szDir, size_t nIndex, const PwgPage& page)
{
    const std::string szName = "page-" + std::to_string(nIndex + 1) + ".png";
    const std::string szPath = szDir + "/" + szName;
    FILE* fp = OpenTempPng(szDir, szName);
    if (!fp) {
        fprintf(stderr, "velnora-decode: %s: cannot create a file: %s\n", szPath.c_str(), strerror(errno));
        DropTempPng();
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
    if (!bWritten) {
        fprintf(stderr, "velnora-decode: %s: cannot write the page: %s\n", szPath.c_str(), sink.szMessage);
        DropTempPng();
        return false;
    }
    if (rename(g_szTempPath, szPath.c_str()) != 0) {
        fprintf(stderr, "velnora-decode: %s: cannot rename the finished page: %s\n", szPath.c_str(), strerror(errno));
        DropTempPng();
        return false;
    }
    g_bTempActive = 0;
    return true;
}

// The folder for the pages: made when missing (its parent must exist).
bool PrepareDir(const char* pszDir)
{
    if (mkdir(pszDir, 0777) == 0 || errno == EEXIST) {
        struct stat st;
        if (stat(pszDir, &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        fprintf(stderr, "velnora-decode: %s: not a folder\n", pszDir);
        return false;
    }
    fprintf(stderr, "velnora-decode: %s: cannot make the folder: %s\n", pszDir, strerror(errno));
    return false;
}

bool WritePngPages(const char* pszDir, const VnJob& job)
{
    if (!PrepareDir(pszDir))
        return false;
    CatchInterrupts();
    for (size_t i = 0; i < job.pages.size(); ++i)
        if (!WritePagePng(pszDir, i, job.pages[i]))
            return false;
    printf("PNG pages: %zu written to %s\n", job.pages.size(), pszDir);
    return true;
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
    std::vector<uint8_t> data;
    if (!LoadJob(opt.pszJob, &data))
        return kStatusFailed;
    VnJob job;
    JobReadError err;
    if (!ReadJob(data.data(), data.size(), &job, &err)) {
        fprintf(stderr, "velnora-decode: %s: malformed job: %s\n", opt.pszJob, DescribeError(err).c_str());
        return kStatusFailed;
    }
    const size_t nJobSize = data.size();
    std::vector<uint8_t>().swap(data);   // the job's bytes are no longer needed
    PrintJob(job, nJobSize);
    if (opt.pszPngDir && !WritePngPages(opt.pszPngDir, job))
        return kStatusFailed;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "velnora-decode: cannot write the summary: %s\n", strerror(errno));
        return kStatusFailed;
    }
    return kStatusOk;
}
