// printerout: the printer connection, which is standard output. Every byte for the
// printer passes pswrite, in order. The first failed write marks the job broken: nothing
// is written after it, and the page loop ends the job with a failure.
//
// A printer that stops reading must not hold a cancelled job: once the watched cancel
// flag is set, a write waits at most kCancelGraceMs for the printer to take its bytes;
// after that the connection counts as stalled and every later write hands over only
// what the printer takes at once, without waiting.
#pragma once

#include <csignal>
#include <cstddef>

constexpr int kCancelGraceMs = 500;

// Queues bytes for the printer: 1 queued or written, 0 when the job is broken or the
// printer has stalled during a cancellation.
int pswrite(const void* pData, size_t nLength);
// Hands the queued bytes to the printer: 1, or 0 when a write failed or stalled.
int psflush();
// True once a write to the printer, or a step that produces its data, has failed, or the
// printer stalled during a cancellation: producing more printer data is pointless.
bool IsOutputBroken();
// Marks the job broken for a failure the writer cannot see (a compression error): the
// document would reach the printer incomplete.
void MarkOutputBroken();
// The flag that tells the writer a cancellation is due (the page loop's, set by its
// signal handler); null watches nothing.
void WatchCancel(const volatile sig_atomic_t* pbCancelRequested);
// Gives standard output back the blocking mode it had, if a cancellation changed it.
void RestoreOutputMode();
