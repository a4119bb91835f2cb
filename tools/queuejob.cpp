// queuejob: one job carried out once a front end has made its request: the document read
// and rendered, the pages pumped into rastertovelnora while signals and ended children are
// acted on. Owns the pump (the loop that moves the document's bytes, or Ghostscript's
// pages, into rastertovelnora) and the job's exit status. The request comes from jobrequest
// (or another front end), the children from children, the document from document.
//
// The unit is longer than most: the pump's state (the buffer, the arranger, the passes of
// collated copies, Ghostscript's messages and its page clock) is one record that every
// step of the loop changes; split across units, each would have to expose it whole.
#include "queuejob.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "arrange.h"
#include "children.h"
#include "convert.h"
#include "descriptor.h"
#include "document.h"
#include "jobrecords.h"
#include "jobrequest.h"
#include "jobsettings.h"
#include "pagecounter.h"
#include "queuemessage.h"
#include "tempfile.h"
#include "vnfiletool.h"
#include "vnresource.h"

// Ghostscript's messages (its standard output and standard error) on their way to the
// wrapper's standard error: whole lines, up to kMessageBound bytes for the job; what
// follows is counted and left out, and one line tells how much.
constexpr size_t kMessageBound = 64 * 1024;
constexpr size_t kMaxMessageLine = 4096;   // a longer line is passed on in pieces

struct MessageRelay {
    std::string line;          // the line begun and not yet ended
    size_t nPassed = 0;        // bytes passed on
    uint64_t nLeftOut = 0;     // bytes left out once the bound was reached
    bool bVmError = false;     // Ghostscript reported that it ran out of memory
};

// The running job: the document's bytes (or Ghostscript's pages) moved to the filter.
struct RunningJob {
    SignalState* pSignals = nullptr;
    // The filter closes a job it has begun when the wrapper dies; Ghostscript just ends.
    Child filter{.pszName = "rastertovelnora", .nDeathSignal = SIGTERM};
    Child gs{.pszName = "gs", .nDeathSignal = SIGKILL};
    Fd source;                 // the document, or the reading end of Ghostscript's pages
    Fd sink;                   // the writing end of the filter's standard input
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kPumpSize);
    size_t nStart = 0;         // bytes of buffer not yet written: [nStart, nEnd)
    size_t nEnd = 0;
    PageCounter counter;
    bool bCountPages = false;  // the source is Ghostscript
    bool bInputFailed = false; // the document could not be read to its end
    bool bGsFailed = false;    // Ghostscript failed by itself (reported)
    bool bGsTimedOut = false;  // Ghostscript was stopped for rendering no page in time (reported)
    Fd messages;               // the reading end of Ghostscript's messages
    MessageRelay relay;
    uint64_t nGsMemoryMiB = 0; // Ghostscript's memory limit, for messages; 0: none
    int nGsPageSeconds = 0;    // Ghostscript's time for a page; 0: no limit
    // Page ranges and the copies the queue filter makes itself; null when the pages pass
    // through untouched.
    std::unique_ptr<PageArranger> pArranger;
    int nPassesLeft = 0;       // passes of the document after the current one
    bool bRestartGs = false;   // the next pass starts once this Ghostscript has ended
    std::function<bool()> startPass;   // starts the next pass's source
    bool bArrangeFailed = false;       // held pages could not be written or read (reported)
    bool bPageLines = false;   // a "PAGE: n copies" line for each page the filter is given
    int nPageCopies = 1;       // the times the filter prints each page it is given
    PageCounter given;         // the pages written to the filter
};

// Passes a piece of Ghostscript's messages on while the bound allows; once a piece no
// longer fits, everything after it is left out.
static void PassMessage(MessageRelay* pRelay, const std::string& piece)
{
    if (piece.rfind("Error: /VMerror", 0) == 0)
        pRelay->bVmError = true;
    if (pRelay->nLeftOut == 0 && pRelay->nPassed + piece.size() <= kMessageBound) {
        WriteAll(STDERR_FILENO, piece.data(), piece.size());
        pRelay->nPassed += piece.size();
        return;
    }
    pRelay->nLeftOut += piece.size();
}

static void RelayMessages(MessageRelay* pRelay, const char* pData, size_t nSize)
{
    for (size_t i = 0; i < nSize; ++i) {
        pRelay->line += pData[i];
        if (pData[i] == '\n' || pRelay->line.size() >= kMaxMessageLine) {
            PassMessage(pRelay, pRelay->line);
            pRelay->line.clear();
        }
    }
}

