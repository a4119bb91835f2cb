// printerout: the printer connection. Keeps one buffer of bytes queued for standard
// output and hands it to the descriptor whole, resuming interrupted and partial writes,
// so a signal never loses or reorders printer data. The PJL writer, the gzip stream and
// the cancellation padding write through it.
//
// While a job is being cancelled, standard output is switched to non-blocking mode and
// each write waits for the printer with poll, until the grace period is over; then the
// connection counts as stalled. The mode is given back before the filter ends, because
// the spooler may share the open file with the filter.
#include "printerout.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

constexpr size_t kStageBytes = size_t(1) << 16;
static uint8_t outStage[kStageBytes];   // bytes queued for standard output
static size_t nStaged = 0;              // bytes queued in outStage
static bool bOutputBroken = false;      // a write, or a step producing printer data, failed
static const volatile sig_atomic_t* pbCancel = nullptr;   // the page loop's cancel flag
static bool bCancelMode = false;        // standard output made non-blocking for the cancel
static int nSavedFlags = -1;            // its file status flags before, or -1
static timespec graceEnd{};             // when waiting for the printer ends
static bool bStalled = false;           // the grace period is over: writes never wait

void WatchCancel(const volatile sig_atomic_t* pbCancelRequested)
{
    pbCancel = pbCancelRequested;
}

static bool CancelDue()
{
    return pbCancel && *pbCancel;
}

static int64_t MillisecondsUntil(const timespec& end)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t(end.tv_sec) - now.tv_sec) * 1000 + (int64_t(end.tv_nsec) - now.tv_nsec) / 1000000;
}

// The cancellation has begun: from now on no write blocks.
static void EnterCancelMode()
{
    bCancelMode = true;
    nSavedFlags = fcntl(STDOUT_FILENO, F_GETFL);
    if (nSavedFlags >= 0 && !(nSavedFlags & O_NONBLOCK))
        fcntl(STDOUT_FILENO, F_SETFL, nSavedFlags | O_NONBLOCK);
    clock_gettime(CLOCK_MONOTONIC, &graceEnd);
    graceEnd.tv_sec += kCancelGraceMs / 1000;
    graceEnd.tv_nsec += long(kCancelGraceMs % 1000) * 1000000;
    if (graceEnd.tv_nsec >= 1000000000) {
        graceEnd.tv_sec += 1;
        graceEnd.tv_nsec -= 1000000000;
    }
}

void RestoreOutputMode()
{
    if (nSavedFlags >= 0 && !(nSavedFlags & O_NONBLOCK))
        fcntl(STDOUT_FILENO, F_SETFL, nSavedFlags);
    nSavedFlags = -1;
}

// Waits until the printer can take bytes again or the grace period ends: false when the
// connection has stalled.
static bool WaitForPrinter()
{
    for (;;) {
        const int64_t nLeft = bStalled ? 0 : MillisecondsUntil(graceEnd);
        if (nLeft <= 0) {
            bStalled = true;
            return false;
        }
        pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
        const int nReady = poll(&pfd, 1, int(nLeft));
        if (nReady > 0)
            return true;
        if (nReady < 0 && errno != EINTR)
            return false;
    }
}

// Writes all nLength bytes. Without a cancellation a write blocks and resumes after a
// signal; once one is due, a write waits only through the grace period. False when a
// write failed or the printer stalled (the bytes it did not take are dropped).
static bool WriteToPrinter(const uint8_t* p, size_t nLength)
{
    while (nLength > 0) {
        if (!bCancelMode && CancelDue())
            EnterCancelMode();
        const ssize_t nWritten = write(STDOUT_FILENO, p, nLength);
        if (nWritten > 0) {
            p += nWritten;
            nLength -= size_t(nWritten);
            continue;
        }
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten < 0 && errno == EAGAIN && bCancelMode && WaitForPrinter())
            continue;
        if (!(nWritten < 0 && errno == EAGAIN && bCancelMode))
            bOutputBroken = true;   // a real failure: the printer connection is gone
        return false;
    }
    return true;
}

static bool FlushStage()
{
    if (nStaged == 0 || bOutputBroken)
        return !bOutputBroken;
    const bool bOk = WriteToPrinter(outStage, nStaged);
    nStaged = 0;
    return bOk;
}

int pswrite(const void* pData, size_t nLength)
{
    if (nLength == 0)
        return 1;
    if (bOutputBroken)
        return 0;
    if (nStaged + nLength > kStageBytes && !FlushStage())
        return 0;
    if (nLength >= kStageBytes)
        return WriteToPrinter(static_cast<const uint8_t*>(pData), nLength) ? 1 : 0;
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
    return bOutputBroken || bStalled;
}

void MarkOutputBroken()
{
    bOutputBroken = true;
}
