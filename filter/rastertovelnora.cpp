// rastertovelnora: the job driver. Owns the command line and the page loop: the pages read
// from the input, each sent as often as uncollated copies require (further copies read
// back from a temporary copy file), and SIGTERM from the spooler. The SIGTERM handler only
// notes the request; the loop stops at its next safe point, where no write to the printer
// and no compression step is under way, and the job is closed in one place, CloseJob.
// Every output operation is reached through fun_table.
#include "rastertovelnora.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "Mfunc.h"
#include "bandbuf.h"
#include "debugtool.h"
#include "pbmproc.h"
#include "printerout.h"
#include "send.h"
#include "tempfile.h"
#include "vnDriverModel.h"
#include "vnRasterConv.h"
#include "vnerror.h"

volatile sig_atomic_t g_bCancelRequested = 0;

static int32_t nCopies = 1;          // page images per input page, fixed at the first page
static int32_t iCopy = 0;            // copy being sent; 0 reads from the input
static int fdPageData = -1;          // the temporary copy file, or -1
static char tempFilename[1024] = ""; // its path
static bool bJobBegun = false;       // the begin-job operation has completed
static bool bPixelsMissing = false;  // the last page image had no pixel data at all

// A status that only the page loop's own steps return: a cancellation is due. It passes
// up unchanged, with no message, to SendRasterDoc, which closes the job.
constexpr int16_t kCancelled = -1;

// ---------------------------------------------------------------------------------------
// Start-up

int InterpretParameters(int argc, char** argv, JobSettings* pJob)
{
    pJob->pInputFile = stdin;
    pJob->pszPaperInf = nullptr;
    pJob->pszRcFile = nullptr;
    if (argc < 2)
        return VnError(2, nullptr);
    bool bInputNamed = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-pi") == 0) {
            pJob->pszPaperInf = argv[++i];   // argv[argc] is null: an option standing last
            continue;
        }
        if (strcmp(argv[i], "-rc") == 0) {
            pJob->pszRcFile = argv[++i];
            continue;
        }
        if (bInputNamed)
            return VnError(2, argv[i]);
        FILE* fp = fopen(argv[i], "rb");
        if (!fp)
            return VnError(1, argv[i]);
        pJob->pInputFile = fp;
        bInputNamed = true;
    }
    if (!pJob->pszRcFile || !pJob->pszPaperInf)
        return VnError(2, nullptr);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Cancellation

void CancelJob(int)
{
    g_bCancelRequested = 1;
}

// The signals that cancel a job: SIGTERM from the spooler, and SIGINT, SIGHUP and SIGQUIT,
// which an impatient administrator's tools send too.
constexpr int kCancelSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// The cancel signals run CancelJob while a page image is being sent. Without SA_RESTART
// a read or write blocked at that moment returns, so the loop reaches its next safe
// point promptly.
static void InstallCancelHandler()
{
    struct sigaction action = {};
    action.sa_handler = CancelJob;
    sigemptyset(&action.sa_mask);
    for (int nSignal : kCancelSignals)
        sigaction(nSignal, &action, nullptr);
}

static void IgnoreCancel()
{
    for (int nSignal : kCancelSignals)
        signal(nSignal, SIG_IGN);
}

// A safe point of the page loop: kCancelled once a cancellation is due, else 0.
static int16_t CancelPoint()
{
    return g_bCancelRequested ? kCancelled : 0;
}

static void CloseCopyFile()
{
    if (fdPageData < 0)
        return;
    close(fdPageData);
    unlink(tempFilename);
    fdPageData = -1;
}

// ---------------------------------------------------------------------------------------
// Reading a band

// Reads up to nBytes from the input in one block read. An interrupted read is a safe
// point, not the end of the input: it resumes unless a cancellation is due.
static size_t ReadInputBand(FILE* fp, uint8_t* pBuf, size_t nBytes)
{
    size_t nDone = 0;
    for (;;) {
        errno = 0;
        nDone += fread(pBuf + nDone, 1, nBytes - nDone, fp);
        if (nDone == nBytes || feof(fp) || !ferror(fp) || errno != EINTR)
            return nDone;
        clearerr(fp);
        if (CancelPoint() != 0)
            return nDone;
    }
}

// Reads the band back from the copy file; false when it cannot be read whole or a
// cancellation is due.
static bool ReadCopyFile(uint8_t* pBuf, size_t nBytes)
{
    while (nBytes > 0) {
        const ssize_t nRead = read(fdPageData, pBuf, nBytes);
        if (nRead < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (CancelPoint() != 0)
                return false;
            continue;
        }
        if (nRead <= 0)
            return false;
        pBuf += nRead;
        nBytes -= size_t(nRead);
    }
    return true;
}

enum class Fill { kFilled, kFailed, kNoPixels, kCancelled };

