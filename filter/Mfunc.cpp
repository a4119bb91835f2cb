// Mfunc: the five output operations that the page loop calls through fun_table, the
// staged page files and the PWG page header. Every page is staged in a file of its own
// under /tmp and reaches the printer one page late: the next begin-page (or the end of
// the job) feeds it through the gzip stream. The decompressed stream is one PWG raster
// document: "RaS2", then per printed page a 1796-byte header and its encoded lines.
//
// Calls go one way: the page loop -> these operations -> the blank-page test, the line
// encoder, the PJL writer, the gzip stream -> the printer connection.
#include "Mfunc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "bandbuf.h"
#include "gzipstream.h"
#include "lineencoder.h"
#include "pdef0.h"
#include "pjl.h"
#include "printerout.h"
#include "pwgheader.h"
#include "send.h"
#include "vnRasterConv.h"

// ---------------------------------------------------------------------------------------
// Staged page files. Each is created afresh, never through a link and never by opening a
// file someone else planted: a descriptor of the file as created is kept and the page is
// read back through it, never by its name, so whatever stands at the name later (a file
// of another user in /tmp, a link) is never read into the printer's job.

constexpr size_t kStagedNameBytes = 300;
constexpr size_t kStagedBufferBytes = size_t(1) << 18;   // stdio buffer of a staged file
static FILE* fin = nullptr;                   // staged file of the current page, being written
static int fdStaged = -1;                     // read-back descriptor of the newest staged file
                                              // not yet fed (the current page's while it is
                                              // written), or -1
static char szStagedName[kStagedNameBytes];   // the name of fdStaged's file
static int nStagingErrno = 0;                 // why a page could not be staged whole; 0 while
                                              // every page could
static DeviceRecord fallbackDevice;           // counters when the job has no device record

// Creates a staged file with O_EXCL, never through a link, and opens it for writing with
// a second descriptor for reading it back; null with errno set when it cannot be had.
static FILE* OpenNewStagedFile(int fd, int* pfdReadBack)
{
    const int fdReadBack = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    FILE* fp = fdReadBack >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!fp) {
        const int nErrno = errno;
        if (fdReadBack >= 0)
            close(fdReadBack);
        close(fd);
        errno = nErrno;
        return nullptr;
    }
    setvbuf(fp, nullptr, _IOFBF, kStagedBufferBytes);
    *pfdReadBack = fdReadBack;
    return fp;
}

// Creates the staged file of page nSeq at its usual name /tmp/ec_tmppage_<pid>_<n>. When
// another user's file holds that name (a stale entry of ours is removed first, a link
// as a name, never its target), the page is staged under a fresh unpredictable name
// beside it instead. The name used is written into pszName.
static FILE* CreateStagedFile(int64_t nSeq, char* pszName, int* pfdReadBack)
{
    snprintf(pszName, kStagedNameBytes, "/tmp/ec_tmppage_%d_%lld", int(getpid()), static_cast<long long>(nSeq));
    unlink(pszName);
    int fd = open(pszName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        strncat(pszName, ".XXXXXX", kStagedNameBytes - strlen(pszName) - 1);
        fd = mkostemp(pszName, O_CLOEXEC);   // O_EXCL, mode 0600
    }
    if (fd < 0)
        return nullptr;
    FILE* fp = OpenNewStagedFile(fd, pfdReadBack);
    if (!fp) {
        const int nErrno = errno;
        unlink(pszName);
        errno = nErrno;
    }
    return fp;
}

// A page could not be staged whole: the job ends without it, and the page loop reports
// why. The first reason is kept.
static void StagingFailed(int nErrno)
{
    if (nStagingErrno == 0)
        nStagingErrno = nErrno != 0 ? nErrno : EIO;
}

// Drops the current page's staged file: it never reaches the printer.
static void DiscardCurrentPage()
{
    if (fin)
        fclose(fin);
    fin = nullptr;
    if (fdStaged >= 0)
        close(fdStaged);
    fdStaged = -1;
    unlink(szStagedName);
}

// Closes the current page's staged file; a failed close loses page data, and the page is
// dropped.
static void CloseFin()
{
    if (!fin)
        return;
    const bool bClosed = fclose(fin) == 0;
    fin = nullptr;
    if (!bClosed) {
        StagingFailed(errno);
        DiscardCurrentPage();
    }
}

