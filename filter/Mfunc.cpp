// Mfunc: the printer-language output. Owns the PJL job header and trailer, the staged page
// files with their PWG page headers, the PWG line encoding, the job's one gzip stream and
// the buffered writer of standard output. The page loop reaches it through fun_table.
//
// Every page is staged in a file of its own under /tmp and reaches the printer one page
// late: the next begin-page (or the end of the job) feeds it through the gzip stream. The
// decompressed stream is one PWG raster document: "RaS2", then per printed page a
// 1796-byte header and its encoded lines.
#include "Mfunc.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <immintrin.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "compress.h"
#include "debugtool.h"
#include "pdef0.h"
#include "send.h"
#include "tempfile.h"
#include "vnRasterConv.h"

// ---------------------------------------------------------------------------------------
// Standard output. Every byte for the printer passes pswrite, in order; the writer keeps
// one buffer and hands it to the descriptor whole, retrying interrupted writes, so a
// signal never loses or reorders printer data. The first failed write marks the job
// broken and drops everything after it.

constexpr size_t kStageBytes = size_t(1) << 16;
static uint8_t outStage[kStageBytes];   // bytes queued for standard output
static size_t nStaged = 0;              // bytes queued in outStage
static bool bOutputBroken = false;      // a write or a compression step failed

static bool FlushStage()
{
    if (nStaged == 0 || bOutputBroken)
        return !bOutputBroken;
    if (!WriteAll(STDOUT_FILENO, outStage, nStaged))
        bOutputBroken = true;
    nStaged = 0;
    return !bOutputBroken;
}

int pswrite(const void* pData, size_t nLength)
{
    if (nLength == 0)
        return 1;
    if (bOutputBroken)
        return 0;
    if (nStaged + nLength > kStageBytes && !FlushStage())
        return 0;
    if (nLength >= kStageBytes) {
        if (!WriteAll(STDOUT_FILENO, static_cast<const uint8_t*>(pData), nLength))
            bOutputBroken = true;
        return bOutputBroken ? 0 : 1;
    }
    memcpy(outStage + nStaged, pData, nLength);
    nStaged += nLength;
    return 1;
}

int psflush()
{
    return FlushStage() ? 1 : 0;
}

bool IsOutputBroken()
{
    return bOutputBroken;
}

// ---------------------------------------------------------------------------------------
// The gzip stream. The document reaches zlib in whole blocks of 1024 bytes across
// staged-file boundaries; a short block waits in inbuf for the next file, and only the
// job's end compresses a shorter one, with the finish flag. zlib's output depends only on
// the bytes and where the stream is finished, not on how many blocks one call hands over,
// so each call hands over as many whole blocks as the batch holds.

constexpr size_t kBlockBytes = 1024;                 // the stream's input block
constexpr size_t kBatchBytes = 64 * kBlockBytes;     // whole blocks handed over per call
constexpr size_t kOutBytes = 64 * 1024;              // compressed bytes written at a time
constexpr int kHoldShortBlock = 3;   // flushback: a short block waits for the next file
constexpr int kFinishing = 4;        // flushback: the stream is being finished

static z_stream z;                   // the deflate state of the job
static uint8_t inbuf[kBatchBytes];   // input; a held short block always starts here
static uint8_t outbuf[kOutBytes];    // compressed output, written when full
FILE* ffsrc = nullptr;               // the staged page file being fed
static int flush = Z_NO_FLUSH;       // flush mode of the deflate calls
static int flushback = 0;            // kHoldShortBlock, kFinishing or 0
int bFinishzip = 0;                  // the file being fed is the job's last
static int count = 0;                // size of the latest partial output write
static bool bStreamOpen = false;     // deflateInit2_ succeeded and deflateEnd has not run

static void MarkCompressionFailed(const char* pszWhat)
{
    Debug_printf("%s: %s\n", pszWhat, z.msg ? z.msg : "???");
    bOutputBroken = true;
}

void do_compress_init()
{
    memset(&z, 0, sizeof z);
    z.zalloc = Z_NULL;
    z.zfree = Z_NULL;
    z.opaque = Z_NULL;
    flush = Z_NO_FLUSH;
    flushback = 0;
    bFinishzip = 0;
    if (deflateInit2_(&z, -1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY, "1.2.11", int(sizeof(z_stream))) != Z_OK) {
        MarkCompressionFailed("deflateInit");
        return;
    }
    bStreamOpen = true;
    z.next_in = inbuf;
    z.avail_in = 0;
    z.next_out = outbuf;
    z.avail_out = kOutBytes;
}

// Reads up to nWanted bytes of the file being fed; a missing file reads as empty.
static size_t ReadSource(uint8_t* pDest, size_t nWanted)
{
    return ffsrc ? fread(pDest, 1, nWanted, ffsrc) : 0;
}

static bool WriteOut(size_t nBytes)
{
    if (pswrite(outbuf, nBytes))
        return true;
    Debug_printf("Write error\n");
    return false;
}

