// rastertovelnora: the job driver. Owns the command line and the page loop with its copies
// and cancellation.
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
// Inserts the kept blank page when its period is due; 0 or the failing status. No job
// keeps one, so the page loop does not call it.
int16_t SendBlankPageEND(SendState* pState, JobSettings* pJob);
// SIGTERM handler: only notes the request; the page loop cancels at its next safe point.
void CancelJob(int nSignal);

extern volatile sig_atomic_t g_bCancelRequested;   // set by CancelJob
