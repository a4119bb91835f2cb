// lineencoder: the PWG raster line encoding of a page image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jobrecords.h"

// State of the PWG line encoder for one page.
struct LineEncoder {
    uint32_t nLineLength;     // bytes of one source line: 3 x width colour, width gray
    int32_t nRepeatCount;     // written minus one as the line's first byte
    int32_t nPixelBytes;      // 3 colour, 1 gray
    uint8_t* pOutBuf;         // encoded line; allocated on first use, freed by the caller
    uint64_t nOutBufSize;     // capacity of pOutBuf
};

// Encodes one line into pEnc->pOutBuf: the encoded length, or -1 without a buffer.
int64_t raster_write(LineEncoder* pEnc, const uint8_t* pLine);

// Takes finished line records: true when all bytes were written.
using LineSink = bool (*)(const void* pData, size_t nLength);

// Encodes the page image in the band buffer (Planes[0]) into pfnWrite: rows bottom-up and
// mirrored when bBackSide, gray when the job is mono. 0 done (a page without rows writes
// nothing), 1 a buffer could not be had or a write failed.
int16_t EncodePage(const JobSettings* pJob, SendState* pState, bool bBackSide, LineSink pfnWrite);
// Releases the line buffers (they are made again when needed).
void ReleaseLineBuffers();