// Hands zlib what z holds: all of it with Z_NO_FLUSH, or to the stream's end with
// Z_FINISH. Full output is written as it comes. False when zlib or a write failed.
static bool DeflateInput()
{
    for (;;) {
        const int nResult = deflate(&z, flush);
        if (nResult == Z_STREAM_END) {
            count = int(kOutBytes - z.avail_out);
            return count == 0 || WriteOut(size_t(count));
        }
        if (nResult != Z_OK) {
            MarkCompressionFailed("deflate");
            return false;
        }
        if (z.avail_out == 0) {
            if (!WriteOut(kOutBytes))
                return false;
            z.next_out = outbuf;
            z.avail_out = kOutBytes;
        } else if (z.avail_in == 0 && flush != Z_FINISH) {
            return true;
        }
    }
}

void do_compress()
{
    if (!bStreamOpen)
        return;
    flush = Z_NO_FLUSH;
    for (;;) {
        // Held bytes (less than a block) stand at the start of inbuf; this file follows them.
        const size_t nHeld = z.avail_in;
        const size_t nHave = nHeld + ReadSource(inbuf + nHeld, kBatchBytes - nHeld);
        const bool bFileEnd = nHave < kBatchBytes;   // a read error looks like the end
        z.next_in = inbuf;
        if (bFileEnd && !bFinishzip) {
            // Whole blocks go now; the short rest waits for the next file.
            const size_t nWhole = nHave / kBlockBytes * kBlockBytes;
            z.avail_in = unsigned(nWhole);
            if (nWhole > 0 && !DeflateInput())
                return;
            memmove(inbuf, inbuf + nWhole, nHave - nWhole);
            z.next_in = inbuf;
            z.avail_in = unsigned(nHave - nWhole);
            flushback = kHoldShortBlock;
            return;
        }
        z.avail_in = unsigned(nHave);
        if (bFileEnd) {
            flushback = kFinishing;
            flush = Z_FINISH;
        } else {
            flushback = 0;
        }
        if (!DeflateInput() || bFileEnd)
            return;
    }
}

void do_compress_finish()
{
    if (!bStreamOpen)
        return;
    bStreamOpen = false;
    if (deflateEnd(&z) != Z_OK && z.msg)
        Debug_printf("deflateEnd: %s\n", z.msg);
}

// ---------------------------------------------------------------------------------------
// Staged page files. Each is created afresh, never through a link and never by opening a
// file someone else planted: a descriptor of the file as created is kept and the page is
// read back through it, never by its name, so whatever stands at the name later (a file
// of another user in /tmp, a link) is never read into the printer's job.

constexpr size_t kStagedNameBytes = 300;
constexpr size_t kStagedBufferBytes = size_t(1) << 18;   // stdio buffer of a staged file
static FILE* fin = nullptr;                   // staged file of the current page
static char zzliblpbuf[kStagedNameBytes];     // name of the file being written
static char zliblpbuf[kStagedNameBytes];      // name of the file being fed to the stream
static int fdStaged = -1;                     // the newest staged file not yet fed, or -1
static int64_t nStagedSeq = 0;                // its number
static bool bSyncWordStaged = false;          // "RaS2" stands in a staged file of the job
static DeviceRecord fallbackDevice;           // counters when the job has no device record

static void FormatStagedName(char* pszBuf, int64_t nSeq)
{
    snprintf(pszBuf, kStagedNameBytes, "/tmp/ec_tmppage_%d_%lld", int(getpid()), static_cast<long long>(nSeq));
}

// Creates the staged file for writing (fin) and a second descriptor of it for reading
// it back; null when the name cannot be had.
static FILE* CreateStagedFile(const char* pszName, int* pfdReadBack)
{
    unlink(pszName);   // a stale entry, or a link: the name itself goes, never its target
    const int fd = open(pszName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    const int fdReadBack = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE* fp = fdReadBack >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!fp) {
        if (fdReadBack >= 0)
            close(fdReadBack);
        close(fd);
        unlink(pszName);
        return nullptr;
    }
    setvbuf(fp, nullptr, _IOFBF, kStagedBufferBytes);
    *pfdReadBack = fdReadBack;
    return fp;
}

// Closes the current page's staged file; a failed close loses page data.
static void CloseFin()
{
    if (!fin)
        return;
    if (fclose(fin) != 0)
        bOutputBroken = true;
    fin = nullptr;
}

static bool WriteFin(const void* pData, size_t nLength)
{
    if (fwrite(pData, nLength, 1, fin) == 1)
        return true;
    bOutputBroken = true;   // the disk is full: the document would be damaged
    return false;
}

// Feeds the kept staged file through the gzip stream from its start, then closes and
// removes it. A read error loses page data and fails the job.
static void FeedStagedFile()
{
    FormatStagedName(zliblpbuf, nStagedSeq);
    ffsrc = lseek(fdStaged, 0, SEEK_SET) == 0 ? fdopen(fdStaged, "rb") : nullptr;
    if (ffsrc) {
        setvbuf(ffsrc, nullptr, _IOFBF, kStagedBufferBytes);
        do_compress();
        if (ferror(ffsrc))
            bOutputBroken = true;
        fclose(ffsrc);
        ffsrc = nullptr;
    } else {
        close(fdStaged);
        bOutputBroken = true;
        do_compress();   // a job's end still finishes the stream
    }
    fdStaged = -1;
    unlink(zliblpbuf);
}

