// vnjobreader: the strict reader of a finished printer job (the filter's standard
// output): PJL header, exactly one gzip stream holding one PWG raster document, PJL
// trailer. Shared by the tests and the job inspector, so both see a job the same way.
//
// JobReader reads a job as a stream, a page at a time: its memory is one page's pixels
// and fixed buffers, whatever the size of the job or the number of its pages. ReadJob
// gathers a whole (small) job through the same reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pwgheader.h"

constexpr size_t kPwgHeaderSize = pwg::kHeaderBytes;

// The largest page the reader decodes. The filter keeps a page's sides in 16-bit fields,
// so a Width or Height above 32767 cannot come from it; and no sheet it prints at 600 dpi
// comes near 512 MiB of pixels. A header beyond either is refused before anything is
// allocated for its page.
constexpr uint32_t kPageSideMax = 32767;
constexpr uint64_t kPageBytesMax = uint64_t(512) << 20;
// The most text the PJL header, and the EOJ line of the trailer, may hold.
constexpr size_t kPjlTextMax = size_t(1) << 20;

// Where a job stops being well formed: the byte offset (in the job file, or in the
// decompressed document for errors inside it) and what was expected there.
struct JobReadError {
    size_t nOffset = 0;
    bool bInDocument = false;   // nOffset counts in the decompressed document
    std::string szExpected;
    int nReadErrno = 0;         // non-zero: reading the job failed with this errno after nOffset bytes
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
    size_t nDocumentSize = 0;             // bytes of the decompressed PWG raster document
    size_t nJobSize = 0;                  // bytes of the whole job
    std::vector<uint8_t> document;        // ReadJob only: the decompressed document
    std::vector<PwgPage> pages;           // ReadJob only: every page
    std::string szTrailer;                // bytes after the gzip stream
    std::string szEojTitle;               // title of "@PJL EOJ NAME=" in the trailer
    bool bHasEoj = false;
};

enum class PageStep { kPage, kEndOfDocument, kMalformed };

class JobSource;
class DocumentSource;

// Reads one job from its first byte to its last, in this order:
//   ReadHeader once; NextPage until it gives kEndOfDocument; ReadTrailer once.
// Every call reports the first byte that is not well formed, without reading further.
// The job's fields (VnJob) are filled as they are read; pages are handed out one by one.
class JobReader {
public:
    explicit JobReader(FILE* fp);                    // the job from a stream, read in blocks
    JobReader(const uint8_t* pData, size_t nSize);   // the job in memory
    ~JobReader();
    JobReader(const JobReader&) = delete;
    JobReader& operator=(const JobReader&) = delete;

    // Also appends every decompressed document byte to *pDocument (for small jobs).
    void KeepDocument(std::vector<uint8_t>* pDocument);
    // The PJL header and the start of the gzip stream: szHeader, headerLines, nStreamOffset.
    bool ReadHeader(VnJob* pJob, JobReadError* pErr);
    // The next page into *pPage, whose pixel buffer is reused. kEndOfDocument once the
    // gzip stream has ended whole (checksum and length) after the last page.
    PageStep NextPage(PwgPage* pPage, JobReadError* pErr);
    // The trailer after the gzip stream, up to the end of the job: nStreamSize,
    // nDocumentSize, nJobSize, szTrailer, szEojTitle, bHasEoj.
    bool ReadTrailer(VnJob* pJob, JobReadError* pErr);

private:
    std::unique_ptr<JobSource> pSource;
    std::unique_ptr<DocumentSource> pDocument;   // made by ReadHeader
    std::vector<uint8_t>* pKeep = nullptr;       // KeepDocument's vector
    bool bSyncWordRead = false;
    bool bDocumentEnded = false;                 // NextPage has given kEndOfDocument
};

// Reads a whole job into memory, every page kept; false with *pErr filled when it is not
// well formed.
bool ReadJob(const uint8_t* pData, size_t nSize, VnJob* pJob, JobReadError* pErr);
bool ReadJobFile(const char* pszPath, VnJob* pJob, JobReadError* pErr);
// Reads a decompressed PWG raster document ("RaS2", then pages).
bool ReadPwgDocument(const uint8_t* pData, size_t nSize, std::vector<PwgPage>* pPages,
                     JobReadError* pErr);
// "offset N (in the document): expected ..." for messages.
std::string DescribeError(const JobReadError& err);
