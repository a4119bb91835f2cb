// vnRasterConv: blank-page skipping. The output operations ask skipBlankPagePrint
// whether the page image in the band buffer is to be left out.
#pragma once

#include <cstdint>

#include "jobrecords.h"

extern uint8_t* blankPagePtr;   // a kept blank page image; null in every job

// 1 when "VNSkipBlank" is "ON" and every byte of the page image is 0xFF, else 0.
int16_t skipBlankPagePrint(JobSettings* pJob, SendState* pState);
// True when the nBytes bytes at pData are all 0xFF (32-bit units, then the tail).
bool IsAllWhite(const uint8_t* pData, uint64_t nBytes);