// Reads what Ghostscript has said: one read, or with bFinal (once it has ended: all it
// wrote is then in the pipe; a descendant that still holds the pipe loses the rest) all of
// it. At the end of its messages the last unended line is passed on, the reading end
// closed, and the bound's line said when something was left out.
static void ReadMessages(RunningJob* pJob, bool bFinal)
{
    MessageRelay* pRelay = &pJob->relay;
    if (pJob->messages.fd < 0)
        return;
    char buf[16384];
    for (;;) {
        const ssize_t n = read(pJob->messages.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && !bFinal)
            return;
        if (n <= 0)
            break;
        RelayMessages(pRelay, buf, size_t(n));
        if (!bFinal)
            return;   // one read at a time: a chatty Ghostscript must not hold up the pages
    }
    pJob->messages.Close();
    if (!pRelay->line.empty())
        PassMessage(pRelay, pRelay->line);
    pRelay->line.clear();
    if (pRelay->nLeftOut != 0)
        Say("INFO: Ghostscript's messages cut after " + std::to_string(pRelay->nPassed) + " bytes: " +
            std::to_string(pRelay->nLeftOut) + " bytes left out");
}

static void StopFeeding(RunningJob* pJob)
{
    pJob->source.Close();
    pJob->sink.Close();
    pJob->nStart = pJob->nEnd = 0;
    pJob->pArranger.reset();
    pJob->nPassesLeft = 0;
    pJob->bRestartGs = false;
}

static void DropFilterInput(RunningJob* pJob);

// The arranger's next bytes into the empty buffer.
static void TakeArrangedBytes(RunningJob* pJob)
{
    if (!pJob->pArranger || pJob->nStart != pJob->nEnd)
        return;
    const long n = pJob->pArranger->Produce(pJob->buffer.data(), pJob->buffer.size());
    if (n < 0) {
        Say("ERROR: Cannot read back the held pages: " + std::string(strerror(errno)));
        pJob->bArrangeFailed = true;
        DropFilterInput(pJob);
        return;
    }
    pJob->nStart = 0;
    pJob->nEnd = size_t(n);
}

// The current pass of the document has ended: the next one begins, or the filter's input
// ends once every arranged byte has been written.
static void EndOfSource(RunningJob* pJob)
{
    pJob->source.Close();
    if (pJob->pArranger) {
        if (!pJob->pArranger->EndPass(pJob->nPassesLeft == 0)) {
            Say("ERROR: Cannot hold the pages for the copies: " + std::string(strerror(errno)));
            pJob->bArrangeFailed = true;
            DropFilterInput(pJob);
            return;
        }
        TakeArrangedBytes(pJob);
        if (pJob->nPassesLeft > 0 && !pJob->bGsFailed && !pJob->bGsTimedOut) {
            --pJob->nPassesLeft;
            if (pJob->bCountPages && pJob->gs.bRunning)
                pJob->bRestartGs = true;   // once the Ghostscript of this pass has ended
            else if (!pJob->startPass())
                DropFilterInput(pJob);
            return;
        }
    }
    if (pJob->nStart == pJob->nEnd)
        pJob->sink.Close();   // the end of the pages for the filter
}

static void Cancel(RunningJob* pJob)
{
    Say("INFO: Job cancelled (" + SignalName(pJob->pSignals->nCancelSignal) + "); closing it for the printer");
    StopChild(&pJob->gs, SIGTERM);
    // rastertovelnora's own cancellation closes a job already begun; between pages it
    // ignores SIGTERM and ends the job at the end of its input, which follows at once.
    StopChild(&pJob->filter, SIGTERM);
    StopFeeding(pJob);
}

// The filter no longer takes pages: there is nothing more to render. A Ghostscript whose
// pages have all been read is left to end by itself: its status still tells whether the
// document was rendered whole.
static void DropFilterInput(RunningJob* pJob)
{
    const bool bStillRendering = pJob->source.fd >= 0;
    StopFeeding(pJob);
    if (bStillRendering)
        StopChild(&pJob->gs, SIGTERM);
}

