// send: the output's send buffers and device state. Owns the three device records, which
// the job reaches through SendState, model_language and the cancellation padding.
#pragma once

#include <cstdint>

#include "jobrecords.h"
#include "pdef0.h"

extern int model_language;      // 5: every job allocates the records

constexpr int kNullDataBytes = 5768;   // zero bytes sent ahead of a cancelled job's end

// Allocates PrintRecord, DeviceRecord and BandSurface into the globals and SendState:
// 0, or 1 (unknown model: message written; allocation failed).
int16_t CreateSendBuf(SendState* pState);
// Release points at the end of a job and on cancellation; the records live until exit.
void DestroySendBuf();
void DisposGrayMemory();
// Writes kNullDataBytes zero bytes to the printer; 0, or 1 when the write failed.
int16_t sendNULLData();
// a x b / c in 64 bits, truncated toward zero; 0 when c is 0.
int32_t MULDIV(int32_t a, int32_t b, int32_t c);
void setWinDevmode(SendState* pState);
uint8_t* setWinParam(SendState* pState);
