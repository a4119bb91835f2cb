// jobsettings: the job's settings: the rc file loaded and converted into JobSettings, and
// the paper files that give the page geometry.
#pragma once

#include <string>

#include "jobrecords.h"
#include "vnresource.h"

// Start-up: rc file loaded into g_rcInfo and converted. 0, or the code of the failing step.
int PrepareLPRngPrint(JobSettings* pJob);
// Settings table into JobSettings, then the paper files. 0 or 1, 6, 7, 13, 14.
int ConvertRc2Pjp(RcInfo* pRcInfo, JobSettings* pJob);
// Raster size of g_rcInfo's paper from the paper-information file: 0, 1, 6, 7.
int GetPaperInf(const char* pszPath, PageSetup* pPage);
// Sheet size and printable area from the model's tables: 0, 1, 7, 13, 14.
int GetImagingArea(PageSetup* pPage, RcInfo* pRcInfo);
// Path of one of the model's tables: <root>/<printer>/bin/inf/<table>, with the root
// /opt/velnora unless VELNORA_ROOT is set and not empty.
std::string ModelTablePath(const char* pszPrinterName, const char* pszTable);
