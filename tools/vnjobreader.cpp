// vnjobreader: the strict reader of a finished printer job. Keeps no state: ReadJob
// splits the PJL header, the one gzip stream and the PJL trailer, inflates the stream
// and hands the document to ReadPwgDocument, which decodes every page's line records
// into pixels. Called by the tests and the job inspector. Every fault is reported with
// its byte offset and what belonged there. No header value sizes an allocation by
// itself: the document grows with what actually inflates, and a page's pixels grow run
// by run as its line records decode, after a first reservation no larger than the rest
// of the document.
#include "vnjobreader.h"

#include "fileptr.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <system_error>

namespace {

using Bytes = std::span<const uint8_t>;

constexpr std::string_view kUel = "\x1b%-12345X";
constexpr std::string_view kFirstPjlLine = "@PJL ";
constexpr std::string_view kPjlPrefix = "@PJL";
constexpr std::string_view kEnterLine = "@PJL ENTER LANGUAGE=PWGRASTER";
constexpr std::string_view kEojPrefix = "@PJL EOJ NAME=\"";
constexpr std::string_view kGzipMagic = "\x1f\x8b";
constexpr std::string_view kSyncWordText = pwg::kSyncWord;
constexpr std::string_view kPwgRaster = "PwgRaster";

constexpr uint8_t kControlNever = 0x80;    // PackBits control byte that is never written
constexpr uint64_t kRunPixelsMax = 128;    // pixels one PackBits run covers at most
constexpr uint64_t kRecordLinesMax = 256;  // lines one line record stands for at most

constexpr size_t kInflateGrowthMin = 64 * 1024;   // first document buffer, and least growth


struct InflateEnder { void operator()(z_stream* pStream) const { inflateEnd(pStream); } };
using InflatePtr = std::unique_ptr<z_stream, InflateEnder>;

}  // namespace

static bool Fail(JobReadError* pErr, size_t nOffset, bool bInDocument, std::string szExpected)
{
    if (pErr)
        *pErr = JobReadError{nOffset, bInDocument, std::move(szExpected)};
    return false;
}

static bool FailInJob(JobReadError* pErr, size_t nOffset, std::string szExpected)
{
    return Fail(pErr, nOffset, false, std::move(szExpected));
}

static bool FailInDocument(JobReadError* pErr, size_t nOffset, std::string szExpected)
{
    return Fail(pErr, nOffset, true, std::move(szExpected));
}

// True when the bytes at nOffset are szText; false as well when they run past the end.
static bool HasAt(Bytes data, size_t nOffset, std::string_view szText)
{
    return nOffset <= data.size() && data.size() - nOffset >= szText.size() &&
           std::memcmp(data.data() + nOffset, szText.data(), szText.size()) == 0;
}

static std::string_view TextOf(Bytes data, size_t nStart, size_t nEnd)
{
    return {reinterpret_cast<const char*>(data.data()) + nStart, nEnd - nStart};
}

// ---- PJL header and trailer ----

// Finds the line feed that ends the PJL line at nStart. A line holds printable bytes
// and tabs only: a carriage return or any other control byte would change what the
// printer reads, so it is a fault where it stands.
static bool FindLineEnd(Bytes job, size_t nStart, size_t* pnEnd, JobReadError* pErr)
{
    for (size_t nPos = nStart; nPos < job.size(); ++nPos) {
        uint8_t c = job[nPos];
        if (c == '\n') {
            *pnEnd = nPos;
            return true;
        }
        if (c == '\r')
            return FailInJob(pErr, nPos, "a line feed alone, without a carriage return");
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return FailInJob(pErr, nPos, "a printable character in the PJL line");
    }
    return FailInJob(pErr, job.size(), "a line feed ending the PJL line");
}

// The header from offset 0: UEL, "@PJL " LF, then "@PJL" lines through the one that
// enters PWG raster. *pnEnd is the offset just past that line's line feed.
static bool ReadPjlHeader(Bytes job, VnJob* pJob, size_t* pnEnd, JobReadError* pErr)
{
    if (!HasAt(job, 0, kUel))
        return FailInJob(pErr, 0, "UEL");
    size_t nLineStart = kUel.size();
    std::string_view szLine;
    while (szLine != kEnterLine) {
        if (nLineStart == job.size())
            return FailInJob(pErr, nLineStart, "the PJL line \"@PJL ENTER LANGUAGE=PWGRASTER\"");
        if (!HasAt(job, nLineStart, kPjlPrefix))
            return FailInJob(pErr, nLineStart, "a PJL line starting \"@PJL\"");
        size_t nLineEnd = 0;
        if (!FindLineEnd(job, nLineStart, &nLineEnd, pErr))
            return false;
        szLine = TextOf(job, nLineStart, nLineEnd);
        if (pJob->headerLines.empty() && szLine != kFirstPjlLine)
            return FailInJob(pErr, nLineStart, "the PJL line \"@PJL \"");
        pJob->headerLines.emplace_back(szLine);
        nLineStart = nLineEnd + 1;
    }
    pJob->szHeader = TextOf(job, 0, nLineStart);
    *pnEnd = nLineStart;
    return true;
}