static DeviceRecord* Device(SendState* pState)
{
    return pState->pDevice ? pState->pDevice : &fallbackDevice;
}

// ---------------------------------------------------------------------------------------
// PWG page header

constexpr char kSyncWord[] = "RaS2";
constexpr size_t kPwgHeaderBytes = 1796;
constexpr size_t kPwgRasterName = 0, kPwgMediaType = 128, kPwgHWResX = 276, kPwgHWResY = 280,
                 kPwgPageSizeX = 352, kPwgPageSizeY = 356, kPwgWidth = 372, kPwgHeight = 376,
                 kPwgBitsPerColor = 384, kPwgBitsPerPixel = 388, kPwgBytesPerLine = 392,
                 kPwgColorSpace = 400, kPwgNumColors = 420;
constexpr uint32_t kColorSpaceSRGB = 19, kColorSpaceSGray = 18;
constexpr uint32_t kRasterDpi = 600;

inline void PutBE32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

static void BuildPageHeader(const JobSettings* pJob, uint8_t* hdr)
{
    const bool bGray = pJob->nColorMode == 0;
    const auto Widen = [](int16_t n) { return static_cast<uint32_t>(int32_t(n)); };
    memset(hdr, 0, kPwgHeaderBytes);
    memcpy(hdr + kPwgRasterName, "PwgRaster", 9);
    memcpy(hdr + kPwgMediaType, "auto", 4);
    PutBE32(hdr + kPwgHWResX, kRasterDpi);
    PutBE32(hdr + kPwgHWResY, kRasterDpi);
    PutBE32(hdr + kPwgPageSizeX, Widen(pJob->page.nPaperWidthPt));
    PutBE32(hdr + kPwgPageSizeY, Widen(pJob->page.nPaperHeightPt));
    PutBE32(hdr + kPwgWidth, Widen(pJob->page.nPageWidth));
    PutBE32(hdr + kPwgHeight, Widen(pJob->page.nPageHeight));
    PutBE32(hdr + kPwgBitsPerColor, 8);
    PutBE32(hdr + kPwgBitsPerPixel, bGray ? 8 : 24);
    PutBE32(hdr + kPwgBytesPerLine,
            bGray ? Widen(pJob->page.nPageWidth) : static_cast<uint32_t>(pJob->nBytesPerLine));
    PutBE32(hdr + kPwgColorSpace, bGray ? kColorSpaceSGray : kColorSpaceSRGB);
    PutBE32(hdr + kPwgNumColors, bGray ? 1 : 3);
}

int16_t MBeginPage(JobSettings* pJob, SendState* pState)
{
    DeviceRecord* pDev = Device(pState);
    const int64_t nSeq = ++pDev->nPageFileSeq;
    FormatStagedName(zzliblpbuf, nSeq);
    int fdReadBack = -1;
    fin = CreateStagedFile(zzliblpbuf, &fdReadBack);
    if (!fin)
        return 1;
    if (fdStaged >= 0)
        FeedStagedFile();   // the previous page is due
    fdStaged = fdReadBack;
    nStagedSeq = nSeq;
    if (!bSyncWordStaged) {   // the job's first staged file opens the document
        if (!WriteFin(kSyncWord, 4))
            return 1;
        bSyncWordStaged = true;
    }
    if (!(pState->nBlankFlags & kBlankPageSending) && skipBlankPagePrint(pJob, pState) == 1)
        return 0;
    ++pDev->nPagesWritten;
    uint8_t hdr[kPwgHeaderBytes];
    BuildPageHeader(pJob, hdr);
    return WriteFin(hdr, kPwgHeaderBytes) ? 0 : 1;
}

int16_t MEndPage(JobSettings*, SendState*)
{
    return 0;
}

// ---------------------------------------------------------------------------------------
// Line encoding

static void EnsureOutBuf(LineEncoder* pEnc, bool* pbFailed)
{
    const uint32_t nDouble = 2 * pEnc->nLineLength;
    const uint64_t nRequired = nDouble > 65535 ? nDouble : 65536;
    *pbFailed = false;
    if (pEnc->nOutBufSize >= nRequired)
        return;
    uint8_t* pNew = static_cast<uint8_t*>(realloc(pEnc->pOutBuf, nRequired));
    if (!pNew) {
        *pbFailed = true;
        return;
    }
    pEnc->pOutBuf = pNew;
    pEnc->nOutBufSize = nRequired;
}

template <int kPixelBytes>
static inline bool SamePixel(const uint8_t* a, const uint8_t* b)
{
    if constexpr (kPixelBytes == 1)
        return *a == *b;
    else
        return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// Bytes at the start of a and b that are equal, at most nMax; compared a word at a time.
static inline size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t nMax)
{
    static_assert(std::endian::native == std::endian::little, "the first differing byte is the lowest");
    size_t i = 0;
    for (; i + 8 <= nMax; i += 8) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y)
            return i + size_t(__builtin_ctzll(x ^ y) >> 3);
    }
    while (i < nMax && a[i] == b[i])
        ++i;
    return i;
}

