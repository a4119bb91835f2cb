// velnora-filter: the queue's filter, the command a printcap's filter=/if= names. Takes a
// job as the spooler hands it over (PDF, PostScript, EPS, UTF-8 text, PNG, JPEG, binary PPM
// pages, or one of these compressed with gzip), renders all but PPM with Ghostscript (text
// and images converted first, see convert), and feeds the pages to rastertovelnora, which
// writes the printer job to standard output.
//
//   velnora-filter --rc RCFILE --pi PAPERINFO [--model-root DIR] [LPRng options] [INPUT]
//
//   --rc FILE          the queue's settings (rastertovelnora's -rc)
//   --pi FILE          the paper-information file (rastertovelnora's -pi)
//   --model-root DIR   root of the model tables: VELNORA_ROOT for rastertovelnora
//   -nLOGIN            user name: OWNER
//   -JTITLE            job name: TITLE (else -NFILENAME, the file name)
//   -ZOPT=VAL,...      job options; several -Z are joined:
//       pin=NNNN                     secure print under this four-digit PIN (PASSWORD)
//       copies=1..999                Copies
//       collate=on|off               Collate
//       duplex=none|long|short       VNDuplex None, DuplexNoTumble, DuplexTumble
//       color=color|mono|auto        VNMonoColor FullColor, Mono, Auto
//       media=WORD                   PageSize: a page-size word (A4, Letter, ...)
//       mediatype=WORD               MediaType: Plain, Thick, Label, ...
//       tray=WORD                    InputSlot: AutoSelect, Tray1..Tray5, MPTray, Manual
//       quality=normal|fine          VNResolution Normal, Fine
//       tonersave=on|off             TonerSaveMode
//       skipblank=on|off             VNSkipBlank
//     Keys and values are matched without regard to case.
//   INPUT              the document; standard input when missing or "-"
//
// LPRng's options are taken as -Xvalue or -X value (see jobrequest).
//
// Exit status: rastertovelnora's (0 printed; 1, 5, 6, 7, 13, 14 as it documents; for PDF
// and PostScript the settings and paper are checked the same way before rendering); 0 also
// after a cancellation unless the filter itself failed; 1 the document, the rc file, the
// temporary folder or rastertovelnora cannot be used, or the filter died of a signal;
// 2 a job that can never print: a bad command line, a refused -Z option, a document of
// another kind, an empty or damaged document, a failed conversion, a Ghostscript failure, or a document in which
// Ghostscript finds no page. Standard error: the filter's messages, Ghostscript's (its
// standard output too: never the pages), and the wrapper's "INFO: "/"ERROR: " lines.
//
// Signals: SIGTERM, SIGINT, SIGHUP and SIGQUIT cancel the job: Ghostscript is stopped,
// rastertovelnora gets SIGTERM (its own cancellation closes a job already begun), the
// wrapper waits for both and removes its temporary folder. SIGCONT alone is job control:
// it cancels nothing and is passed on to a child that job control has stopped. The
// children run in process groups of their own, so a signal to the spooler's group
// reaches only this wrapper.
//
// This unit is the pump: the loop that moves the document's bytes, or Ghostscript's
// pages, into rastertovelnora while acting on signals and ended children, and main. The
// request comes from jobrequest, the children from children, the document from document.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "children.h"
#include "convert.h"
#include "descriptor.h"
#include "document.h"
#include "jobrecords.h"
#include "jobrequest.h"
#include "jobsettings.h"
#include "pagecounter.h"
#include "queuemessage.h"
#include "vnfiletool.h"
#include "vnresource.h"

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
};