// The line "@PJL EOJ NAME="<title>"" between the trailer's two UELs. The title is
// everything between the first and the last quote, quotes inside it included.
static bool ReadEojLine(Bytes job, size_t* pnPos, VnJob* pJob, JobReadError* pErr)
{
    const size_t nStart = *pnPos;
    size_t nEnd = 0;
    if (!FindLineEnd(job, nStart, &nEnd, pErr))
        return false;
    std::string_view szLine = TextOf(job, nStart, nEnd);
    if (!szLine.starts_with(kEojPrefix) || szLine.size() == kEojPrefix.size() || szLine.back() != '"')
        return FailInJob(pErr, nStart, "the PJL line \"@PJL EOJ NAME=\"<title>\"\"");
    pJob->szEojTitle = szLine.substr(kEojPrefix.size(), szLine.size() - kEojPrefix.size() - 1);
    pJob->bHasEoj = true;
    *pnPos = nEnd + 1;
    return true;
}

// The trailer from the end of the gzip stream: UEL, the optional EOJ line, UEL, LF,
// and the end of the job.
static bool ReadPjlTrailer(Bytes job, size_t nStart, VnJob* pJob, JobReadError* pErr)
{
    if (HasAt(job, nStart, kGzipMagic))
        return FailInJob(pErr, nStart, "UEL, not a second gzip stream");
    if (!HasAt(job, nStart, kUel))
        return FailInJob(pErr, nStart, "UEL");
    size_t nPos = nStart + kUel.size();
    if (HasAt(job, nPos, kPjlPrefix)) {
        if (!ReadEojLine(job, &nPos, pJob, pErr))
            return false;
    } else if (!HasAt(job, nPos, kUel)) {
        return FailInJob(pErr, nPos, "UEL or the PJL line \"@PJL EOJ NAME=\"<title>\"\"");
    }
    if (!HasAt(job, nPos, kUel))
        return FailInJob(pErr, nPos, "UEL");
    nPos += kUel.size();
    if (!HasAt(job, nPos, "\n"))
        return FailInJob(pErr, nPos, "a line feed after the last UEL");
    nPos += 1;
    if (nPos != job.size())
        return FailInJob(pErr, nPos, "the end of the job after the trailer");
    pJob->szTrailer = TextOf(job, nStart, nPos);
    return true;
}

// ---- gzip stream ----

// Inflates the one gzip stream at nStart into pJob->document. zlib checks the gzip
// header, the CRC and the length; the stream ends at its own end, so a second member
// behind it is left for the trailer to refuse. *pnEnd is the offset just past it.
static bool InflateGzipStream(Bytes job, size_t nStart, VnJob* pJob, size_t* pnEnd, JobReadError* pErr)
{
    if (!HasAt(job, nStart, kGzipMagic))
        return FailInJob(pErr, nStart, "a gzip stream");
    z_stream z{};
    if (inflateInit2(&z, 31) != Z_OK)
        return FailInJob(pErr, nStart, "a gzip stream zlib can open (out of memory)");
    InflatePtr pStream(&z);

    std::vector<uint8_t>& document = pJob->document;
    size_t nHandedIn = nStart;   // job bytes given to zlib so far
    size_t nProduced = 0;        // document bytes written by zlib
    int nResult = Z_OK;
    while (nResult != Z_STREAM_END) {
        if (z.avail_in == 0) {
            size_t nChunk = std::min<size_t>(job.size() - nHandedIn, UINT_MAX);
            z.next_in = job.data() + nHandedIn;
            z.avail_in = static_cast<uInt>(nChunk);
            nHandedIn += nChunk;
        }
        if (nProduced == document.size())
            document.resize(document.size() + std::max(kInflateGrowthMin, document.size() / 2));
        uInt nRoom = static_cast<uInt>(std::min<size_t>(document.size() - nProduced, UINT_MAX));
        z.next_out = document.data() + nProduced;
        z.avail_out = nRoom;
        nResult = inflate(&z, Z_NO_FLUSH);
        nProduced += nRoom - z.avail_out;
        const size_t nConsumedEnd = nHandedIn - z.avail_in;
        if (nResult == Z_BUF_ERROR && nConsumedEnd == job.size())
            return FailInJob(pErr, job.size(), "the rest of the gzip stream");
        if (nResult == Z_MEM_ERROR)
            return FailInJob(pErr, nConsumedEnd, "a gzip stream zlib can inflate (out of memory)");
        if (nResult != Z_OK && nResult != Z_BUF_ERROR && nResult != Z_STREAM_END)
            return FailInJob(pErr, nConsumedEnd,
                             std::string("valid gzip data (zlib: ") + (z.msg ? z.msg : "stream error") + ")");
    }
    document.resize(nProduced);
    *pnEnd = nHandedIn - z.avail_in;
    pJob->nStreamOffset = nStart;
    pJob->nStreamSize = *pnEnd - nStart;
    return true;
}