// Pixels from p on that equal pixel p, at most 128: pixels p to p+k-1 are equal exactly
// when the bytes from p equal the bytes one pixel further on.
template <int kPixelBytes>
static inline size_t RepeatRunLength(const uint8_t* pLine, size_t p, size_t nPixels)
{
    const size_t nLimit = std::min<size_t>(128, nPixels - p);
    const uint8_t* pFrom = pLine + p * kPixelBytes;
    return CommonPrefix(pFrom, pFrom + kPixelBytes, (nLimit - 1) * kPixelBytes) / kPixelBytes + 1;
}

// First q in [nFrom, nEnd) whose pixel equals pixel q + 1 (which must exist), or nEnd.
template <int kPixelBytes>
static inline size_t FindEqualPair(const uint8_t* pLine, size_t nFrom, size_t nEnd)
{
    size_t q = nFrom;
    if constexpr (kPixelBytes == 1) {
        // Eight neighbours at a time: a zero byte of x ^ y marks an equal pair; the lowest
        // flagged byte is always a true one.
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
        for (; q + 8 <= nEnd; q += 8) {
            uint64_t x, y;
            memcpy(&x, pLine + q, 8);
            memcpy(&y, pLine + q + 1, 8);
            const uint64_t d = x ^ y;
            const uint64_t nZeroBytes = (d - kOnes) & ~d & kHighs;
            if (nZeroBytes)
                return q + size_t(__builtin_ctzll(nZeroBytes) >> 3);
        }
    }
    for (; q < nEnd; ++q)
        if (SamePixel<kPixelBytes>(pLine + q * kPixelBytes, pLine + (q + 1) * kPixelBytes))
            return q;
    return nEnd;
}

// PackBits over pixels of kPixelBytes bytes: a repeat run of 2 to 128 equal pixels is the
// control byte (length - 1) and the pixel once; a literal run of 1 to 128 pixels is the
// control byte (1 - length) and its pixels. 0x80 is never written.
template <int kPixelBytes>
static size_t EncodeRuns(const uint8_t* pLine, size_t nPixels, uint8_t* pOut)
{
    const auto Pixel = [pLine](size_t i) { return pLine + i * kPixelBytes; };
    uint8_t* pStart = pOut;
    size_t p = 0;
    while (p < nPixels) {
        if (p == nPixels - 1) {
            *pOut++ = 0;
            memcpy(pOut, Pixel(p), kPixelBytes);
            pOut += kPixelBytes;
            break;
        }
        size_t nRun = RepeatRunLength<kPixelBytes>(pLine, p, nPixels);
        if (nRun >= 2) {
            *pOut++ = uint8_t(nRun - 1);
            memcpy(pOut, Pixel(p), kPixelBytes);
            pOut += kPixelBytes;
            p += nRun;
            continue;
        }
        // A literal run takes pixels until one equals its neighbour (that one starts the
        // next repeat run), the line ends or the run holds 128.
        const size_t nSearchEnd = std::min(p + 128, nPixels - 1);
        const size_t nPair = FindEqualPair<kPixelBytes>(pLine, p + 1, nSearchEnd);
        nRun = (nPair < nSearchEnd ? nPair : std::min(p + 128, nPixels)) - p;
        *pOut++ = uint8_t(1 - int(nRun));
        memcpy(pOut, Pixel(p), nRun * kPixelBytes);
        pOut += nRun * kPixelBytes;
        p += nRun;
    }
    return size_t(pOut - pStart);
}

int64_t raster_write(LineEncoder* pEnc, const uint8_t* pLine)
{
    bool bFailed = false;
    EnsureOutBuf(pEnc, &bFailed);
    if (bFailed)
        return -1;
    uint8_t* pOut = pEnc->pOutBuf;
    pOut[0] = uint8_t(pEnc->nRepeatCount - 1);
    const size_t nPixels = pEnc->nPixelBytes > 0 ? pEnc->nLineLength / uint32_t(pEnc->nPixelBytes) : 0;
    const size_t nRuns = pEnc->nPixelBytes == 1 ? EncodeRuns<1>(pLine, nPixels, pOut + 1)
                                                : EncodeRuns<3>(pLine, nPixels, pOut + 1);
    return int64_t(1 + nRuns);
}

// The exact gray formula: t1 = G*0.59 rounded on its own, then two fused multiply-adds,
// y truncated. The build turns floating-point contraction off, so no compiler may fuse or
// split these steps differently; each variant below gives the same bytes on every machine.
static inline uint8_t GrayOf(uint8_t r, uint8_t g, uint8_t b)
{
    const double t1 = double(g) * 0.59;
    const double t2 = std::fma(double(b), 0.11, t1);
    return static_cast<uint8_t>(static_cast<int>(std::fma(double(r), 0.3, t2)));
}

// Without the FMA instruction std::fma is libm's exact software fma.
static void MakeGrayPortable(uint8_t* pGray, const uint8_t* pRgb, int nPixels)
{
    for (int i = 0; i < nPixels; ++i, pRgb += 3)
        pGray[i] = GrayOf(pRgb[0], pRgb[1], pRgb[2]);
}