static void StopFeeding(RunningJob* pJob)
{
    pJob->source.Close();
    pJob->sink.Close();
    pJob->nStart = pJob->nEnd = 0;
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
    if (ReapChild(&pJob->gs) && !pJob->gs.bStopped && !EndedWell(&pJob->gs)) {
        pJob->bGsFailed = true;
        Say("ERROR: Ghostscript could not render the document (" + HowItEnded(&pJob->gs) + ")");
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
        pJob->source.Close();
        pJob->sink.Close();   // the end of the pages for the filter
        return;
    }
    pJob->nStart = 0;
    pJob->nEnd = size_t(n);
    if (!pJob->bCountPages)
        return;
    const int nBefore = pJob->counter.nPages;
    CountPages(&pJob->counter, pJob->buffer.data(), size_t(n));
    for (int nPage = nBefore + 1; nPage <= pJob->counter.nPages; ++nPage)
        Say("INFO: Rendered page " + std::to_string(nPage));
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
    pJob->nStart += size_t(n);
    if (pJob->nStart == pJob->nEnd) {
        pJob->nStart = pJob->nEnd = 0;
        if (pJob->source.fd < 0)
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

// Moves the bytes until both children have ended, acting on signals between steps. False
// when the wrapper could not wait for its children any more: both are then ended
// (reported).
static bool RunLoop(RunningJob* pJob)
{
    SignalState* pSignals = pJob->pSignals;
    bool bCancelled = false;
    int nRepeats = 0;
    while (pJob->filter.bRunning || pJob->gs.bRunning) {
        pollfd fds[3] = {{pSignals->fdSignal, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0}};
        const bool bBufferEmpty = pJob->nStart == pJob->nEnd;
        if (bBufferEmpty)
            fds[1].fd = pJob->source.fd;
        else
            fds[2].fd = pJob->sink.fd;
        const int nReady = poll(fds, 3, bCancelled ? kCancelRepeatMs : -1);
        if (nReady < 0 && errno != EINTR) {
            Say("ERROR: Cannot wait for the job's programs: " + std::string(strerror(errno)));
            KillAndReap(&pJob->filter);
            KillAndReap(&pJob->gs);
            return false;
        }
        if (nReady == 0) {
            RepeatCancel(pJob, ++nRepeats);
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
            }
            continue;   // the descriptors may have changed
        }
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
    if (job.bGsFailed)
        return kStatusRefused;
    // A document Ghostscript reads without error but without a page never prints either.
    if (job.bCountPages && job.counter.nPages == 0 && !job.counter.bLost && !job.gs.bStopped)
        return Refuse("Ghostscript found no page to print in the document");
    if (!bFilterExited)
        return Fail("rastertovelnora ended by " + HowItEnded(&filter));
    if (nFilterStatus == 0 && job.bInputFailed)
        return kStatusFailed;
    return nFilterStatus;
}

// The page size Ghostscript renders: the job's settings loaded as rastertovelnora loads
// them, so a job it would refuse is refused here, before rendering, with its message and
// status. 0 or the filter's status.
static int ReadPageSize(const std::string& jobRc, const std::string& paperInf, PageSetup* pPage)
{
    int nStatus = LoadRcFile(jobRc.c_str(), &g_rcInfo);
    if (nStatus != 0)
        return nStatus;
    JobSettings js{};
    std::string paperInfCopy = paperInf;
    js.pszPaperInf = paperInfCopy.data();
    nStatus = ConvertRc2Pjp(&g_rcInfo, &js);
    if (nStatus != 0)
        return nStatus;
    *pPage = js.page;
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

// Renders a document of a kind Ghostscript reads, or one converted for it first, into the
// filter. The document is the named file (empty: standard input, spooled first).
static int PrintRendered(RunningJob* pJob, DocKind kind, const std::vector<uint8_t>& head, Fd* pIn,
                         const JobRequest& req, const PrivateDir& dir, const std::string& jobRc,
                         std::string document)
{
    if (document.empty()) {
        const int nStatus = DocumentFile(head, pIn, req, dir, pJob->pSignals, &document);
        if (nStatus < 0)
            return CancelledEarly(pJob->pSignals);
        if (nStatus != 0)
            return nStatus;
    }
    pIn->Close();
    PageSetup page{};
    int nStatus = ReadPageSize(jobRc, req.szPaperInf, &page);
    if (nStatus != 0)
        return nStatus;
    const std::string kindName = KindName(kind);
    nStatus = ConvertForGhostscript(&kind, &document, page, dir.Path(), pJob->pSignals);
    if (nStatus < 0)
        return CancelledEarly(pJob->pSignals);
    if (nStatus != 0)
        return nStatus;
    if (!StartFilter(&pJob->filter, &pJob->sink, jobRc, req.szPaperInf))
        return kStatusFailed;
    Say("INFO: Rendering the " + kindName + " document with Ghostscript (" +
        std::to_string(page.nPageWidth) + "x" + std::to_string(page.nPageHeight) + " pixels at 600 dpi)");
    pJob->bCountPages = true;
    if (!StartGhostscript(&pJob->gs, &pJob->source, kind, document, page, dir.Path())) {
        StopFeeding(pJob);   // the filter sees the end of its input and ends
        RunLoop(pJob);
        return kStatusFailed;
    }
    return RunLoop(pJob) ? FinalStatus(*pJob) : kStatusFailed;
}

// Passes PPM pages to the filter as they come: the head, then the rest of the input.
static int PrintPages(RunningJob* pJob, const std::vector<uint8_t>& head, Fd* pIn, const JobRequest& req,
                      const std::string& jobRc)
{
    if (!StartFilter(&pJob->filter, &pJob->sink, jobRc, req.szPaperInf))
        return kStatusFailed;
    std::copy(head.begin(), head.end(), pJob->buffer.begin());
    pJob->nEnd = head.size();
    pJob->source.Reset(pIn->fd);
    pIn->fd = -1;
    return RunLoop(pJob) ? FinalStatus(*pJob) : kStatusFailed;
}

// A gzip-compressed document: unpacked into the private folder, then printed as what it
// holds.
static int PrintPacked(RunningJob* pJob, const std::vector<uint8_t>& head, Fd* pIn, const JobRequest& req,
                       const PrivateDir& dir, const std::string& jobRc)
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
        return PrintPages(pJob, innerHead, &unpacked, req, jobRc);
    return PrintRendered(pJob, kind, innerHead, &unpacked, req, dir, jobRc, dir / "unpacked");
}

// A whole job once the command line is read: 0 or the exit status.
static int RunJob(const JobRequest& req, SignalState* pSignals)
{
    if (access(FilterProgramPath().c_str(), X_OK) != 0)
        return Fail("Cannot run " + FilterProgramPath() + ": " + strerror(errno));
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

    RunningJob job;
    job.pSignals = pSignals;
    if (kind == DocKind::kPpm)
        return PrintPages(&job, head, &in, req, jobRc);
    if (kind == DocKind::kGzip)
        return PrintPacked(&job, head, &in, req, dir, jobRc);
    return PrintRendered(&job, kind, head, &in, req, dir, jobRc, "");
}

int main(int argc, char** argv)
{
    OpenStandardDescriptors();
    SignalState signals;
    if (!TakeSignals(&signals))
        return Fail("Cannot watch for signals: " + std::string(strerror(errno)));
    JobRequest req;
    int nStatus = ReadLprngCommandLine(argc, argv, &req);
    if (nStatus != 0)
        return nStatus;
    SetJobEnvironment(req);
    nStatus = RunJob(req, &signals);
    close(signals.fdSignal);
    return nStatus;
}