// Fills the band buffer for the copy being sent. kFailed and kNoPixels are reported.
static Fill FillBand(JobSettings* pJob, size_t nBytes)
{
    if (iCopy != 0) {
        const bool bRead = fdPageData >= 0 && ReadCopyFile(Planes[0], nBytes);
        if (CancelPoint() != 0)
            return Fill::kCancelled;
        if (bRead)
            return Fill::kFilled;
        VnMessage(kMsgCopyFileNotRead);
        return Fill::kFailed;
    }
    const size_t nRead = ReadInputBand(pJob->pInputFile, Planes[0], nBytes);
    if (CancelPoint() != 0)
        return Fill::kCancelled;
    if (nRead == 0) {
        VnMessage(kMsgPixelsMissing);
        return Fill::kNoPixels;
    }
    memset(Planes[0] + nRead, 0, nBytes - nRead);   // a short page ends in zero bytes
    // The whole band goes to the copy file, zeros of a short read included.
    if (fdPageData >= 0 && !WriteAll(fdPageData, Planes[0], nBytes)) {
        VnMessage(kMsgCopyFileNotWritten);
        CloseCopyFile();
    }
    return Fill::kFilled;
}

// ---------------------------------------------------------------------------------------
// One page image

int16_t BeginPageData(JobSettings* pJob, int32_t nPageNumber, SendState* pState)
{
    InstallCancelHandler();
    if (CancelPoint() != 0)
        return kCancelled;
    pState->nBandIndex = 0;
    if (nPageNumber == 1) {
        const int16_t nStatus = fun_table.pfnBeginJob(pJob, pState);
        if (nStatus != 0) {
            VnMessage(kMsgNewJobFailed);
            return nStatus;
        }
        bJobBegun = true;
    }
    if (CancelPoint() != 0)
        return kCancelled;
    ++pState->nPageCount;
    return 0;
}

int16_t SendPageData(JobSettings* pJob, SendState* pState)
{
    bPixelsMissing = false;
    if (pJob->page.nPageHeight == 0)
        return 0;
    int16_t nBandLines = pState->nBandLines;
    int32_t nLinesDone = 0;
    int16_t nStatus = 0;
    while (nBandLines > 0) {
        // Every byte of the band is filled below, so the buffer needs no zeroing first.
        if (CreateBandBuf(uint64_t(pJob->nBytesPerLine), nBandLines, false) != 0)
            return 1;
        const Fill fill = FillBand(pJob, size_t(nBandLines) * size_t(pJob->nBytesPerLine));
        if (fill != Fill::kFilled) {
            DestroyBandBuf();
            bPixelsMissing = fill == Fill::kNoPixels;
            return fill == Fill::kNoPixels ? nStatus : fill == Fill::kCancelled ? kCancelled : 1;
        }
        if (CancelPoint() != 0)
            return kCancelled;
        nStatus = fun_table.pfnBeginPage(pJob, pState);
        if (nStatus != 0) {
            VnMessage(kMsgNewPageFailed);
            DestroyBandBuf();
            return nStatus;
        }
        if (CancelPoint() != 0)
            return kCancelled;
        nStatus = fun_table.pfnSendBandData(pJob, pState);
        DestroyBandBuf();
        if (CancelPoint() != 0)
            return kCancelled;
        nBandLines = pState->nBandLines;
        ++pState->nBandIndex;
        nLinesDone += nBandLines;
        if (nStatus != 0 || nLinesDone >= pJob->page.nPageHeight)
            break;
    }
    return nStatus;
}

int16_t EndPageData(JobSettings* pJob, SendState* pState)
{
    const int16_t nStatus = fun_table.pfnEndPage(pJob, pState);
    if (nStatus == 0) {
        psflush();
        IgnoreCancel();
    }
    return nStatus;
}

// Sends the kept blank page when its period is due. No job keeps one (the begin-job
// operation sets the period to -1), so the page loop does not call it.
int16_t SendBlankPageEND(SendState* pState, JobSettings* pJob)
{
    Debug_printf("SendBlankPageEND 1\n");
    pState->nBlankFlags &= ~kBlankPageFound;
    if (!(pState->nBlankFlags & kBlankPageKept))
        return 0;
    if (pState->nBlankPeriod == 0 || int16_t(pState->nPageCount) % pState->nBlankPeriod != 0)
        return 0;
    if (pState->nNonBlankCount % 2 == 0)
        return 0;
    if (pJob->nDuplex != 1)
        return 0;
    pState->nBlankFlags |= kBlankPageSending;
    const uint64_t nBytes = uint64_t(pJob->nBytesPerLine) * uint64_t(pJob->page.nPageHeight);
    if (CreateBandBuf(pJob->nBytesPerLine, pJob->page.nPageHeight) != 0)
        return 1;
    int16_t nStatus = fun_table.pfnBeginPage(pJob, pState);
    if (nStatus != 0) {
        VnMessage(kMsgNewPageFailed);
        DestroyBandBuf();
        return nStatus;
    }
    if (blankPagePtr)
        memcpy(Planes[0], blankPagePtr, nBytes);
    nStatus = fun_table.pfnSendBandData(pJob, pState);
    DestroyBandBuf();
    if (nStatus != 0)
        return nStatus;
    nStatus = fun_table.pfnEndPage(pJob, pState);
    if (nStatus != 0)
        return nStatus;
    if (!(pState->nBlankFlags & kBlankKeepCount))
        pState->nNonBlankCount = 0;
    pState->nBlankFlags &= ~kBlankPageSending;
    return 0;
}