// The same formula with the FMA instruction, eight pixels at a time in two halves of four
// lanes: vmulpd rounds like the scalar product, vfmadd rounds once like fma, and
// vcvttpd2dq truncates like the conversion to int.
// Four grays from 12 bytes of RGB (16 are read), as 32-bit lanes.
__attribute__((target("avx2,fma"))) static inline __m128i FourGrays(const uint8_t* pRgb)
{
    const __m128i kPickR = _mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
    const __m128i kPickG = _mm_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
    const __m128i kPickB = _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pRgb));
    const __m256d r = _mm256_cvtepi32_pd(_mm_shuffle_epi8(v, kPickR));
    const __m256d g = _mm256_cvtepi32_pd(_mm_shuffle_epi8(v, kPickG));
    const __m256d b = _mm256_cvtepi32_pd(_mm_shuffle_epi8(v, kPickB));
    const __m256d t2 = _mm256_fmadd_pd(b, _mm256_set1_pd(0.11), _mm256_mul_pd(g, _mm256_set1_pd(0.59)));
    return _mm256_cvttpd_epi32(_mm256_fmadd_pd(r, _mm256_set1_pd(0.3), t2));
}

// The same formula with the FMA instruction, eight pixels at a time in two halves of four
// lanes: vmulpd rounds like the scalar product, vfmadd rounds once like fma, and
// vcvttpd2dq truncates like the conversion to int.
__attribute__((target("avx2,fma"))) static void MakeGrayAvx2(uint8_t* pGray, const uint8_t* pRgb, int nPixels)
{
    const __m128i kOnes = _mm_set1_epi8(-1);
    const __m128i kHighOnes = _mm_set_epi64x(-1, 0);
    int i = 0;
    for (; i + 10 <= nPixels; i += 8) {   // the second load reads into pixel i+9
        // Eight white pixels, the commonest run on paper, are white in gray too.
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pRgb + 3 * i));
        const __m128i rest = _mm_or_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pRgb + 3 * i + 16)), kHighOnes);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(first, rest), kOnes)) == 0xFFFF) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(pGray + i), kOnes);
            continue;
        }
        const __m128i words = _mm_packus_epi32(FourGrays(pRgb + 3 * i), FourGrays(pRgb + 3 * i + 12));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pGray + i), _mm_packus_epi16(words, words));
    }
    for (; i < nPixels; ++i)
        pGray[i] = GrayOf(pRgb[3 * i], pRgb[3 * i + 1], pRgb[3 * i + 2]);
}

using MakeGrayFn = void (*)(uint8_t*, const uint8_t*, int);

static MakeGrayFn ChooseMakeGray()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return MakeGrayAvx2;
    return MakeGrayPortable;
}

void makegray(uint8_t* pGray, const uint8_t* pRgb, int16_t nPixels)
{
    static const MakeGrayFn pfnMakeGray = ChooseMakeGray();
    if (nPixels > 0)
        pfnMakeGray(pGray, pRgb, nPixels);
}

// Line buffers sized by the page width, so every width the paper file allows prints.
static uint8_t* graybuf = nullptr;    // one gray line
static uint8_t* tempbuf = nullptr;    // one RGB line with its pixels reversed
static uint8_t* pendbuf = nullptr;    // the pending encoded line
static size_t nLineBufPixels = 0;     // pixels the line buffers hold

void ReleaseLineBuffers()
{
    free(graybuf);
    free(tempbuf);
    free(pendbuf);
    graybuf = tempbuf = pendbuf = nullptr;
    nLineBufPixels = 0;
}

// Largest encoded line: the repeat byte, one control byte per 128 pixels, 3 bytes a pixel.
static size_t MaxEncodedLine(size_t nPixels)
{
    return 1 + (nPixels + 127) / 128 + 3 * nPixels;
}

static bool EnsureLineBuffers(size_t nPixels)
{
    if (nPixels <= nLineBufPixels && graybuf)
        return true;
    ReleaseLineBuffers();
    graybuf = static_cast<uint8_t*>(malloc(nPixels + 1));
    tempbuf = static_cast<uint8_t*>(malloc(3 * nPixels + 1));
    pendbuf = static_cast<uint8_t*>(malloc(MaxEncodedLine(nPixels)));
    if (!graybuf || !tempbuf || !pendbuf) {
        ReleaseLineBuffers();
        return false;
    }
    nLineBufPixels = nPixels;
    return true;
}

static void ReverseLinePixels(uint8_t* pDest, const uint8_t* pSrc, size_t nPixels)
{
    for (size_t k = 0; k < nPixels; ++k)
        memcpy(pDest + 3 * k, pSrc + 3 * (nPixels - 1 - k), 3);
}

// Consecutive identical lines become one record with a repeat count of up to 255.
struct LineMerger {
    uint8_t* pPending;       // pending record: repeat byte, then the encoded line
    size_t nPendingLength;   // 0 when no line is pending
};

static bool WritePending(LineMerger* pMerge)
{
    const bool bOk = WriteFin(pMerge->pPending, pMerge->nPendingLength);
    pMerge->nPendingLength = 0;
    return bOk;
}

