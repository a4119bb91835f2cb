// velnora-filter: the queue's filter, the command a printcap's filter=/if= names. Takes a
// job as the spooler hands it over (PDF, PostScript, EPS, UTF-8 text, PNG, JPEG, binary PPM
// pages, or one of these compressed with gzip), renders all but PPM with Ghostscript (text
// and images converted first, see convert), and feeds the pages to rastertovelnora, which
// writes the printer job to standard output.
//
//   velnora-filter --rc RCFILE --pi PAPERINFO [--model-root DIR] [--gs-memory MIB]
//                  [--gs-page-timeout SECONDS] [LPRng options] [INPUT]
//
//   --rc FILE          the queue's settings (rastertovelnora's -rc)
//   --pi FILE          the paper-information file (rastertovelnora's -pi)
//   --model-root DIR   root of the model tables: VELNORA_ROOT for rastertovelnora
//   --gs-memory MIB    Ghostscript's address space (RLIMIT_AS); 4096 unless given, 0: no limit
//   --gs-page-timeout SECONDS
//                      Ghostscript is stopped when the wrapper has waited this long for
//                      its next page; 600 unless given, 0: no limit
//   -nLOGIN            user name: OWNER
//   -JTITLE            job name: TITLE (else -NFILENAME, the file name)
//     OWNER and TITLE are cut to 255 bytes, at a whole UTF-8 character.
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
// after a cancellation unless the filter itself failed; 1 the document, the rc file or the
// temporary folder cannot be used, a program cannot be run (Ghostscript, a converter or
// rastertovelnora missing or not executable: a fault of the installation, "ERROR: Cannot
// run PROGRAM: REASON"; the spooler retries later), or the filter died of a signal; 2 a
// job that can never print: a bad command line, a refused -Z option, a document of
// another kind, an empty or damaged document, a failed conversion, a Ghostscript failure
// (also out of memory under --gs-memory, or no page within --gs-page-timeout), or a
// document in which Ghostscript finds no page. Standard error: the filter's messages,
// Ghostscript's (its standard output too: never the pages) up to 64 KiB of whole lines,
// then one line telling how much was left out, and the wrapper's "INFO: "/"ERROR: " lines.
//
// Signals: SIGTERM, SIGINT, SIGHUP and SIGQUIT cancel the job: Ghostscript is stopped,
// rastertovelnora gets SIGTERM (its own cancellation closes a job already begun), the
// wrapper waits for both and removes its temporary folder. SIGCONT alone is job control:
// it cancels nothing and is passed on to a child that job control has stopped. The
// children run in process groups of their own, so a signal to the spooler's group
// reaches only this wrapper.
//
//
// This unit is main: the LPRng front end (jobrequest) makes the request, queuejob carries
// it out.
#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

#include "children.h"
#include "jobrequest.h"
#include "queuejob.h"
#include "queuemessage.h"

int main(int argc, char** argv)
{
    OpenStandardDescriptors();
    SignalState signals;
    if (!TakeSignals(&signals))
        return Fail("Cannot watch for signals: " + std::string(strerror(errno)));
    JobRequest req;
    int nStatus = ReadLprngCommandLine(argc, argv, &req);
    if (nStatus == kShowedUsage)
        return kStatusPrinted;
    if (nStatus != 0)
        return nStatus;
    SetJobEnvironment(req);
    nStatus = RunJob(req, &signals);
    close(signals.fdSignal);
    return nStatus;
}
