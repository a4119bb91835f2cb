// Mfunc: the output operations. The page loop reaches them through fun_table; each
// returns 0 for success.
#pragma once

#include <cstdint>

#include "jobrecords.h"

// Begin-job: PJL header, band geometry, device records, gzip stream opened. 0.
int16_t MBeginJob(JobSettings* pJob, SendState* pState);
// End-job: last staged page through the stream, stream finished, PJL trailer. 0.
int16_t MEndJob(SendState* pState);
// Begin-page: previous staged page into the stream, next staged file with its PWG header
// unless the page is skipped as blank. 0, or 1 when a staged file cannot be had.
int16_t MBeginPage(JobSettings* pJob, SendState* pState);
// End-page: nothing to do; 0.
int16_t MEndPage(JobSettings* pJob, SendState* pState);
// Band-data: the page's lines encoded into the staged file, which is then closed.
// 0, or 1 when a line buffer cannot be had or a write failed.
int16_t MSendBandData(JobSettings* pJob, SendState* pState);

// 0 while every page of the job was staged whole; otherwise the errno of the first page
// that could not be (a full or unwritable /tmp): the job then ends without that page.
int StagedPageErrno();