// Ghostscript writes only to the wrapper's pipe, which stays open until the wrapper
// stops it: an unsuccessful end it was not stopped for is its own failure.
static void ReapChildren(RunningJob* pJob)
{
    const bool bGsEnded = ReapChild(&pJob->gs);
    if (bGsEnded)
        ReadMessages(pJob, true);
    if (bGsEnded && !pJob->gs.bStopped && !EndedWell(&pJob->gs)) {
        pJob->bGsFailed = true;
        if (pJob->relay.bVmError && pJob->nGsMemoryMiB != 0)
            Say("ERROR: Ghostscript ran out of memory: the queue allows it " + std::to_string(pJob->nGsMemoryMiB) +
                " MiB (--gs-memory)");
        else
            Say("ERROR: Ghostscript could not render the document (" + HowItEnded(&pJob->gs) + ")");
    }
    if (bGsEnded && pJob->bRestartGs && !pJob->bGsFailed) {
        pJob->bRestartGs = false;
        if (!pJob->startPass())
            DropFilterInput(pJob);
    } else if (bGsEnded && pJob->bRestartGs) {
        pJob->bRestartGs = false;   // a failed pass ends the job
        pJob->nPassesLeft = 0;
        if (pJob->nStart == pJob->nEnd)
            pJob->sink.Close();
    }
    if (ReapChild(&pJob->filter))
        DropFilterInput(pJob);
}

static void ReadSource(RunningJob* pJob)
{
    const ssize_t n = read(pJob->source.fd, pJob->buffer.data(), pJob->buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n < 0) {
        Say("ERROR: Cannot read the document: " + std::string(strerror(errno)));
        pJob->bInputFailed = !pJob->bCountPages;
    }
    if (n <= 0) {
        EndOfSource(pJob);
        return;
    }
    pJob->nStart = 0;
    pJob->nEnd = size_t(n);
    if (pJob->bCountPages) {
        const int nBefore = pJob->counter.nPages;
        CountPages(&pJob->counter, pJob->buffer.data(), size_t(n));
        for (int nPage = nBefore + 1; nPage <= pJob->counter.nPages; ++nPage)
            Say("INFO: Rendered page " + std::to_string(nPage));
    }
    if (!pJob->pArranger)
        return;
    pJob->nStart = pJob->nEnd = 0;
    if (!pJob->pArranger->Feed(pJob->buffer.data(), size_t(n))) {
        Say("ERROR: Cannot hold the pages for the copies: " + std::string(strerror(errno)));
        pJob->bArrangeFailed = true;
        DropFilterInput(pJob);
        return;
    }
    TakeArrangedBytes(pJob);
}

// Counts the pages in bytes the filter has taken: a line for each page ended in them.
static void ReportGivenPages(RunningJob* pJob, const uint8_t* pData, size_t nSize)
{
    const int nBefore = pJob->given.nPages;
    CountPages(&pJob->given, pData, nSize);
    for (int nPage = nBefore + 1; nPage <= pJob->given.nPages; ++nPage)
        Say("PAGE: " + std::to_string(nPage) + " " + std::to_string(pJob->nPageCopies));
}

static void WriteSink(RunningJob* pJob)
{
    const ssize_t n = write(pJob->sink.fd, pJob->buffer.data() + pJob->nStart, pJob->nEnd - pJob->nStart);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n < 0) {
        DropFilterInput(pJob);   // EPIPE: the filter has ended or closed its input
        return;
    }
    if (pJob->bPageLines)
        ReportGivenPages(pJob, pJob->buffer.data() + pJob->nStart, size_t(n));
    pJob->nStart += size_t(n);
    if (pJob->nStart == pJob->nEnd) {
        pJob->nStart = pJob->nEnd = 0;
        TakeArrangedBytes(pJob);
        const bool bMorePasses = pJob->nPassesLeft > 0 || pJob->bRestartGs;
        if (pJob->source.fd < 0 && pJob->nStart == pJob->nEnd && !bMorePasses)
            pJob->sink.Close();
    }
}

// A cancelled filter gets the signal again while it runs: between pages it ignores the
// signal and ends the job by itself, but a printer that stops reading during that finish
// can hold it only until the next signal. At the very end it is killed.
constexpr int kCancelRepeatMs = 500;
constexpr int kCancelRepeatsBeforeKill = 20;

static void RepeatCancel(RunningJob* pJob, int nRepeat)
{
    if (nRepeat < kCancelRepeatsBeforeKill) {
        StopChild(&pJob->filter, SIGTERM);
        StopChild(&pJob->gs, SIGTERM);
        return;
    }
    Say("ERROR: rastertovelnora did not end after the cancellation; killed");
    KillAndReap(&pJob->filter);
    KillAndReap(&pJob->gs);
}