// ---- PWG raster document ----

// A 64-byte string field: the bytes before its NUL. False when the field has no NUL.
static bool GetPwgString(const PwgPage* pPage, size_t nOffset, std::string* psz)
{
    const char* pField = reinterpret_cast<const char*>(pPage->header.data() + nOffset);
    const void* pNul = std::memchr(pField, 0, pwg::kStringBytes);
    if (!pNul)
        return false;
    psz->assign(pField, static_cast<const char*>(pNul));
    return true;
}

// Fewest bytes of line records that can describe the page: each record stands for at
// most 256 lines, and each run of a line covers at most 128 pixels with a control byte
// and at least one pixel.
static uint64_t MinPageRecordBytes(const PwgPage* pPage)
{
    const uint64_t nPixelBytes = pPage->nBitsPerPixel / 8;
    const uint64_t nRuns = (pPage->nWidth + kRunPixelsMax - 1) / kRunPixelsMax;
    const uint64_t nRecords = (pPage->nHeight + kRecordLinesMax - 1) / kRecordLinesMax;
    return nRecords * (1 + nRuns * (1 + nPixelBytes));
}

// What decoding needs of the header at nPos: 8-bit colours in gray or RGB pixels, a
// line length that matches the width, and a page the rest of the document can hold.
static bool CheckPageGeometry(const PwgPage* pPage, size_t nPos, size_t nBytesLeft, JobReadError* pErr)
{
    if (pPage->nBitsPerColor != 8)
        return FailInDocument(pErr, nPos + pwg::kBitsPerColor, "BitsPerColor 8");
    if (pPage->nBitsPerPixel != 8 && pPage->nBitsPerPixel != 24)
        return FailInDocument(pErr, nPos + pwg::kBitsPerPixel, "BitsPerPixel 8 or 24");
    if (pPage->nWidth == 0)
        return FailInDocument(pErr, nPos + pwg::kWidth, "a non-zero Width");
    if (pPage->nHeight == 0)
        return FailInDocument(pErr, nPos + pwg::kHeight, "a non-zero Height");
    if (uint64_t(pPage->nWidth) * (pPage->nBitsPerPixel / 8) != pPage->nBytesPerLine)
        return FailInDocument(pErr, nPos + pwg::kBytesPerLine, "BytesPerLine equal to Width x BitsPerPixel / 8");
    if (MinPageRecordBytes(pPage) > nBytesLeft)
        return FailInDocument(pErr, nPos + pwg::kWidth, "a Width and Height whose lines fit the rest of the document");
    return true;
}

