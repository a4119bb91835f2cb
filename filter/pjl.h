// pjl: the PJL job header and trailer.
#pragma once

#include "jobrecords.h"

// The universal exit and the PJL lines of the job's settings, ending with the switch to
// PWG raster.
void WriteJobHeader(const JobSettings* pJob);
// The universal exit, the end of the job (with its name when TITLE is set) and a last
// universal exit.
void WriteJobTrailer();