// The time Ghostscript has for its next page. It runs only while the wrapper waits for
// Ghostscript's pages (not while the filter or the printer holds the pages up), and starts
// afresh each time the wrapper begins to wait: after passing page data on, or after job
// control has resumed the job.
struct PageClock {
    bool bWaiting = false;                          // the wrapper waits for Ghostscript
    std::chrono::steady_clock::time_point deadline; // while waiting: when Ghostscript is stopped
};

// Whether the clock runs now, started afresh when the wrapper has just begun to wait; the
// poll timeout it leaves (-1: none).
static bool RunPageClock(const RunningJob& job, PageClock* pClock, int* pnTimeoutMs)
{
    const bool bWaiting = job.nGsPageSeconds > 0 && job.bCountPages && job.nStart == job.nEnd &&
                          job.source.fd >= 0 && job.gs.bRunning && !job.gs.bStopped;
    const auto now = std::chrono::steady_clock::now();
    if (bWaiting && !pClock->bWaiting)
        pClock->deadline = now + std::chrono::seconds(job.nGsPageSeconds);
    pClock->bWaiting = bWaiting;
    if (!bWaiting)
        return false;
    const auto nLeftMs = std::chrono::ceil<std::chrono::milliseconds>(pClock->deadline - now).count();
    *pnTimeoutMs = int(std::clamp<decltype(nLeftMs)>(nLeftMs, 0, 60 * 60 * 1000));
    return true;
}

// Ghostscript has rendered no page in its time: it is stopped; the pages it rendered
// before go on to the printer.
static void StopSlowGhostscript(RunningJob* pJob)
{
    Say("ERROR: Ghostscript rendered no page in " + std::to_string(pJob->nGsPageSeconds) +
        " seconds (--gs-page-timeout); stopped");
    pJob->bGsTimedOut = true;
    StopChild(&pJob->gs, SIGKILL);
}

// Moves the bytes until both children have ended, acting on signals between steps. False
// when the wrapper could not wait for its children any more: both are then ended
// (reported).
static bool RunLoop(RunningJob* pJob)
{
    SignalState* pSignals = pJob->pSignals;
    bool bCancelled = false;
    int nRepeats = 0;
    PageClock clock;
    while (pJob->filter.bRunning || pJob->gs.bRunning) {
        pollfd fds[4] = {{pSignals->fdSignal, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0},
                         {pJob->messages.fd, POLLIN, 0}};
        const bool bBufferEmpty = pJob->nStart == pJob->nEnd;
        if (bBufferEmpty)
            fds[1].fd = pJob->source.fd;
        else
            fds[2].fd = pJob->sink.fd;
        int nTimeoutMs = bCancelled ? kCancelRepeatMs : -1;
        const bool bClockRuns = !bCancelled && RunPageClock(*pJob, &clock, &nTimeoutMs);
        const int nReady = poll(fds, 4, nTimeoutMs);
        if (nReady < 0 && errno != EINTR) {
            Say("ERROR: Cannot wait for the job's programs: " + std::string(strerror(errno)));
            KillAndReap(&pJob->filter);
            KillAndReap(&pJob->gs);
            return false;
        }
        if (nReady == 0 && bCancelled) {
            RepeatCancel(pJob, ++nRepeats);
            continue;
        }
        if (nReady == 0) {
            if (bClockRuns && std::chrono::steady_clock::now() >= clock.deadline)
                StopSlowGhostscript(pJob);
            continue;
        }
        if (nReady < 0)
            continue;
        if (fds[0].revents) {
            ReadSignals(pSignals);
            if (pSignals->nCancelSignal != 0 && !bCancelled) {
                bCancelled = true;
                Cancel(pJob);
            }
            if (pSignals->bChildEvent) {
                pSignals->bChildEvent = false;
                ReapChildren(pJob);
            }
            if (pSignals->bContinue) {
                pSignals->bContinue = false;
                ContinueChild(&pJob->gs);
                ContinueChild(&pJob->filter);
                clock.bWaiting = false;   // the time stopped with the job does not count
            }
            continue;   // the descriptors may have changed
        }
        if (fds[3].fd >= 0 && fds[3].revents)
            ReadMessages(pJob, false);
        if (fds[1].fd >= 0 && fds[1].revents)
            ReadSource(pJob);
        else if (fds[2].fd >= 0 && fds[2].revents)
            WriteSink(pJob);
    }
    return true;
}