// Adds an encoded line that repeats the pending one.
static bool RepeatPending(LineMerger* pMerge)
{
    if (pMerge->pPending[0] != 254) {
        ++pMerge->pPending[0];
        return true;
    }
    pMerge->pPending[0] = 255;
    return WritePending(pMerge);
}

static bool MergeLine(LineMerger* pMerge, const uint8_t* pEncoded, size_t nLength)
{
    if (pMerge->nPendingLength == nLength &&
        memcmp(pMerge->pPending + 1, pEncoded + 1, nLength - 1) == 0)
        return RepeatPending(pMerge);
    if (pMerge->nPendingLength != 0 && !WritePending(pMerge))
        return false;
    memcpy(pMerge->pPending, pEncoded, nLength);
    pMerge->nPendingLength = nLength;
    return true;
}

// Encodes the page in the band buffer into fin: 0 done, 1 the encoder buffer could not be
// had or a write failed.
static int16_t EncodePage(const JobSettings* pJob, SendState* pState, bool bBackSide)
{
    const size_t nWidth = size_t(pJob->page.nPageWidth);
    const int nHeight = pJob->page.nPageHeight;
    const size_t nRowBytes = 3 * nWidth;
    const bool bGray = pJob->nColorMode == 0;
    LineEncoder enc = {};
    enc.nLineLength = uint32_t(nRowBytes);
    enc.nPixelBytes = 3;
    LineMerger merge = {pendbuf, 0};
    const uint8_t* pPrevSource = nullptr;   // source row of the last encoded line
    int64_t nEncoded = 0;
    int16_t nStatus = 0;
    for (int y = 0; y < nHeight && nStatus == 0; ++y) {
        const uint8_t* pSource = Planes[0] + size_t(bBackSide ? nHeight - 1 - y : y) * nRowBytes;
        pState->pCurrentLine = const_cast<uint8_t*>(pSource);
        // A row equal to the previous one encodes the same: count it without encoding.
        if (pPrevSource && memcmp(pSource, pPrevSource, nRowBytes) == 0) {
            const bool bOk = merge.nPendingLength ? RepeatPending(&merge)
                                                  : MergeLine(&merge, enc.pOutBuf, size_t(nEncoded));
            nStatus = bOk ? 0 : 1;
            continue;
        }
        const uint8_t* pLine = pSource;
        if (bBackSide) {
            ReverseLinePixels(tempbuf, pSource, nWidth);
            pLine = tempbuf;
        }
        if (bGray) {
            makegray(graybuf, pLine, int16_t(nWidth));
            enc.nLineLength = uint32_t(nWidth);
            enc.nPixelBytes = 1;
            pLine = graybuf;
        }
        enc.nRepeatCount = 1;
        nEncoded = raster_write(&enc, pLine);
        if (nEncoded < 0 || !MergeLine(&merge, enc.pOutBuf, size_t(nEncoded)))
            nStatus = 1;
        pPrevSource = pSource;
    }
    if (nStatus == 0 && merge.nPendingLength != 0 && !WritePending(&merge))
        nStatus = 1;
    free(enc.pOutBuf);
    return nStatus;
}

int16_t MSendBandData(JobSettings* pJob, SendState* pState)
{
    if ((pState->nBlankFlags & kBlankPageFound) && skipBlankPagePrint(pJob, pState) == 1) {
        CloseFin();
        return 0;
    }
    pState->nLineBytes = static_cast<int16_t>(3 * pJob->page.nPageWidth);
    pState->pCurrentLine = Planes[0];
    if (!fin)
        return 1;
    const int64_t nWritten = Device(pState)->nPagesWritten;
    const bool bBackSide = pJob->nDuplex == 2 && nWritten % 2 == 0;
    int16_t nStatus = 0;
    if (pJob->page.nPageHeight > 0 && pJob->page.nPageWidth > 0) {
        if (!Planes[0] || !EnsureLineBuffers(size_t(pJob->page.nPageWidth)))
            nStatus = 1;
        else
            nStatus = EncodePage(pJob, pState, bBackSide);
    }
    CloseFin();
    return nStatus;
}

// ---------------------------------------------------------------------------------------
// PJL job header and trailer

constexpr char kUEL[] = "\x1b%-12345X";

static void WriteText(const std::string& text)
{
    pswrite(text.data(), text.size());
}

static void WritePjl(const std::string& line)
{
    WriteText(line + "\n");
}

// An environment value as it may stand in a PJL line: bytes below 0x20, 0x7F and the
// characters in pszAlsoDrop removed, so no value can end a line early or unbalance its
// quotes. Empty when unset.
static std::string PjlValue(const char* pszName, const char* pszAlsoDrop)
{
    const char* pszValue = getenv(pszName);
    std::string value;
    for (const char* p = pszValue ? pszValue : ""; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || strchr(pszAlsoDrop, *p))
            continue;
        value += *p;
    }
    return value;
}

static std::string Quoted(const std::string& value)
{
    return "\"" + value + "\"";
}

