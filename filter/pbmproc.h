// pbmproc: the PPM page header reader.
#pragma once

#include <cstdio>

// Reads one "P6" header from the stream: 0 valid (the stream stands at the first pixel
// byte), 1 the stream ended before the header's first byte, -1 invalid or cut short.
int ReadPpmFileHeader(FILE* fp);
