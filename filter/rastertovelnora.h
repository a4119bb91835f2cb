// rastertovelnora: the job driver. Owns start-up and the command line, the settings
// conversion, the paper files, and the page loop with its copies and cancellation.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "jobrecords.h"
#include "vnresource.h"

// Start-up: command line into pJob. 0, or the code already reported (1, 2).
int InterpretParameters(int argc, char** argv, JobSettings* pJob);
// Start-up: rc file loaded and converted. 0, or the code of the failing step.
int PrepareLPRngPrint(JobSettings* pJob);
// Settings table into JobSettings, then the paper files. 0 or 1, 6, 7, 13, 14.
int ConvertRc2Pjp(RcInfo* pRcInfo, JobSettings* pJob);
// Raster size of the job's paper from the paper-information file: 0, 1, 6, 7.
int GetPaperInf(const char* pszPath, PageSetup* pPage);
// Sheet size and printable area from the model's tables: 0, 1, 7, 13, 14.
int GetImagingArea(PageSetup* pPage, RcInfo* pRcInfo);
// Path of one of the model's tables: <root>/<printer>/bin/inf/<table>, with the root
// /opt/velnora unless VELNORA_ROOT is set and not empty.
std::string ModelTablePath(const char* pszPrinterName, const char* pszTable);

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
