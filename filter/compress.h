// compress: the band buffer. Owns Planes; the first entry holds one band (one whole
// page image), created per band and released after it.
#pragma once

#include <cstdint>

extern uint8_t* Planes[4];

// Allocates a zero-filled buffer of nBytesPerLine x nLines bytes into Planes[0]:
// 0 on success, 1 for a zero row length or a failed allocation (message written).
int CreateBandBuf(uint64_t nBytesPerLine, int16_t nLines);
// Releases the band buffer, if any, and clears Planes[0]; safe to call twice.
void DestroyBandBuf();
