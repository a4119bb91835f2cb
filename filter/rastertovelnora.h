// rastertovelnora: the job driver. Owns start-up and the command line, the settings
// conversion, the paper files, and the page loop with its copies and cancellation.
#pragma once

#include <csignal>
#include <cstdint>

#include "jobrecords.h"

// Start-up: command line into pJob. 0, or the code already reported (1, 2).
int InterpretParameters(int argc, char** argv, JobSettings* pJob);
// The page loop: 0 once a job has begun, 1 without pages, or the failing set-up status.
int16_t SendRasterDoc(JobSettings* pJob);
int16_t BeginPageData(JobSettings* pJob, int32_t nPageNumber, SendState* pState);
int16_t SendPageData(JobSettings* pJob, SendState* pState);
int16_t EndPageData(JobSettings* pJob, SendState* pState);
// SIGTERM handler: only notes the request; the page loop cancels at its next safe point.
void CancelJob(int nSignal);

extern volatile sig_atomic_t g_bCancelRequested;
extern int32_t nCopies;      // page images per input page, fixed at the first page
extern int32_t iCopy;        // copy being sent; 0 reads from the input
extern int fdPageData;       // the temporary copy file, or -1
extern char tempFilename[1024];
