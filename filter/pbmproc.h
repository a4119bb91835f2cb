// pbmproc: the PPM page header grammar. One scanner takes a header a byte at a time; the
// filter's reader drives it from the buffered input stream, and the queue filter's page
// counter drives it over the blocks it passes on, so both read a header the same way.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int kPpmMaxToken = 70;   // no valid header has a longer token

// Results of ScanPpmHeaderByte.
constexpr int kPpmScanMore = 0;      // the byte was taken; the header goes on
constexpr int kPpmScanNumber = 1;    // the width or the height ended: see nTokenField, szToken
constexpr int kPpmScanDone = 2;      // the maximum value ended: the header is complete
constexpr int kPpmScanInvalid = -1;  // the header is invalid; the scan is over

// The fields of a header, in the order they come.
constexpr int kPpmFieldMagic = 0;
constexpr int kPpmFieldWidth = 1;
constexpr int kPpmFieldHeight = 2;
constexpr int kPpmFieldMaxValue = 3;

// One header being scanned. Start each header with StartPpmHeader.
struct PpmHeaderScan {
    char szToken[kPpmMaxToken + 1];   // the token collected; after kPpmScanNumber or
                                      // kPpmScanDone the ended token, NUL-terminated,
                                      // until the next byte
    int nLength;                      // bytes collected of the current token
    int nTokenLength;                 // bytes of the ended token (a NUL byte may stand in it)
    int nField;                       // the field expected next: kPpmField*
    int nTokenField;                  // the field of the ended token
    bool bInComment;                  // inside a "#" comment
    bool bStarted;                    // a byte of this header has been taken
};

void StartPpmHeader(PpmHeaderScan* pScan);
// Takes the next byte of the header; returns kPpmScan*. The white space byte that ends
// the maximum value is the header's last byte (kPpmScanDone).
int ScanPpmHeaderByte(PpmHeaderScan* pScan, uint8_t c);

// Reads one "P6" header from the stream: 0 valid (the stream stands at the first pixel
// byte), 1 the stream ended before the header's first byte, -1 invalid or cut short.
int ReadPpmFileHeader(FILE* fp);
