// printerout: the printer connection, which is standard output. Every byte for the
// printer passes pswrite, in order. The first failed write marks the job broken: nothing
// is written after it, and the page loop ends the job with a failure.
#pragma once

#include <cstddef>

// Queues bytes for the printer: 1 queued or written, 0 when the job is broken.
int pswrite(const void* pData, size_t nLength);
// Hands the queued bytes to the printer: 1, or 0 when a write failed.
int psflush();
// True once a write to the printer, or a step that produces its data, has failed.
bool IsOutputBroken();
// Marks the job broken for a failure the writer cannot see (a damaged staged page, a
// compression error): the document would reach the printer incomplete.
void MarkOutputBroken();
