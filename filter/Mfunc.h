// Mfunc: the printer-language output. Owns the PJL job header and trailer, the staged
// page files with their PWG page headers, the PWG line encoding, the job's one gzip
// stream and the buffered writer of standard output. The page loop reaches it through
// fun_table and MBeginJob/MEndJob.
#pragma once

#include <cstddef>
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
// 0, or 1 when the encoder buffer cannot be had.
int16_t MSendBandData(JobSettings* pJob, SendState* pState);

// State of the PWG line encoder for one page.
struct LineEncoder {
    uint32_t nLineLength;     // bytes of one source line: 3 x width colour, width gray
    int32_t nRepeatCount;     // written minus one as the line's first byte
    int32_t nPixelBytes;      // 3 colour, 1 gray
    uint8_t* pOutBuf;         // encoded line; allocated on first use
    uint64_t nOutBufSize;     // capacity of pOutBuf
};

// Encodes one line into pEnc->pOutBuf: the encoded length, or -1 without a buffer.
int64_t raster_write(LineEncoder* pEnc, const uint8_t* pLine);
// RGB to 8-bit gray, nPixels of them: y = R*0.3 + (B*0.11 + G*0.59), fused, truncated.
void makegray(uint8_t* pGray, const uint8_t* pRgb, int16_t nPixels);

// The gzip stream: opened at job begin, fed the staged files, finished at job end.
void do_compress_init();
void do_compress();
void do_compress_finish();

// Standard output: pswrite queues bytes (1 written, 0 failed), psflush hands them to
// the printer (1, or 0 when a write failed).
int pswrite(const void* pData, size_t nLength);
int psflush();
// True once a write to standard output or a compression step has failed in this job.
bool IsOutputBroken();
// Releases the gray and reversal line buffers (they are made again when needed).
void ReleaseLineBuffers();