// The page header at nPos: copied whole, its fields taken by name, then checked.
static bool ReadPageHeader(Bytes doc, size_t nPos, PwgPage* pPage, JobReadError* pErr)
{
    if (doc.size() - nPos < kPwgHeaderSize)
        return FailInDocument(pErr, nPos, "a 1796-byte page header or the end of the document");
    const uint8_t* pHeader = doc.data() + nPos;
    std::memcpy(pPage->header.data(), pHeader, kPwgHeaderSize);
    pPage->nDocOffset = nPos;
    if (!GetPwgString(pPage, 0, &pPage->szPwgRaster) || pPage->szPwgRaster != kPwgRaster)
        return FailInDocument(pErr, nPos, "the string \"PwgRaster\" opening the page header");
    if (!GetPwgString(pPage, pwg::kMediaType, &pPage->szMediaType))
        return FailInDocument(pErr, nPos + pwg::kMediaType, "a MediaType ending in NUL within its 64 bytes");
    pPage->nHWResolutionX = pwg::GetBE32(pHeader + pwg::kHWResX);
    pPage->nHWResolutionY = pwg::GetBE32(pHeader + pwg::kHWResY);
    pPage->nPageSizeX = pwg::GetBE32(pHeader + pwg::kPageSizeX);
    pPage->nPageSizeY = pwg::GetBE32(pHeader + pwg::kPageSizeY);
    pPage->nWidth = pwg::GetBE32(pHeader + pwg::kWidth);
    pPage->nHeight = pwg::GetBE32(pHeader + pwg::kHeight);
    pPage->nBitsPerColor = pwg::GetBE32(pHeader + pwg::kBitsPerColor);
    pPage->nBitsPerPixel = pwg::GetBE32(pHeader + pwg::kBitsPerPixel);
    pPage->nBytesPerLine = pwg::GetBE32(pHeader + pwg::kBytesPerLine);
    pPage->nColorSpace = pwg::GetBE32(pHeader + pwg::kColorSpace);
    pPage->nNumColors = pwg::GetBE32(pHeader + pwg::kNumColors);
    return CheckPageGeometry(pPage, nPos, doc.size() - nPos - kPwgHeaderSize, pErr);
}

// Appends nCount copies of the nPixelBytes-byte pixel at pPixel, doubling the copied
// stretch with each memcpy.
static void AppendRepeatedPixel(std::vector<uint8_t>* pPixels, const uint8_t* pPixel, size_t nPixelBytes,
                                size_t nCount)
{
    if (nPixelBytes == 1) {
        pPixels->insert(pPixels->end(), nCount, *pPixel);
        return;
    }
    const size_t nStart = pPixels->size();
    const size_t nBytes = nCount * nPixelBytes;
    pPixels->resize(nStart + nBytes);
    uint8_t* pRun = pPixels->data() + nStart;
    std::memcpy(pRun, pPixel, nPixelBytes);
    for (size_t nDone = nPixelBytes; nDone < nBytes; nDone *= 2)
        std::memcpy(pRun + nDone, pRun, std::min(nDone, nBytes - nDone));
}

// Decodes the PackBits data of one line at *pnPos onto the end of pPage->pixels:
// exactly nBytesPerLine bytes, run by run. *pnPos ends just past the line.
static bool DecodeLine(Bytes doc, size_t* pnPos, PwgPage* pPage, JobReadError* pErr)
{
    const size_t nPixelBytes = pPage->nBitsPerPixel / 8;
    const size_t nLineBytes = pPage->nBytesPerLine;
    size_t nPos = *pnPos;
    size_t nFilled = 0;
    while (nFilled < nLineBytes) {
        const size_t nControlPos = nPos;
        if (nControlPos == doc.size())
            return FailInDocument(pErr, nControlPos, "the rest of the line record");
        const uint8_t nControl = doc[nPos++];
        if (nControl == kControlNever)
            return FailInDocument(pErr, nControlPos, "a PackBits control byte other than 128 (0x80)");
        const bool bRepeat = nControl < kControlNever;
        const size_t nPixels = bRepeat ? nControl + 1u : 257u - nControl;
        const size_t nBytes = nPixels * nPixelBytes;
        if (nBytes > nLineBytes - nFilled)
            return FailInDocument(pErr, nControlPos, "a run within BytesPerLine (the line record runs past it)");
        const size_t nSourceBytes = bRepeat ? nPixelBytes : nBytes;
        if (nSourceBytes > doc.size() - nPos)
            return FailInDocument(pErr, doc.size(), "the rest of the run's pixels");
        const uint8_t* pSource = doc.data() + nPos;
        if (bRepeat) {
            AppendRepeatedPixel(&pPage->pixels, pSource, nPixelBytes, nPixels);
            pPage->stats.nRunBytes += nBytes;
        } else {
            pPage->pixels.insert(pPage->pixels.end(), pSource, pSource + nBytes);
            pPage->stats.nLiteralBytes += nBytes;
        }
        nPos += nSourceBytes;
        nFilled += nBytes;
    }
    *pnPos = nPos;
    return true;
}