// The exit status of a job whose children have ended.
static int FinalStatus(const RunningJob& job)
{
    const Child& filter = job.filter;
    const bool bFilterExited = WIFEXITED(filter.nWaitStatus);
    const int nFilterStatus = bFilterExited ? WEXITSTATUS(filter.nWaitStatus) : -1;
    if (job.pSignals->nCancelSignal != 0)
        return bFilterExited && nFilterStatus != 0 ? nFilterStatus : kStatusPrinted;
    if (job.bGsFailed || job.bGsTimedOut)
        return kStatusRefused;
    if (job.bArrangeFailed)
        return kStatusFailed;
    // A document Ghostscript reads without error but without a page never prints either.
    if (job.bCountPages && job.counter.nPages == 0 && !job.counter.bLost && !job.gs.bStopped)
        return Refuse("Ghostscript found no page to print in the document");
    if (!bFilterExited)
        return Fail("rastertovelnora ended by " + HowItEnded(&filter));
    if (nFilterStatus == 0 && job.bInputFailed)
        return kStatusFailed;
    return nFilterStatus;
}

// The job's settings loaded as rastertovelnora loads them, so a job it would refuse is
// refused here, before anything starts, with its message and status: the page size
// Ghostscript renders and what the job asks of copies. 0 or the filter's status.
static int ReadJobSettings(const std::string& jobRc, const JobRequest& req, PageSetup* pPage, CopySettings* pCopies)
{
    int nStatus = LoadRcFile(jobRc.c_str(), &g_rcInfo);
    if (nStatus != 0)
        return nStatus;
    JobSettings js{};
    std::string paperInfCopy = req.szPaperInf;
    js.pszPaperInf = paperInfCopy.data();
    nStatus = ConvertRc2Pjp(&g_rcInfo, &js);
    const std::string table = ModelTablePath(g_rcInfo.szPrinterName, "ImagingArea");
    if (nStatus == 1 && access(table.c_str(), R_OK) != 0)
        Say("INFO: The model's tables are read from " + table.substr(0, table.rfind('/')) +
            "; --model-root DIR on the filter line (or VELNORA_ROOT) names the folder that holds " +
            g_rcInfo.szPrinterName + "/bin/inf");
    if (nStatus != 0)
        return nStatus;
    *pPage = js.page;
    const auto Word = [](const char* pszKey) {
        const char* pszWord = GetKeyValue(pszKey, &g_rcInfo);
        return std::string(pszWord ? pszWord : "");
    };
    pCopies->nCopies = js.nCopyCount;
    pCopies->bCollate = Word("Collate") == "ON";
    pCopies->bDuplex = Word("VNDuplex") != "None" && !Word("VNDuplex").empty();
    pCopies->bSkipBlank = Word("VNSkipBlank") == "ON";
    if (!req.szPageRanges.empty())
        ReadPageRanges(req.szPageRanges, &pCopies->ranges);
    return 0;
}

// A cancellation before any child was started: nothing reached the printer.
static int CancelledEarly(const SignalState* pSignals)
{
    Say("INFO: Job cancelled (" + SignalName(pSignals->nCancelSignal) + ") before printing began");
    return kStatusPrinted;
}

// The document as a file Ghostscript can seek in: the named one, or standard input
// spooled into the private folder. 0, the exit status, or -1 when cancelled.
static int DocumentFile(const std::vector<uint8_t>& head, Fd* pIn, const JobRequest& req, const PrivateDir& dir,
                        SignalState* pSignals, std::string* pDocument)
{
    *pDocument = req.szInput;
    if (!pDocument->empty())
        return 0;
    *pDocument = dir / "document";
    return SpoolDocument(head, pIn->fd, *pDocument, pSignals);
}

// rastertovelnora: the request's, else the one beside this program.
static std::string FilterProgram(const JobRequest& req)
{
    return req.szFilterProgram.empty() ? FilterProgramPath() : req.szFilterProgram;
}