// ---------------------------------------------------------------------------------------
// The page loop

// Sends one input page as often as the copies require: 0 to go on with the next page,
// otherwise the status that ends the job (kCancelled for a cancellation).
static int16_t SendInputPage(JobSettings* pJob, SendState* pState, int32_t nHandled)
{
    const bool bUncollated = pState->nCollate == 0 && nCopies > 1;
    for (iCopy = 0; iCopy < nCopies; ++iCopy) {
        if (bUncollated && iCopy > 0 && fdPageData < 0)
            break;   // no copy to read back: the page is printed once
        // The copy file is made once the page image has begun, so a cancellation that
        // ends the first page's wait finds it and removes it.
        int16_t nStatus = BeginPageData(pJob, nHandled * nCopies + iCopy + 1, pState);
        if (nStatus != 0)
            return nStatus;
        if (bUncollated && iCopy == 0) {
            fdPageData = myTempFd(tempFilename, sizeof tempFilename);
            if (fdPageData < 0)
                VnMessage(kMsgCopyFileNotMade);
        } else if (bUncollated) {
            lseek(fdPageData, 0, SEEK_SET);
        }
        nStatus = SendPageData(pJob, pState);
        if (nStatus == kCancelled)
            return kCancelled;
        EndPageData(pJob, pState);
        if (CancelPoint() != 0)
            return kCancelled;   // a request that came while the page was being sent
        if (bUncollated && iCopy == nCopies - 1)
            CloseCopyFile();
        if (nStatus != 0)
            return nStatus;
        if (IsOutputBroken() || StagedPageErrno() != 0)
            return 1;   // the printer cannot take the job any more, or a page was lost
        if (bPixelsMissing)
            break;      // nothing to copy: the page image is not sent at all
    }
    CloseCopyFile();
    return 0;
}

enum class JobEnd { kNoPages, kFinished, kCancelled };

// Closes the job, the one place where every job ends. A job that began gets its last
// page, the end of the compressed stream and the PJL trailer; a cancelled one gets the
// zero padding ahead of them and no message; a job that never began gets no byte.
//
// The finish of a job that was not cancelled may still be cancelled while it writes: a
// printer that stopped reading must not hold the filter. The writer then gives up after
// its grace period, and the job counts as cancelled.
static int16_t CloseJob(SendState* pState, JobEnd end)
{
    if (end == JobEnd::kCancelled)
        IgnoreCancel();
    else if (bJobBegun)
        InstallCancelHandler();
    CloseCopyFile();
    if (bJobBegun) {
        if (end == JobEnd::kCancelled)
            sendNULLData();
        fun_table.pfnEndJob(pState);
    }
    psflush();
    IgnoreCancel();
    RestoreOutputMode();
    if (g_bCancelRequested)
        end = JobEnd::kCancelled;
    DestroySendBuf();
    DestroyBandBuf();
    DisposGrayMemory();
    ResetFunctionTable();
    switch (end) {
    case JobEnd::kCancelled:
        return 0;
    case JobEnd::kNoPages:
        VnMessage(kMsgNoPages);
        return 1;
    case JobEnd::kFinished:
        break;
    }
    if (StagedPageErrno() != 0) {
        VnMessage(kMsgStagingFailed, strerror(StagedPageErrno()));
        return 1;
    }
    if (IsOutputBroken()) {
        VnMessage(kMsgSendFailed);
        return 1;
    }
    VnMessage(kMsgPrinterReady);
    return 0;
}

int16_t SendRasterDoc(JobSettings* pJob)
{
    SendState state{};
    // A printer connection that goes away is a failed write, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    WatchCancel(&g_bCancelRequested);
    int16_t nStatus = SetFunctionTable();
    if (nStatus != 0) {
        VnMessage(kMsgFunctionTableFailed);
        return nStatus;
    }
    nStatus = CreateSendBuf(&state);
    if (nStatus != 0) {
        VnMessage(kMsgSendBufFailed);
        return nStatus;
    }
    int32_t nHandled = 0;
    for (;;) {
        int nHeader = ReadPpmFileHeader(pJob->pInputFile);
        if (nHeader == -1)
            nHeader = VnError(10, nullptr);
        if (nHeader != 0)
            break;
        if (nHandled == 0) {
            state.nCollate = pJob->nCollate;
            nCopies = (pJob->nCopyCount > 1 && state.nCollate != 1) ? pJob->nCopyCount : 1;
        }
        if (SendInputPage(pJob, &state, nHandled) != 0)
            break;
        ++nHandled;
    }
    if (g_bCancelRequested)
        return CloseJob(&state, JobEnd::kCancelled);
    return CloseJob(&state, nHandled == 0 && !bJobBegun ? JobEnd::kNoPages : JobEnd::kFinished);
}
