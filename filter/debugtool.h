// debugtool: developer traces, kept apart from the messages for the spooler.
#pragma once

#include <cstdio>

// Path of the debug log.
constexpr const char* kDebugLogPath = "/tmp/vn_lprng_debuglog.txt";

// Appends a trace to the debug log and flushes it; returns the characters written.
// When the log cannot be opened or written, says so on standard error once, turns
// tracing off for the rest of the run and returns -1: the job goes on.
int Debug_printf(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// Discards its arguments; returns 0.
int Debug_dummy(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
