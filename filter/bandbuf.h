// bandbuf: the band buffer. Owns Planes; the first entry holds one band (one whole page
// image), taken per band and given back after it.
#pragma once

#include <cstdint>

extern uint8_t* Planes[4];

// Makes a band buffer of nBytesPerLine x nLines bytes in Planes[0]: 0 on success, 1 for a
// zero row length or a failed allocation (message written). The buffer is zero-filled,
// unless bZeroFill is false: then its bytes are undefined and the caller fills it whole
// (the page loop's reader zero-fills what a short read leaves).
int CreateBandBuf(uint64_t nBytesPerLine, int16_t nLines, bool bZeroFill = true);
// Gives the band buffer back and clears Planes[0]; safe to call twice.
void DestroyBandBuf();
