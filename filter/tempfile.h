// tempfile: uniquely named temporary files under TMPDIR (or /tmp when it is unset or
// empty), created with O_EXCL and mode 0600, and whole writes to a descriptor.
#pragma once

#include <cstddef>

// TMPDIR, or /tmp when it is unset or empty: an empty value must never put a file at the
// root of the file system.
const char* TempDirectory();
// Creates a new empty file for reading and writing and writes its path into pszName
// (a process-wide buffer when null); returns its descriptor, or -1.
int myTempFd(char* pszName, size_t nSize);
// Same, but closes the descriptor and returns the buffer holding the path, or null.
char* myTempFile(char* pszName, size_t nSize);
// Writes all nLength bytes, resuming after interrupted or partial writes; false when a
// write fails.
bool WriteAll(int fd, const void* pData, size_t nLength);