// SPECIALRED from VNREDVAL, 0 to 168: the upper five bits hold 31 - v mod 13, bits 3 to
// 7 hold 31 - v / 13.
static std::string SpecialRedDigits()
{
    const char* pszValue = getenv("VNREDVAL");
    if (!pszValue || !*pszValue)
        return "0000";
    long nValue = strtol(pszValue, nullptr, 10);
    nValue = nValue < 0 ? 0 : (nValue > 168 ? 168 : nValue);
    const unsigned nCode = 0xFFFFu - unsigned(nValue % 13) * 0x800u - unsigned(nValue / 13) * 8u;
    char szDigits[50];
    snprintf(szDigits, sizeof szDigits, "%4X", nCode);
    return szDigits;
}

struct CodeName {
    int16_t nCode;
    const char* pszName;
};

constexpr CodeName tblPjlPaper[] = {
    {5, "LEGAL"},          {7, "EXECUTIVE"},        {9, "A4"},               {11, "A5"},
    {13, "B5"},            {14, "FOLIO"},           {20, "COM10"},           {27, "DL"},
    {28, "C5"},            {34, "JISB5"},           {35, "B6"},              {37, "MONARCH"},
    {43, "POSTCARD"},      {61, "A5L"},             {69, "JISB6"},           {70, "A6"},
    {73, "JENVCHOU3"},     {74, "A4SHORT"},         {75, "ROC16K"},          {76, "SIXTEENK184X260"},
    {77, "SIXTEENK195X270"}, {78, "MEXICANLEGAL"},  {79, "INDIALEGAL"},      {91, "ENVYOU4"},
    {261, "P3X5"},
};

constexpr CodeName tblPjlMedia[] = {
    {1, "THIN"},      {2, "THICK"},     {3, "THICK2"},    {5, "RECYCLED"},
    {6, "BOND"},      {7, "ENVELOPES"}, {8, "ENVTHIN"},   {9, "ENVTHICK"},
    {10, "POSTCARD"}, {11, "LABEL"},    {12, "GLOSSY"},
};

template <size_t N>
static const char* NameOf(const CodeName (&table)[N], int16_t nCode, const char* pszOther)
{
    for (const CodeName& entry : table)
        if (entry.nCode == nCode)
            return entry.pszName;
    return pszOther;
}

static const char* OnOff(bool bOn)
{
    return bOn ? "ON" : "OFF";
}

static void WriteSecurePrint()
{
    const std::string password = PjlValue("PASSWORD", "");
    if (password.empty()) {
        WritePjl("@PJL SET HOLD=OFF");
        return;
    }
    WritePjl("@PJL SET HOLD=STORE");
    WritePjl("@PJL SET HOLDTYPE=PRIVATE");
    WritePjl("@PJL SET HOLDKEY=" + password);
}

static void WriteOwnerAndTitle()
{
    const std::string owner = PjlValue("OWNER", "\"");
    const std::string title = PjlValue("TITLE", "\"");
    if (!owner.empty())
        WritePjl("@PJL SET USERNAME=" + Quoted(owner));
    if (!title.empty())
        WritePjl("@PJL SET JOBNAME=" + Quoted(title));
    if (!owner.empty())
        WritePjl("@PJL SET LOGINUSER=" + Quoted(owner));
    if (!title.empty())
        WritePjl("@PJL JOB NAME=" + Quoted(title));
}

static void WriteRenderMode(int16_t nColorMode)
{
    WritePjl(nColorMode == 0 ? "@PJL SET RENDERMODE=GRAYSCALE" : "@PJL SET RENDERMODE=COLOR");
    WritePjl(nColorMode == 2 ? "@PJL SET COLORADAPT=ON" : "@PJL SET COLORADAPT=OFF");
}

static void WritePaperSource(int16_t nInputSlot)
{
    if (nInputSlot == 7) {
        WritePjl("@PJL SET MANUALFEED=ON");
        return;
    }
    WritePjl("@PJL SET MANUALFEED=OFF");
    if (nInputSlot >= 1 && nInputSlot <= 5)
        WritePjl("@PJL SET SOURCETRAY=TRAY" + std::to_string(nInputSlot));
    else if (nInputSlot == 6)
        WritePjl("@PJL SET SOURCETRAY=MPTRAY");
    else
        WritePjl("@PJL SET SOURCETRAY=AUTO");
}

static void WriteOutputTray()
{
    const char* pszTray = getenv("OUTPUTTRAY");
    if (!pszTray || !*pszTray)
        return;
    if (strcmp(pszTray, "OFF") == 0) {
        WritePjl("@PJL SET OUTBIN=UPPER");
        WritePjl("@PJL SET FINISH=NONE");
    } else {
        WritePjl("@PJL SET OUTBIN=AUTO");
    }
}

static void WriteColorMatching(const JobSettings* pJob)
{
    static constexpr const char* tblColorMode[] = {"NONE", "NORMAL", "VIVID", "AUTO"};
    const int16_t nMatch = pJob->nColorMatching;
    WritePjl(std::string("@PJL SET COLORMODE=") + tblColorMode[(nMatch >= 1 && nMatch <= 3) ? nMatch : 0]);
    if (nMatch == 3)
        return;
    WritePjl(std::string("@PJL SET IMPROVEGRAY=") + OnOff(pJob->nGray != 0));
    WritePjl(std::string("@PJL SET UCRGCRFORIMAGE=") + OnOff(pJob->nEnhanceBlack != 0));
    WritePjl("@PJL SET BRIGHTNESS=" + std::to_string(pJob->nBrightness));
    WritePjl("@PJL SET CONTRAST=" + std::to_string(pJob->nContrast));
    WritePjl("@PJL SET DENSITYRED=" + std::to_string(pJob->nRedKey));
    WritePjl("@PJL SET DENSITYGREEN=" + std::to_string(pJob->nGreenKey));
    WritePjl("@PJL SET DENSITYBLUE=" + std::to_string(pJob->nBlueKey));
}