// Appends nCopies copies of the last decoded line.
static void RepeatLastLine(std::vector<uint8_t>* pPixels, size_t nLineBytes, size_t nCopies)
{
    if (nCopies == 0)
        return;
    const size_t nLineStart = pPixels->size() - nLineBytes;
    pPixels->resize(pPixels->size() + nCopies * nLineBytes);
    uint8_t* pLine = pPixels->data() + nLineStart;
    for (size_t n = 1; n <= nCopies; ++n)
        std::memcpy(pLine + n * nLineBytes, pLine, nLineBytes);
}

// The line records of a page from *pnPos until Height lines are decoded; *pnPos ends
// just past the page.
static bool ReadPageLines(Bytes doc, size_t* pnPos, PwgPage* pPage, JobReadError* pErr)
{
    const uint64_t nPageBytes = uint64_t(pPage->nHeight) * pPage->nBytesPerLine;
    pPage->pixels.reserve(static_cast<size_t>(std::min<uint64_t>(nPageBytes, doc.size() - *pnPos)));
    uint64_t nLines = 0;
    while (nLines < pPage->nHeight) {
        const size_t nRecordStart = *pnPos;
        if (nRecordStart == doc.size())
            return FailInDocument(pErr, nRecordStart,
                                  "a line record (the page has " + std::to_string(nLines) + " of its " +
                                      std::to_string(pPage->nHeight) + " lines)");
        const size_t nRepeat = doc[nRecordStart];
        if (nRepeat >= pPage->nHeight - nLines)
            return FailInDocument(pErr, nRecordStart,
                                  "a line repeat count below " + std::to_string(pPage->nHeight - nLines) +
                                      ", the lines left of the page's Height");
        *pnPos += 1;
        if (!DecodeLine(doc, pnPos, pPage, pErr))
            return false;
        RepeatLastLine(&pPage->pixels, pPage->nBytesPerLine, nRepeat);
        pPage->stats.nLineRecords += 1;
        pPage->stats.nMergedLines += nRepeat;
        pPage->stats.nEncodedBytes += *pnPos - nRecordStart;
        nLines += nRepeat + 1;
    }
    return true;
}

bool ReadPwgDocument(const uint8_t* pData, size_t nSize, std::vector<PwgPage>* pPages, JobReadError* pErr)
{
    assert(pData || nSize == 0);
    pPages->clear();
    Bytes doc(pData, nSize);
    if (!HasAt(doc, 0, kSyncWordText))
        return FailInDocument(pErr, 0, "the sync word \"RaS2\"");
    size_t nPos = kSyncWordText.size();
    while (nPos < doc.size()) {
        PwgPage page;
        if (!ReadPageHeader(doc, nPos, &page, pErr))
            return false;
        nPos += kPwgHeaderSize;
        if (!ReadPageLines(doc, &nPos, &page, pErr))
            return false;
        pPages->push_back(std::move(page));
    }
    return true;
}

// ---- whole job ----

bool ReadJob(const uint8_t* pData, size_t nSize, VnJob* pJob, JobReadError* pErr)
{
    assert(pData || nSize == 0);
    *pJob = VnJob{};
    Bytes job(pData, nSize);
    size_t nStreamStart = 0;
    if (!ReadPjlHeader(job, pJob, &nStreamStart, pErr))
        return false;
    size_t nStreamEnd = 0;
    if (!InflateGzipStream(job, nStreamStart, pJob, &nStreamEnd, pErr))
        return false;
    if (!ReadPjlTrailer(job, nStreamEnd, pJob, pErr))
        return false;
    return ReadPwgDocument(pJob->document.data(), pJob->document.size(), &pJob->pages, pErr);
}

bool ReadJobFile(const char* pszPath, VnJob* pJob, JobReadError* pErr)
{
    *pJob = VnJob{};
    FilePtr fp(fopen(pszPath, "rb"));
    if (!fp)
        return FailInJob(pErr, 0, "a job file to open (" + std::generic_category().message(errno) + ")");
    std::vector<uint8_t> job;
    size_t nRead = 0;
    do {
        job.resize(std::max(kInflateGrowthMin, job.size() * 2));
        nRead += fread(job.data() + nRead, 1, job.size() - nRead, fp.get());
    } while (nRead == job.size());
    if (ferror(fp.get()))
        return FailInJob(pErr, nRead, "the rest of the job file (read error)");
    job.resize(nRead);
    return ReadJob(job.data(), job.size(), pJob, pErr);
}

std::string DescribeError(const JobReadError& err)
{
    return "offset " + std::to_string(err.nOffset) + (err.bInDocument ? " in the document" : "") +
           ": expected " + err.szExpected;
}