// Renders a document of a kind Ghostscript reads, or one converted for it first, into the
// filter. The document is the named file (empty: standard input, spooled first).
static int PrintRendered(RunningJob* pJob, DocKind kind, const std::vector<uint8_t>& head, Fd* pIn,
                         const JobRequest& req, const PrivateDir& dir, const std::string& jobRc,
                         const PageSetup& page, std::string document)
{
    if (document.empty()) {
        const int nStatus = DocumentFile(head, pIn, req, dir, pJob->pSignals, &document);
        if (nStatus < 0)
            return CancelledEarly(pJob->pSignals);
        if (nStatus != 0)
            return nStatus;
    }
    pIn->Close();
    const std::string kindName = KindName(kind);
    const int nStatus = ConvertForGhostscript(&kind, &document, page, dir.Path(), pJob->pSignals);
    if (nStatus < 0)
        return CancelledEarly(pJob->pSignals);
    if (nStatus != 0)
        return nStatus;
    Say("INFO: Rendering the " + kindName + " document with Ghostscript (" +
        std::to_string(page.nPageWidth) + "x" + std::to_string(page.nPageHeight) + " pixels at 600 dpi)");
    pJob->bCountPages = true;
    pJob->nGsMemoryMiB = req.nGsMemoryMiB;
    pJob->nGsPageSeconds = req.nGsPageSeconds;
    pJob->gs.nMemoryLimit = req.nGsMemoryMiB * 1024 * 1024;
    // Ghostscript first: a job it cannot render never starts a job for the printer. Each
    // collated copy renders the document again: a long document is never held whole.
    pJob->startPass = [pJob, kind, document, page, tmpDir = dir.Path()] {
        return StartGhostscript(&pJob->gs, &pJob->source, &pJob->messages, kind, document, page, tmpDir);
    };
    if (!pJob->startPass())
        return kStatusFailed;
    if (!StartFilter(&pJob->filter, &pJob->sink, FilterProgram(req), jobRc, req.szPaperInf)) {
        KillAndReap(&pJob->gs);
        return kStatusFailed;
    }
    return RunLoop(pJob) ? FinalStatus(*pJob) : kStatusFailed;
}

// Passes PPM pages to the filter as they come: the head, then the rest of the input.
// Collated copies read the pages again from the start, so a document read from a pipe is
// spooled into the private folder first.
static int PrintPages(RunningJob* pJob, const std::vector<uint8_t>& head, Fd* pIn, const JobRequest& req,
                      const PrivateDir& dir, const std::string& jobRc)
{
    Fd document;
    if (pJob->nPassesLeft > 0) {
        if (lseek(pIn->fd, 0, SEEK_CUR) < 0) {
            const std::string spooled = dir / "document";
            const int nStatus = SpoolDocument(head, pIn->fd, spooled, pJob->pSignals);
            if (nStatus < 0)
                return CancelledEarly(pJob->pSignals);
            if (nStatus != 0)
                return nStatus;
            pIn->Reset(open(spooled.c_str(), O_RDONLY | O_CLOEXEC));
            if (pIn->fd < 0)
                return Fail("Cannot read the spooled document: " + std::string(strerror(errno)));
            lseek(pIn->fd, off_t(head.size()), SEEK_SET);
        }
        document.Reset(fcntl(pIn->fd, F_DUPFD_CLOEXEC, 0));
        pJob->startPass = [pJob, fd = document.fd] {
            pJob->source.Reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
            return pJob->source.fd >= 0 && lseek(pJob->source.fd, 0, SEEK_SET) == 0;
        };
    }
    if (!StartFilter(&pJob->filter, &pJob->sink, FilterProgram(req), jobRc, req.szPaperInf))
        return kStatusFailed;
    pJob->source.Reset(pIn->fd);
    pIn->fd = -1;
    if (pJob->pArranger) {
        if (!pJob->pArranger->Feed(head.data(), head.size()))
            return Fail("Cannot hold the pages for the copies: " + std::string(strerror(errno)));
        TakeArrangedBytes(pJob);
    } else {
        std::copy(head.begin(), head.end(), pJob->buffer.begin());
        pJob->nEnd = head.size();
    }
    return RunLoop(pJob) ? FinalStatus(*pJob) : kStatusFailed;
}