static bool WriteFin(const void* pData, size_t nLength)
{
    if (fwrite(pData, nLength, 1, fin) == 1)
        return true;
    StagingFailed(errno);   // the disk is full: the page would be damaged
    DiscardCurrentPage();
    return false;
}

// Feeds the kept staged file through the gzip stream, then removes it.
static void FeedKeptStagedFile()
{
    FeedStagedFile(fdStaged);
    fdStaged = -1;
    unlink(szStagedName);
}

int StagedPageErrno()
{
    return nStagingErrno;
}

static DeviceRecord* Device(SendState* pState)
{
    return pState->pDevice ? pState->pDevice : &fallbackDevice;
}

// ---------------------------------------------------------------------------------------
// PWG page header

constexpr uint32_t kRasterDpi = 600;

static void BuildPageHeader(const JobSettings* pJob, uint8_t* hdr)
{
    using namespace pwg;
    const bool bGray = pJob->nColorMode == 0;
    const auto Widen = [](int16_t n) { return static_cast<uint32_t>(int32_t(n)); };
    memset(hdr, 0, kHeaderBytes);
    memcpy(hdr + kRasterName, "PwgRaster", 9);
    memcpy(hdr + kMediaType, "auto", 4);
    PutBE32(hdr + kHWResX, kRasterDpi);
    PutBE32(hdr + kHWResY, kRasterDpi);
    PutBE32(hdr + kPageSizeX, Widen(pJob->page.nPaperWidthPt));
    PutBE32(hdr + kPageSizeY, Widen(pJob->page.nPaperHeightPt));
    PutBE32(hdr + kWidth, Widen(pJob->page.nPageWidth));
    PutBE32(hdr + kHeight, Widen(pJob->page.nPageHeight));
    PutBE32(hdr + kBitsPerColor, 8);
    PutBE32(hdr + kBitsPerPixel, bGray ? 8 : 24);
    PutBE32(hdr + kBytesPerLine, bGray ? Widen(pJob->page.nPageWidth) : static_cast<uint32_t>(pJob->nBytesPerLine));
    PutBE32(hdr + kColorSpace, bGray ? kColorSpaceSGray : kColorSpaceSRGB);
    PutBE32(hdr + kNumColors, bGray ? 1 : 3);
}

// ---------------------------------------------------------------------------------------
// The page operations

int16_t MBeginPage(JobSettings* pJob, SendState* pState)
{
    DeviceRecord* pDev = Device(pState);
    char szName[kStagedNameBytes];
    int fdReadBack = -1;
    fin = CreateStagedFile(++pDev->nPageFileSeq, szName, &fdReadBack);
    if (!fin) {
        StagingFailed(errno);
        return 1;
    }
    if (fdStaged >= 0)
        FeedKeptStagedFile();   // the previous page is due
    fdStaged = fdReadBack;
    memcpy(szStagedName, szName, sizeof szName);
    if (!(pState->nBlankFlags & kBlankPageSending) && skipBlankPagePrint(pJob, pState) == 1)
        return 0;
    ++pDev->nPagesWritten;
    uint8_t hdr[pwg::kHeaderBytes];
    BuildPageHeader(pJob, hdr);
    return WriteFin(hdr, sizeof hdr) ? 0 : 1;
}

// End-page: the compressed bytes ready so far go to the printer with the page loop's flush.
int16_t MEndPage(JobSettings*, SendState*)
{
    WriteCompressedReady();
    return 0;
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
    // Pages alternate front and back; the back of a long-edge sheet is turned.
    const bool bBackSide = pJob->nDuplex == 2 && Device(pState)->nPagesWritten % 2 == 0;
    const int16_t nStatus = EncodePage(pJob, pState, bBackSide, WriteFin);
    CloseFin();
    return nStagingErrno != 0 ? 1 : nStatus;
}

// ---------------------------------------------------------------------------------------
// The job operations

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
    *pRec = PrintRecord{};
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
    FeedBytes(pwg::kSyncWord, pwg::kSyncWordBytes);   // the document begins before its first page
    return 0;
}

int16_t MEndJob(SendState*)
{
    CloseFin();   // a page cut short by cancellation still ends the document
    if (fdStaged >= 0)
        FeedKeptStagedFile();
    do_compress_finish();
    WriteJobTrailer();
    return 0;
}
