// jobrequest: one print job as the queue filter is asked for it, whichever front end
// asks. A front end (today the LPRng command line with its -Z options) fills the
// JobRequest; the job options are applied to it through one table; the request then
// reaches rastertovelnora as the job's rc file and its environment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The longest owner and title the job's environment carries, in bytes: longer ones are
// cut at the last whole UTF-8 character that fits. A single environment string may not
// pass 128 KiB, or no program can be started with it; the printer shows far fewer.
constexpr size_t kMaxNameBytes = 255;

// Ghostscript's bounds unless the printcap's options change them.
constexpr uint64_t kDefaultGsMemoryMiB = 4096;   // its address space (RLIMIT_AS); 0: none
constexpr int kDefaultGsPageSeconds = 600;       // waiting for its next page; 0: for ever

struct JobRequest {
    std::string szRcFile;               // the queue's settings (rastertovelnora's -rc)
    std::string szPaperInf;             // the paper-information file (rastertovelnora's -pi)
    std::string szModelRoot;            // root of the model tables; empty: VELNORA_ROOT as inherited
    uint64_t nGsMemoryMiB = kDefaultGsMemoryMiB;   // Ghostscript's address space in MiB; 0: no limit
    int nGsPageSeconds = kDefaultGsPageSeconds;    // Ghostscript stopped after this long without a page; 0: never
    std::string szOwner;                // the job's user: OWNER
    std::string szTitle;                // the job's name: TITLE
    std::string szInput;                // the document's path; empty for standard input
    std::string szPin;                  // a secure job's four-digit PIN: PASSWORD
    std::vector<std::string> rcLines;   // "Key=Word" lines appended to the job's rc file
    std::string szPageRanges;           // the pages to print, "1-3,7"; empty: all
    std::string szFilterProgram;        // rastertovelnora's path; empty: beside this program
    std::string szModel;                // with no szRcFile: the job's rc file is "[szModel]" and rcLines
};

// The LPRng front end: fills *pReq from the printcap's and LPRng's arguments, every -Z
// option applied. 0, or kStatusRefused for a bad command line or a refused option
// (reported).
int ReadLprngCommandLine(int argc, char** argv, JobRequest* pReq);
// ReadLprngCommandLine's answer to --help: the usage went to standard output, and the
// program ends with status 0.
constexpr int kShowedUsage = -1;
// The usage: every option, and every -Z key with its values from the parameter table.
std::string UsageText();

// Applies one "key=value" job option (keys and values matched without regard to case,
// blanks around them dropped). 0, or kStatusRefused (reported).
int ApplyJobOption(std::string_view item, JobRequest* pReq);
// Applies a comma-separated list of job options in order, so a later one wins; empty
// items are skipped. 0, or the first refusal's status (reported).
int ApplyJobOptions(std::string_view list, JobRequest* pReq);

// Sets OWNER, TITLE, PASSWORD and VELNORA_ROOT for what the request gives: the
// environment rastertovelnora and the wrapper's own page-size check read. OWNER and
// TITLE are cut to kMaxNameBytes.
void SetJobEnvironment(const JobRequest& req);

// Writes the job's rc file at jobRc (a new file, mode 0600): the queue's rc file, a line
// feed if it lacks its last one, then the request's lines, which win because the last
// valid line of a key counts. A request without an rc file (szModel set instead) gets the
// section line "[szModel]" and its lines. 0, or kStatusFailed (reported).
int WriteJobRc(const JobRequest& req, const std::string& jobRc);
