// vnjobreader: the strict reader of a finished printer job (the filter's standard
// output): PJL header, exactly one gzip stream holding one PWG raster document, PJL
// trailer. Shared by the tests and the job inspector, so both see a job the same way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pwgheader.h"

constexpr size_t kPwgHeaderSize = pwg::kHeaderBytes;

// Where a job stops being well formed: the byte offset (in the job file, or in the
// decompressed document for errors inside it) and what was expected there.
struct JobReadError {
    size_t nOffset = 0;
    bool bInDocument = false;   // nOffset counts in the decompressed document
    std::string szExpected;
};

// Line-encoding figures of one page.
struct PageEncodingStats {
    uint64_t nLineRecords = 0;    // encoded line records
    uint64_t nMergedLines = 0;    // lines given by repeat counts, not stored again
    uint64_t nLiteralBytes = 0;   // pixel bytes carried in literal runs
    uint64_t nRunBytes = 0;       // pixel bytes produced by repeat runs
    uint64_t nEncodedBytes = 0;   // bytes of all line records
};

struct PwgPage {
    std::array<uint8_t, kPwgHeaderSize> header{};   // the raw page header
    std::string szPwgRaster;      // offset 0
    std::string szMediaType;      // offset 128
    uint32_t nHWResolutionX = 0;  // 276
    uint32_t nHWResolutionY = 0;  // 280
    uint32_t nPageSizeX = 0;      // 352, points
    uint32_t nPageSizeY = 0;      // 356, points
    uint32_t nWidth = 0;          // 372
    uint32_t nHeight = 0;         // 376
    uint32_t nBitsPerColor = 0;   // 384
    uint32_t nBitsPerPixel = 0;   // 388
    uint32_t nBytesPerLine = 0;   // 392
    uint32_t nColorSpace = 0;     // 400: 19 sRGB, 18 sGray
    uint32_t nNumColors = 0;      // 420
    size_t nDocOffset = 0;        // offset of the header in the document
    std::vector<uint8_t> pixels;  // nHeight x nBytesPerLine decoded bytes, top line first
    PageEncodingStats stats;
};

struct VnJob {
    std::string szHeader;                 // PJL header bytes, through "@PJL ENTER LANGUAGE=PWGRASTER\n"
    std::vector<std::string> headerLines; // its lines without line feeds, the leading UEL removed
    size_t nStreamOffset = 0;             // gzip stream: offset and size in the job
    size_t nStreamSize = 0;
    std::vector<uint8_t> document;        // the decompressed PWG raster document
    std::vector<PwgPage> pages;
    std::string szTrailer;                // bytes after the gzip stream
    std::string szEojTitle;               // title of "@PJL EOJ NAME=" in the trailer
    bool bHasEoj = false;
};

// Reads a whole job; false with *pErr filled when it is not well formed.
bool ReadJob(const uint8_t* pData, size_t nSize, VnJob* pJob, JobReadError* pErr);
bool ReadJobFile(const char* pszPath, VnJob* pJob, JobReadError* pErr);
// Reads a decompressed PWG raster document ("RaS2", then pages).
bool ReadPwgDocument(const uint8_t* pData, size_t nSize, std::vector<PwgPage>* pPages,
                     JobReadError* pErr);
// "offset N (in the document): expected ..." for messages.
std::string DescribeError(const JobReadError& err);