// Appends the plan's settings to the job's rc file: the last line of a key counts.
static int AppendJobRc(const std::string& jobRc, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    Fd fd(open(jobRc.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (fd.fd < 0 || !WriteAll(fd.fd, text.data(), text.size()))
        return Fail("Cannot write the job's settings: " + std::string(strerror(errno)));
    return 0;
}

// A gzip-compressed document: unpacked into the private folder, then printed as what it
// holds.
static int PrintPacked(RunningJob* pJob, const std::vector<uint8_t>& head, Fd* pIn, const JobRequest& req,
                       const PrivateDir& dir, const std::string& jobRc, const PageSetup& page)
{
    std::string packed;
    int nStatus = DocumentFile(head, pIn, req, dir, pJob->pSignals, &packed);
    if (nStatus == 0)
        nStatus = UnpackDocument(packed, dir / "unpacked", pJob->pSignals);
    if (nStatus < 0)
        return CancelledEarly(pJob->pSignals);
    if (nStatus != 0)
        return nStatus;
    Fd unpacked;
    nStatus = OpenDocument(dir / "unpacked", &unpacked);
    std::vector<uint8_t> innerHead;
    if (nStatus == 0)
        nStatus = ReadHead(unpacked.fd, &innerHead, pJob->pSignals);
    if (nStatus < 0)
        return CancelledEarly(pJob->pSignals);
    if (nStatus != 0)
        return nStatus;
    const DocKind kind = KindOf(innerHead);
    if (kind == DocKind::kEmpty)
        return Refuse("The gzip-compressed document is empty: nothing to print");
    if (kind == DocKind::kGzip || kind == DocKind::kUnknown)
        return Refuse("Cannot print the gzip-compressed document: it holds " +
                      (kind == DocKind::kGzip ? std::string("another gzip-compressed file") : DescribeUnknown(innerHead)) +
                      "; the queue prints " + kAcceptedKinds);
    if (kind == DocKind::kPpm)
        return PrintPages(pJob, innerHead, &unpacked, req, dir, jobRc);
    return PrintRendered(pJob, kind, innerHead, &unpacked, req, dir, jobRc, page, dir / "unpacked");
}

int RunJob(const JobRequest& req, SignalState* pSignals, const JobReports& reports)
{
    if (access(FilterProgram(req).c_str(), X_OK) != 0)
        return Fail("Cannot run " + FilterProgram(req) + ": " + strerror(errno));
    Fd in;
    int nStatus = OpenDocument(req.szInput, &in);
    if (nStatus != 0)
        return nStatus;
    PrivateDir dir;
    if (!dir.Make())
        return Fail("Cannot make a temporary folder: " + std::string(strerror(errno)));
    const std::string jobRc = dir / "job.rc";
    nStatus = WriteJobRc(req, jobRc);
    if (nStatus != 0)
        return nStatus;

    std::vector<uint8_t> head;
    nStatus = ReadHead(in.fd, &head, pSignals);
    if (nStatus < 0)
        return CancelledEarly(pSignals);
    if (nStatus != 0)
        return nStatus;
    const DocKind kind = KindOf(head);
    if (kind == DocKind::kEmpty)
        return Refuse("The document is empty: nothing to print");
    if (kind == DocKind::kUnknown)
        return Refuse("Cannot print " + DescribeUnknown(head) + " (it begins with \"" +
                      Printable(std::string_view(reinterpret_cast<const char*>(head.data()), head.size()), 16) +
                      "\"); the queue prints " + kAcceptedKinds);

    PageSetup page{};
    CopySettings copies;
    nStatus = ReadJobSettings(jobRc, req, &page, &copies);
    if (nStatus != 0)
        return nStatus;
    const ArrangePlan plan = PlanJob(copies);
    if (!plan.filterRcLines.empty() && (nStatus = AppendJobRc(jobRc, plan.filterRcLines)) != 0)
        return nStatus;

    RunningJob job;
    job.pSignals = pSignals;
    job.bPageLines = reports.bPageLines;
    // The filter repeats each page for uncollated simplex copies; copies the queue filter
    // makes itself reach it as pages of their own.
    job.nPageCopies = plan.nPasses == 1 && plan.nSheetCopies == 1 ? std::max(copies.nCopies, 1) : 1;
    if (plan.bFollowPages)
        job.pArranger = std::make_unique<PageArranger>(plan, copies, dir / "held");
    job.nPassesLeft = plan.nPasses - 1;
    if (kind == DocKind::kPpm)
        return PrintPages(&job, head, &in, req, dir, jobRc);
    if (kind == DocKind::kGzip)
        return PrintPacked(&job, head, &in, req, dir, jobRc, page);
    return PrintRendered(&job, kind, head, &in, req, dir, jobRc, page, "");
}

