// rastertovelnora: the job driver. Owns start-up and the command line, the conversion of
// the loaded settings into JobSettings, the paper files, and the page loop: the pages read
// from the input, each sent as often as uncollated copies require (further copies read
// back from a temporary copy file), and SIGTERM from the spooler. The SIGTERM handler only
// notes the request; the loop cancels at its next safe point, where no write to the
// printer and no compression step is under way.
#include "rastertovelnora.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "Mfunc.h"
#include "compress.h"
#include "option.h"
#include "pbmproc.h"
#include "send.h"
#include "tempfile.h"
#include "vnDriverModel.h"
#include "vnerror.h"
#include "vnfiletool.h"

volatile sig_atomic_t g_bCancelRequested = 0;
int32_t nCopies = 1;
int32_t iCopy = 0;
int fdPageData = -1;
char tempFilename[1024] = "";

static bool bJobBegun = false;      // the begin-job operation has completed
static bool bPixelsMissing = false; // the last page image had no pixel data at all

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

// SIGTERM runs CancelJob while a page image is being sent. Without SA_RESTART a read or
// write blocked at that moment returns, so the loop reaches its next safe point promptly.
static void InstallCancelHandler()
{
    struct sigaction action = {};
    action.sa_handler = CancelJob;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

static void IgnoreCancel()
{
    signal(SIGTERM, SIG_IGN);
}

static void CloseCopyFile()
{
    if (fdPageData < 0)
        return;
    close(fdPageData);
    unlink(tempFilename);
    fdPageData = -1;
}

// The closing sequence of a cancelled job: zero padding, the end of the compressed stream
// and the PJL trailer. A job whose begin-job operation had not completed has nothing to
// close: the printer gets no byte.
[[noreturn]] static void RunCancellation(SendState* pState)
{
    IgnoreCancel();
    CloseCopyFile();
    if (bJobBegun) {
        sendNULLData();
        fun_table.pfnEndJob(pState);
        psflush();
    }
    DestroySendBuf();
    DestroyBandBuf();
    DisposGrayMemory();
    exit(0);
}

// A safe point of the page loop.
static void CheckCancel(SendState* pState)
{
    if (g_bCancelRequested)
        RunCancellation(pState);
}

// ---------------------------------------------------------------------------------------
// Reading a band

// Reads up to nBytes from the input in one block read. An interrupted read is a safe
// point, not the end of the input: it resumes unless the job is being cancelled.
static size_t ReadInputBand(FILE* fp, uint8_t* pBuf, size_t nBytes, SendState* pState)
{
    size_t nDone = 0;
    for (;;) {
        errno = 0;
        nDone += fread(pBuf + nDone, 1, nBytes - nDone, fp);
        if (nDone == nBytes || feof(fp) || !ferror(fp) || errno != EINTR)
            return nDone;
        clearerr(fp);
        CheckCancel(pState);
    }
}

static bool ReadCopyFile(uint8_t* pBuf, size_t nBytes, SendState* pState)
{
    while (nBytes > 0) {
        const ssize_t nRead = read(fdPageData, pBuf, nBytes);
        if (nRead < 0 && (errno == EINTR || errno == EAGAIN)) {
            CheckCancel(pState);
            continue;
        }
        if (nRead <= 0)
            return false;
        pBuf += nRead;
        nBytes -= size_t(nRead);
    }
    return true;
}

// Fills the band buffer for the copy being sent: 0 filled, 1 failed (reported), 2 no
// pixel data at all for this page image (reported).
static int FillBand(JobSettings* pJob, SendState* pState, size_t nBytes)
{
    if (iCopy != 0) {
        if (fdPageData >= 0 && ReadCopyFile(Planes[0], nBytes, pState))
            return 0;
        fputs("ERROR: Reading raster data from temporary file failed!\n", stderr);
        return 1;
    }
    const size_t nRead = ReadInputBand(pJob->pInputFile, Planes[0], nBytes, pState);
    if (nRead == 0) {
        fputs("ERROR:   Reading pixels failed\n", stderr);
        return 2;
    }
    memset(Planes[0] + nRead, 0, nBytes - nRead);   // a short page ends in zero bytes
    // The whole band goes to the copy file, zeros of a short read included.
    if (fdPageData >= 0 && !WriteAll(fdPageData, Planes[0], nBytes)) {
        fputs("ERROR: Writing raster data to temporary file failed,just ONE copy will be printed!\n", stderr);
        CloseCopyFile();
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// One page image

int16_t BeginPageData(JobSettings* pJob, int32_t nPageNumber, SendState* pState)
{
    InstallCancelHandler();
    CheckCancel(pState);
    pState->nBandIndex = 0;
    if (nPageNumber == 1) {
        const int16_t nStatus = MBeginJob(pJob, pState);
        if (nStatus != 0) {
            fprintf(stderr, "%s%s", "ERROR: ", "Initializing printer for new job failed.\n");
            return nStatus;
        }
        bJobBegun = true;
    }
    CheckCancel(pState);
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
        const int nFill = FillBand(pJob, pState, size_t(nBandLines) * size_t(pJob->nBytesPerLine));
        if (nFill != 0) {
            DestroyBandBuf();
            bPixelsMissing = nFill == 2;
            return nFill == 2 ? nStatus : 1;
        }
        CheckCancel(pState);
        nStatus = fun_table.pfnBeginPage(pJob, pState);
        if (nStatus != 0) {
            fprintf(stderr, "%s%s", "ERROR: ", "Initializing the printer for new page failed.\n");
            DestroyBandBuf();
            return nStatus;
        }
        CheckCancel(pState);
        nStatus = fun_table.pfnSendBandData(pJob, pState);
        DestroyBandBuf();
        CheckCancel(pState);
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
        CheckCancel(pState);   // a request that came while the page was being sent
    }
    return nStatus;
}

// ---------------------------------------------------------------------------------------
// The page loop

// Sends one input page as often as the copies require: 0 to go on with the next page,
// otherwise the status that ends the job.
static int16_t SendInputPage(JobSettings* pJob, SendState* pState, int32_t nHandled)
{
    const bool bUncollated = pState->nCollate == 0 && nCopies > 1;
    for (iCopy = 0; iCopy < nCopies; ++iCopy) {
        if (bUncollated && iCopy > 0 && fdPageData < 0)
            break;   // no copy to read back: the page is printed once
        // The copy file is made once the page image has begun, so a SIGTERM that ends the
        // first page's wait finds it and removes it.
        int16_t nStatus = BeginPageData(pJob, nHandled * nCopies + iCopy + 1, pState);
        if (nStatus != 0)
            return nStatus;
        if (bUncollated && iCopy == 0) {
            fdPageData = myTempFd(tempFilename, sizeof tempFilename);
            if (fdPageData < 0)
                fputs("ERROR: Unable to create a temporay file\n", stderr);
        } else if (bUncollated) {
            lseek(fdPageData, 0, SEEK_SET);
        }
        nStatus = SendPageData(pJob, pState);
        EndPageData(pJob, pState);
        if (bUncollated && iCopy == nCopies - 1)
            CloseCopyFile();
        if (nStatus != 0)
            return nStatus;
        if (IsOutputBroken())
            return 1;   // the printer cannot take the job any more
        if (bPixelsMissing)
            break;      // nothing to copy: the page image is not sent at all
    }
    CloseCopyFile();
    return 0;
}

// Closes a job that began: the last page, the end of the stream and the trailer.
static int16_t FinishJob(SendState* pState)
{
    CloseCopyFile();
    if (bJobBegun)
        MEndJob(pState);
    psflush();
    DestroySendBuf();
    ResetFunctionTable();
    if (IsOutputBroken()) {
        fprintf(stderr, "%s%s", "ERROR: ", "Sending the job to the printer failed.\n");
        return 1;
    }
    fprintf(stderr, "%s%s", "INFO: ", "The printer is ready to print.\n");
    return 0;
}

int16_t SendRasterDoc(JobSettings* pJob)
{
    SendState state;
    memset(&state, 0, sizeof state);
    // A printer connection that goes away is a failed write, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    int16_t nStatus = SetFunctionTable();
    if (nStatus != 0) {
        fprintf(stderr, "%s%s", "ERROR: ", "Setting function table failed!\n");
        return nStatus;
    }
    nStatus = CreateSendBuf(&state);
    if (nStatus != 0) {
        fputs("molloc fasle\n", stderr);
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
    if (nHandled == 0 && !bJobBegun) {
        DestroySendBuf();
        ResetFunctionTable();
        fprintf(stderr, "%s%s", "ERROR: ", "No pages found!\n");
        return 1;
    }
    return FinishJob(&state);
}