static void WriteJobHeader(const JobSettings* pJob)
{
    WriteText(kUEL);
    WritePjl("@PJL ");
    WriteSecurePrint();
    WriteOwnerAndTitle();
    WritePjl("@PJL SET SPECIALRED=0x00" + SpecialRedDigits());
    WritePjl("@PJL SET STRINGCODESET=UTF8");
    WritePjl(std::string("@PJL SET PAPER=") + NameOf(tblPjlPaper, pJob->page.nPaperSize, "LETTER"));
    WriteRenderMode(pJob->nColorMode);
    WritePjl(pJob->nTonerSave != 0 ? "@PJL SET ECONOMODE=ON" : "@PJL SET ECONOPRINT=OFF");
    WritePjl(std::string("@PJL SET APTMODE=") + OnOff(pJob->page.nResolution == 2));
    WritePjl(std::string("@PJL SET DUPLEX=") + OnOff(pJob->nDuplex == 1 || pJob->nDuplex == 2));
    WritePjl(std::string("@PJL SET MEDIATYPE=") + NameOf(tblPjlMedia, pJob->page.nMediaType, "REGULAR"));
    WritePaperSource(pJob->nInputSlot);
    WriteOutputTray();
    WritePjl(std::string("@PJL SET LESSPAPERCURL=") + OnOff(pJob->nImproveOutput == 1));
    WritePjl(std::string("@PJL SET FIXINTENSITYUP=") + OnOff(pJob->nImproveOutput == 2));
    WriteColorMatching(pJob);
    WritePjl("@PJL SET FIDELITY=TRUE");
    WritePjl("@PJL ENTER LANGUAGE=PWGRASTER");
}

// Band geometry: a page is one band of the full height; a height of 0 gives no band.
static void SetBandGeometry(const JobSettings* pJob, SendState* pState)
{
    pState->nBandWidth = pJob->page.nPageWidth;
    pState->nBandLines = pJob->page.nPageHeight;
    pState->nLineBytes = static_cast<int16_t>(pJob->nBytesPerLine);
    pState->nCollate = pJob->nCollate;
    const int nHeight = pJob->page.nPageHeight;
    const int nLines = pState->nBandLines;
    if (nLines <= 0) {
        pState->nBandCount = 0;
        pState->nLastBandLines = 0;
        return;
    }
    pState->nBandCount = uint16_t(nHeight / nLines + (nHeight % nLines ? 1 : 0));
    pState->nLastBandLines = int16_t(nHeight % nLines ? nHeight % nLines : nLines);
}

static void FillPrintRecord(const JobSettings* pJob, PrintRecord* pRec)
{
    memset(pRec, 0, sizeof *pRec);
    pRec->nUnitsPerInchX = 72;
    pRec->nUnitsPerInchY = 72;
    pRec->nAreaLeftPt = pJob->page.nAreaLeftPt;
    pRec->nAreaBottomPt = pJob->page.nAreaBottomPt;
    pRec->nPaperWidthPt = pJob->page.nPaperWidthPt;
    pRec->nPaperHeightPt = pJob->page.nPaperHeightPt;
    pRec->nPaperSize = pJob->page.nPaperSize;
}

int16_t MBeginJob(JobSettings* pJob, SendState* pState)
{
    WriteJobHeader(pJob);
    if (pState->pPrintInfo)
        FillPrintRecord(pJob, pState->pPrintInfo);
    SetBandGeometry(pJob, pState);
    pState->nBlankPeriod = -1;
    setWinDevmode(pState);
    DeviceRecord* pDev = Device(pState);
    pDev->nPageFileSeq = 0;
    pDev->nPagesWritten = 0;
    do_compress_init();
    return 0;
}

int16_t MEndJob(SendState*)
{
    CloseFin();   // a page cut short by cancellation still ends the document
    bFinishzip = 1;
    if (fdStaged >= 0) {
        FeedStagedFile();
    } else if (!bSyncWordStaged) {
        // No page was staged: the document is the sync word alone.
        char szSync[] = "RaS2";
        ffsrc = fmemopen(szSync, 4, "rb");
        do_compress();
        if (ffsrc)
            fclose(ffsrc);
        ffsrc = nullptr;
    } else {
        do_compress();   // everything staged was fed: the held rest ends the stream
    }
    do_compress_finish();
    WriteText(kUEL);
    const std::string title = PjlValue("TITLE", "\"");
    if (!title.empty())
        WritePjl("@PJL EOJ NAME=" + Quoted(title));
    WriteText(kUEL);
    WriteText("\n");
    return 0;
}
