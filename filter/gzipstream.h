// gzipstream: the job's one gzip stream, which carries the whole PWG raster document to
// the printer between the PJL header and trailer. Opened by the begin-job operation, fed
// each staged page file in turn, finished by the end-job operation.
#pragma once

#include <cstddef>

// Opens the stream (zlib's default level, gzip wrapper). A failure marks the job broken.
void do_compress_init();
// Feeds the whole staged file behind fdStaged, from its first byte, into the stream, then
// closes the descriptor. A file that cannot be read marks the job broken.
void FeedStagedFile(int fdStaged);
// With the deflate worker, FeedStagedFile hands the file over and returns; the compressed
// bytes wait until the page loop's thread writes them: what is ready now, or all of what
// was handed over (the cancellation's padding and the end of the job come after it).
void WriteCompressedReady();
void WriteCompressedAll();
// Feeds nLength bytes into the stream, in line (the worker must be idle: before the first
// staged file).
void FeedBytes(const void* pData, size_t nLength);
// Finishes the stream (its last compressed bytes and the gzip trailer reach the printer)
// and releases it. Nothing happens when the stream is not open.
void do_compress_finish();
