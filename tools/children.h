// children: the queue filter's child processes and the signals that reach it. The
// wrapper blocks its signals and reads them from a signalfd between steps; SIGTERM,
// SIGINT, SIGHUP and SIGQUIT cancel the job, SIGCONT is job control and is passed on to
// a child that job control has stopped. Ghostscript and rastertovelnora run in process
// groups of their own, so a signal to the spooler's group reaches only the wrapper, which
// passes the cancellation on.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "descriptor.h"
#include "document.h"
#include "jobrecords.h"

// ---------------------------------------------------------------------------------------
// Signals

struct SignalState {
    int fdSignal = -1;        // the signalfd of the handled signals
    int nCancelSignal = 0;    // the first cancelling signal; 0 while none came
    bool bChildEvent = false; // SIGCHLD came
    bool bContinue = false;   // SIGCONT came
};

// Spooler-started programs may lack a standard descriptor; a pipe made later must not
// take its number. Opens /dev/null on each missing one.
void OpenStandardDescriptors();
// Blocks the handled signals (so they wait in the signalfd instead of acting) and makes
// their dispositions the defaults, whatever the spooler left; SIGPIPE is ignored, so a
// reader that has gone is seen as EPIPE. false when no signalfd can be made.
bool TakeSignals(SignalState* pSignals);
// Notes every signal waiting in the signalfd in *pSignals.
void ReadSignals(SignalState* pSignals);
// "SIGTERM" and the like.
std::string SignalName(int nSignal);

enum class ReadResult { kData, kEnd, kCancelled, kError };

// Reads what fd has, up to nSize bytes, waiting for it while watching for a cancelling
// signal. kError leaves errno set.
ReadResult ReadSome(int fd, uint8_t* pBuf, size_t nSize, size_t* pnRead, SignalState* pSignals);

// ---------------------------------------------------------------------------------------
// Children

struct Child {
    const char* pszName = "";
    pid_t nPid = -1;
    bool bRunning = false;
    bool bHalted = false;     // stopped by job control (SIGSTOP, SIGTSTP, ...), not ended
    bool bStopped = false;    // the wrapper ended it (cancellation, or nowhere to write)
    int nWaitStatus = 0;      // as waitpid gave it, once the child has ended
    int nDeathSignal = SIGKILL;   // sent to the child when the wrapper dies
    uint64_t nMemoryLimit = 0;    // bytes of address space (RLIMIT_AS) it may take; 0: no limit
};

// Resumes a child that job control has stopped. Only then: SIGCONT also discards a
// pending SIGSTOP, which would break a debugger's or a leak checker's attach.
void ContinueChild(const Child* pChild);
// Sends the signal to a running child's process group and notes that the wrapper ended
// it; a child stopped by job control is resumed to act on it.
void StopChild(Child* pChild, int nSignal);
// Collects a child that has ended (true), noting on the way whether job control has
// stopped or continued it. Never waits.
bool ReapChild(Child* pChild);
// Whether an ended child exited with status 0; how it ended, for messages.
bool EndedWell(const Child* pChild);
// Kills a running child's process group and waits for the child: the last resort when the
// wrapper can no longer follow its children.
void KillAndReap(Child* pChild);
std::string HowItEnded(const Child* pChild);

// Path of rastertovelnora: beside this program's own executable.
std::string FilterProgramPath();
// Starting a child waits until it has run its program; one that cannot be run (not found,
// not executable, its environment too large, out of memory) is collected at once and
// reported as "ERROR: Cannot run PROGRAM: REASON", and the start is false.

// Starts rastertovelnora (the program's path) on the job's rc file; *pSink becomes the
// writing end of its standard input, non-blocking. false when it cannot start (reported).
bool StartFilter(Child* pFilter, Fd* pSink, const std::string& program, const std::string& jobRc,
                 const std::string& paperInf);
// Starts a program that converts the document (paps, img2pdf), its standard output to
// fdOut, its temporary files in tmpDir. false when it cannot start or run (reported).
bool StartConverter(Child* pChild, const std::vector<std::string>& argv, int fdOut, const std::string& tmpDir);
// Starts Ghostscript on the document (kPdf, kPostScript or kEps) at the page size, 600 dpi,
// placed in the printable area, its temporary files in tmpDir, its address space bounded
// by pGs->nMemoryLimit; *pPages becomes the reading end of its PPM pages, *pMessages of
// its standard output and standard error, both non-blocking. false when it cannot start
// (reported).
bool StartGhostscript(Child* pGs, Fd* pPages, Fd* pMessages, DocKind kind, const std::string& document,
                      const PageSetup& page, const std::string& tmpDir);
