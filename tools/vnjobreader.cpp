// vnjobreader: the strict reader of a finished printer job. JobReader reads the job as a
// stream: the PJL header line by line, then the one gzip stream, inflated block by block
// as the page parser asks for bytes, then the PJL trailer. So the reader holds a window of
// the job, a window of the document and the page being decoded, never the whole job, and
// it stops at the first byte that is not well formed without reading (or inflating)
// further. A page header is checked before anything is allocated for its page. ReadJob
// and ReadPwgDocument are built on the same parser. Called by the tests and the job
// inspector. Every fault is reported with its byte offset and what belonged there.
//
// The unit is longer than most: the PJL, gzip and PWG layers stay together because each
// reads from the one below through the same windows and reports offsets in the same two
// frames (the job, the document); split apart they would share all of that state.
#include "vnjobreader.h"

#include "fileptr.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <system_error>

namespace {

constexpr std::string_view kUel = "\x1b%-12345X";
constexpr std::string_view kFirstPjlLine = "@PJL ";
constexpr std::string_view kPjlPrefix = "@PJL";
constexpr std::string_view kEnterLine = "@PJL ENTER LANGUAGE=PWGRASTER";
constexpr std::string_view kEojPrefix = "@PJL EOJ NAME=\"";
constexpr std::string_view kGzipMagic = "\x1f\x8b";
constexpr std::string_view kSyncWordText = pwg::kSyncWord;
constexpr std::string_view kPwgRaster = "PwgRaster";

constexpr uint8_t kControlNever = 0x80;    // PackBits control byte that is never written
constexpr size_t kWindowBytes = 64 * 1024; // a window's buffer: job blocks read, document bytes inflated
static_assert(kWindowBytes >= kPwgHeaderSize);

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

// ---- windows on the job and on the document ----

// A window on a stream of bytes: Need makes bytes visible from the read position on, Skip
// moves past them. Over memory the window is the whole data; otherwise a fixed buffer
// that Fill tops up.
class ByteWindow {
public:
    virtual ~ByteWindow() = default;

    // Makes at least nBytes (at most kWindowBytes) visible, fewer only at the end of the
    // data. False when the data cannot be read, with *pErr filled.
    bool Need(size_t nBytes, JobReadError* pErr)
    {
        return Avail() >= nBytes || bEnded || Refill(nBytes, pErr);
    }
    const uint8_t* Data() const { return pBytes + nPos; }
    size_t Avail() const { return nEnd - nPos; }
    void Skip(size_t nBytes) { nPos += nBytes; }
    size_t Offset() const { return nBase + nPos; }   // of Data() in the stream
    // True when the bytes at the read position are szText (false when fewer remain).
    bool Matches(std::string_view szText, JobReadError* pErr, bool* pbMatch)
    {
        if (!Need(szText.size(), pErr))
            return false;
        *pbMatch = Avail() >= szText.size() && std::memcmp(Data(), szText.data(), szText.size()) == 0;
        return true;
    }

protected:
    explicit ByteWindow(size_t nBufferBytes) : buffer(nBufferBytes), pBytes(buffer.data()) {}
    ByteWindow(const uint8_t* pData, size_t nSize) : nEnd(nSize), pBytes(pData), bEnded(true) {}

    // Puts up to nRoom next bytes at p; *pnGot 0 at the end of the data. The stream
    // offset of p is nBase + nEnd.
    virtual bool Fill(uint8_t* p, size_t nRoom, size_t* pnGot, JobReadError* pErr) = 0;

    size_t nBase = 0;   // stream offset of pBytes[0]
    size_t nEnd = 0;    // bytes in the window

private:
    bool Refill(size_t nBytes, JobReadError* pErr)
    {
        assert(nBytes <= buffer.size());
        std::memmove(buffer.data(), buffer.data() + nPos, Avail());
        nBase += nPos;
        nEnd -= nPos;
        nPos = 0;
        while (nEnd < nBytes && !bEnded) {
            size_t nGot = 0;
            if (!Fill(buffer.data() + nEnd, buffer.size() - nEnd, &nGot, pErr))
                return false;
            nEnd += nGot;
            bEnded = nGot == 0;
        }
        return true;
    }

    std::vector<uint8_t> buffer;   // the window's bytes, unless it is over memory
    const uint8_t* pBytes;         // buffer.data(), or the data in memory
    size_t nPos = 0;               // read position in the window
    bool bEnded = false;           // the data has no more bytes than the window holds
};

// The job's bytes, from memory or from a stream read in blocks.
class JobSource : public ByteWindow {
public:
    explicit JobSource(FILE* fp) : ByteWindow(kWindowBytes), fp(fp) {}
    JobSource(const uint8_t* pData, size_t nSize) : ByteWindow(pData, nSize) {}

protected:
    bool Fill(uint8_t* p, size_t nRoom, size_t* pnGot, JobReadError* pErr) override
    {
        *pnGot = fread(p, 1, nRoom, fp);
        if (*pnGot != 0 || !ferror(fp))
            return true;
        const int nErrno = errno;
        FailInJob(pErr, nBase + nEnd, "the rest of the job (read error: " + std::generic_category().message(nErrno) + ")");
        if (pErr)
            pErr->nReadErrno = nErrno;
        return false;
    }

private:
    FILE* fp = nullptr;
};

// The decompressed document: inflated from the job's gzip stream as its bytes are
// needed, or a document in memory. zlib checks the gzip header, the CRC and the length;
// the document ends where the stream does, so a second member behind it is left for the
// trailer to refuse.
class DocumentSource : public ByteWindow {
public:
    explicit DocumentSource(JobSource* pJob) : ByteWindow(kWindowBytes), pJob(pJob) {}
    DocumentSource(const uint8_t* pData, size_t nSize) : ByteWindow(pData, nSize) {}
    ~DocumentSource() override
    {
        if (bInflating)
            inflateEnd(&z);
    }

    // Opens the gzip stream at the job's read position.
    bool Open(JobReadError* pErr)
    {
        if (inflateInit2(&z, 31) != Z_OK)
            return FailInJob(pErr, pJob->Offset(), "a gzip stream zlib can open (out of memory)");
        bInflating = true;
        return true;
    }
    void KeepBytes(std::vector<uint8_t>* pDocument) { pKeep = pDocument; }

protected:
    bool Fill(uint8_t* p, size_t nRoom, size_t* pnGot, JobReadError* pErr) override
    {
        *pnGot = 0;
        while (*pnGot == 0 && !bStreamEnded) {
            if (!Inflate(p, nRoom, pnGot, pErr))
                return false;
        }
        if (pKeep)
            pKeep->insert(pKeep->end(), p, p + *pnGot);
        return true;
    }

private:
    // One inflate call on what the job's window holds.
    bool Inflate(uint8_t* p, size_t nRoom, size_t* pnGot, JobReadError* pErr)
    {
        if (!pJob->Need(1, pErr))
            return false;
        const uInt nIn = static_cast<uInt>(std::min<size_t>(pJob->Avail(), UINT_MAX));
        const uInt nOut = static_cast<uInt>(std::min<size_t>(nRoom, UINT_MAX));
        z.next_in = pJob->Data();
        z.avail_in = nIn;
        z.next_out = p;
        z.avail_out = nOut;
        const int nResult = inflate(&z, Z_NO_FLUSH);
        pJob->Skip(nIn - z.avail_in);
        *pnGot = nOut - z.avail_out;
        if (nResult == Z_STREAM_END) {
            bStreamEnded = true;
            return true;
        }
        if (nResult == Z_BUF_ERROR && pJob->Avail() == 0)   // no progress, no input left
            return FailInJob(pErr, pJob->Offset(), "the rest of the gzip stream");
        if (nResult == Z_MEM_ERROR)
            return FailInJob(pErr, pJob->Offset(), "a gzip stream zlib can inflate (out of memory)");
        if (nResult != Z_OK && nResult != Z_BUF_ERROR)
            return FailInJob(pErr, pJob->Offset(),
                             std::string("valid gzip data (zlib: ") + (z.msg ? z.msg : "stream error") + ")");
        return true;
    }

    JobSource* pJob = nullptr;           // the job being inflated; null over memory
    z_stream z{};
    bool bInflating = false;             // z is open
    bool bStreamEnded = false;           // inflate has reached the end of the gzip stream
    std::vector<uint8_t>* pKeep = nullptr;   // receives every inflated byte when set
};

// ---- PJL header and trailer ----

// Reads the PJL line at the read position through its line feed into *pszLine (without
// it). A line holds printable bytes and tabs only: a carriage return or any other control
// byte would change what the printer reads, so it is a fault where it stands. A line
// longer than nMax bytes is refused at its first byte past nMax.
static bool ReadPjlLine(JobSource* pSrc, size_t nMax, std::string* pszLine, JobReadError* pErr)
{
    pszLine->clear();
    for (;;) {
        if (!pSrc->Need(1, pErr))
            return false;
        if (pSrc->Avail() == 0)
            return FailInJob(pErr, pSrc->Offset(), "a line feed ending the PJL line");
        const uint8_t c = *pSrc->Data();
        if (c == '\n') {
            pSrc->Skip(1);
            return true;
        }
        if (c == '\r')
            return FailInJob(pErr, pSrc->Offset(), "a line feed alone, without a carriage return");
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return FailInJob(pErr, pSrc->Offset(), "a printable character in the PJL line");
        if (pszLine->size() >= nMax)
            return FailInJob(pErr, pSrc->Offset(),
                             "the end of the PJL text within " + std::to_string(kPjlTextMax) + " bytes");
        pszLine->push_back(static_cast<char>(c));
        pSrc->Skip(1);
    }
}

// Checks that the bytes at the read position are szText and moves past them; otherwise
// reports szExpected there.
static bool Expect(JobSource* pSrc, std::string_view szText, const char* pszExpected, JobReadError* pErr)
{
    bool bMatch = false;
    if (!pSrc->Matches(szText, pErr, &bMatch))
        return false;
    if (!bMatch)
        return FailInJob(pErr, pSrc->Offset(), pszExpected);
    pSrc->Skip(szText.size());
    return true;
}

// The header from offset 0: UEL, "@PJL " LF, then "@PJL" lines through the one that
// enters PWG raster, at most kPjlTextMax bytes in all.
static bool ReadPjlHeader(JobSource* pSrc, VnJob* pJob, JobReadError* pErr)
{
    if (!Expect(pSrc, kUel, "UEL", pErr))
        return false;
    pJob->szHeader = kUel;
    std::string szLine;
    while (szLine != kEnterLine) {
        const size_t nLineStart = pSrc->Offset();
        bool bPjl = false;
        if (!pSrc->Matches(kPjlPrefix, pErr, &bPjl))
            return false;
        if (pSrc->Avail() == 0)
            return FailInJob(pErr, nLineStart, "the PJL line \"@PJL ENTER LANGUAGE=PWGRASTER\"");
        if (!bPjl)
            return FailInJob(pErr, nLineStart, "a PJL line starting \"@PJL\"");
        if (!ReadPjlLine(pSrc, kPjlTextMax - pJob->szHeader.size(), &szLine, pErr))
            return false;
        if (pJob->headerLines.empty() && szLine != kFirstPjlLine)
            return FailInJob(pErr, nLineStart, "the PJL line \"@PJL \"");
        pJob->headerLines.push_back(szLine);
        pJob->szHeader += szLine + '\n';
    }
    return true;
}

// The line "@PJL EOJ NAME="<title>"" between the trailer's two UELs. The title is
// everything between the first and the last quote, quotes inside it included.
static bool ReadEojLine(JobSource* pSrc, VnJob* pJob, JobReadError* pErr)
{
    const size_t nStart = pSrc->Offset();
    std::string szLine;
    if (!ReadPjlLine(pSrc, kPjlTextMax, &szLine, pErr))
        return false;
    const std::string_view line = szLine;
    if (!line.starts_with(kEojPrefix) || line.size() == kEojPrefix.size() || line.back() != '"')
        return FailInJob(pErr, nStart, "the PJL line \"@PJL EOJ NAME=\"<title>\"\"");
    pJob->szEojTitle = line.substr(kEojPrefix.size(), line.size() - kEojPrefix.size() - 1);
    pJob->bHasEoj = true;
    pJob->szTrailer += szLine + '\n';
    return true;
}

// The trailer from the end of the gzip stream: UEL, the optional EOJ line, UEL, LF,
// and the end of the job.
static bool ReadPjlTrailer(JobSource* pSrc, VnJob* pJob, JobReadError* pErr)
{
    bool bMatch = false;
    if (!pSrc->Matches(kGzipMagic, pErr, &bMatch))
        return false;
    if (bMatch)
        return FailInJob(pErr, pSrc->Offset(), "UEL, not a second gzip stream");
    if (!Expect(pSrc, kUel, "UEL", pErr))
        return false;
    pJob->szTrailer = kUel;
    if (!pSrc->Matches(kPjlPrefix, pErr, &bMatch))
        return false;
    if (bMatch) {
        if (!ReadEojLine(pSrc, pJob, pErr))
            return false;
    } else {
        if (!pSrc->Matches(kUel, pErr, &bMatch))
            return false;
        if (!bMatch)
            return FailInJob(pErr, pSrc->Offset(), "UEL or the PJL line \"@PJL EOJ NAME=\"<title>\"\"");
    }
    if (!Expect(pSrc, kUel, "UEL", pErr) || !Expect(pSrc, "\n", "a line feed after the last UEL", pErr))
        return false;
    pJob->szTrailer += std::string(kUel) + '\n';
    if (!pSrc->Need(1, pErr))
        return false;
    if (pSrc->Avail() != 0)
        return FailInJob(pErr, pSrc->Offset(), "the end of the job after the trailer");
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

// What decoding needs of the header at nPos: 8-bit colours in gray or RGB pixels, a
// line length that matches the width, and a page the filter could have written: sides
// of at most kPageSideMax and at most kPageBytesMax bytes of pixels.
static bool CheckPageGeometry(const PwgPage* pPage, size_t nPos, JobReadError* pErr)
{
    if (pPage->nBitsPerColor != 8)
        return FailInDocument(pErr, nPos + pwg::kBitsPerColor, "BitsPerColor 8");
    if (pPage->nBitsPerPixel != 8 && pPage->nBitsPerPixel != 24)
        return FailInDocument(pErr, nPos + pwg::kBitsPerPixel, "BitsPerPixel 8 or 24");
    if (pPage->nWidth == 0)
        return FailInDocument(pErr, nPos + pwg::kWidth, "a non-zero Width");
    if (pPage->nWidth > kPageSideMax)
        return FailInDocument(pErr, nPos + pwg::kWidth,
                              "a Width of at most " + std::to_string(kPageSideMax) +
                                  " pixels (a page side the filter can write)");
    if (pPage->nHeight == 0)
        return FailInDocument(pErr, nPos + pwg::kHeight, "a non-zero Height");
    if (pPage->nHeight > kPageSideMax)
        return FailInDocument(pErr, nPos + pwg::kHeight,
                              "a Height of at most " + std::to_string(kPageSideMax) +
                                  " lines (a page side the filter can write)");
    if (uint64_t(pPage->nWidth) * (pPage->nBitsPerPixel / 8) != pPage->nBytesPerLine)
        return FailInDocument(pErr, nPos + pwg::kBytesPerLine, "BytesPerLine equal to Width x BitsPerPixel / 8");
    if (uint64_t(pPage->nBytesPerLine) * pPage->nHeight > kPageBytesMax)
        return FailInDocument(pErr, nPos + pwg::kHeight,
                              "a page of at most " + std::to_string(kPageBytesMax) +
                                  " bytes of pixels (BytesPerLine x Height)");
    return true;
}

// The page header at the read position: copied whole, its fields taken by name, then
// checked.
static bool ReadPageHeader(DocumentSource* pDoc, PwgPage* pPage, JobReadError* pErr)
{
    const size_t nPos = pDoc->Offset();
    if (!pDoc->Need(kPwgHeaderSize, pErr))
        return false;
    if (pDoc->Avail() < kPwgHeaderSize)
        return FailInDocument(pErr, nPos, "a 1796-byte page header or the end of the document");
    const uint8_t* pHeader = pPage->header.data();
    std::memcpy(pPage->header.data(), pDoc->Data(), kPwgHeaderSize);
    pDoc->Skip(kPwgHeaderSize);
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
    return CheckPageGeometry(pPage, nPos, pErr);
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

// Decodes the PackBits data of one line at the read position onto the end of
// pPage->pixels: exactly nBytesPerLine bytes, run by run.
static bool DecodeLine(DocumentSource* pDoc, PwgPage* pPage, JobReadError* pErr)
{
    const size_t nPixelBytes = pPage->nBitsPerPixel / 8;
    const size_t nLineBytes = pPage->nBytesPerLine;
    size_t nFilled = 0;
    while (nFilled < nLineBytes) {
        const size_t nControlPos = pDoc->Offset();
        if (!pDoc->Need(1, pErr))
            return false;
        if (pDoc->Avail() == 0)
            return FailInDocument(pErr, nControlPos, "the rest of the line record");
        const uint8_t nControl = *pDoc->Data();
        if (nControl == kControlNever)
            return FailInDocument(pErr, nControlPos, "a PackBits control byte other than 128 (0x80)");
        const bool bRepeat = nControl < kControlNever;
        const size_t nPixels = bRepeat ? nControl + 1u : 257u - nControl;
        const size_t nBytes = nPixels * nPixelBytes;
        if (nBytes > nLineBytes - nFilled)
            return FailInDocument(pErr, nControlPos, "a run within BytesPerLine (the line record runs past it)");
        pDoc->Skip(1);
        const size_t nSourceBytes = bRepeat ? nPixelBytes : nBytes;
        if (!pDoc->Need(nSourceBytes, pErr))
            return false;
        if (pDoc->Avail() < nSourceBytes)
            return FailInDocument(pErr, pDoc->Offset() + pDoc->Avail(), "the rest of the run's pixels");
        const uint8_t* pSource = pDoc->Data();
        if (bRepeat) {
            AppendRepeatedPixel(&pPage->pixels, pSource, nPixelBytes, nPixels);
            pPage->stats.nRunBytes += nBytes;
        } else {
            pPage->pixels.insert(pPage->pixels.end(), pSource, pSource + nBytes);
            pPage->stats.nLiteralBytes += nBytes;
        }
        pDoc->Skip(nSourceBytes);
        nFilled += nBytes;
    }
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

// The line records of a page from the read position until Height lines are decoded. The
// page's pixels are reserved once, at the size its checked header gives.
static bool ReadPageLines(DocumentSource* pDoc, PwgPage* pPage, JobReadError* pErr)
{
    pPage->pixels.clear();
    pPage->pixels.reserve(size_t(pPage->nHeight) * pPage->nBytesPerLine);
    pPage->stats = PageEncodingStats{};
    uint64_t nLines = 0;
    while (nLines < pPage->nHeight) {
        const size_t nRecordStart = pDoc->Offset();
        if (!pDoc->Need(1, pErr))
            return false;
        if (pDoc->Avail() == 0)
            return FailInDocument(pErr, nRecordStart,
                                  "a line record (the page has " + std::to_string(nLines) + " of its " +
                                      std::to_string(pPage->nHeight) + " lines)");
        const size_t nRepeat = *pDoc->Data();
        if (nRepeat >= pPage->nHeight - nLines)
            return FailInDocument(pErr, nRecordStart,
                                  "a line repeat count below " + std::to_string(pPage->nHeight - nLines) +
                                      ", the lines left of the page's Height");
        pDoc->Skip(1);
        if (!DecodeLine(pDoc, pPage, pErr))
            return false;
        RepeatLastLine(&pPage->pixels, pPage->nBytesPerLine, nRepeat);
        pPage->stats.nLineRecords += 1;
        pPage->stats.nMergedLines += nRepeat;
        pPage->stats.nEncodedBytes += pDoc->Offset() - nRecordStart;
        nLines += nRepeat + 1;
    }
    return true;
}

static bool ReadSyncWord(DocumentSource* pDoc, JobReadError* pErr)
{
    bool bMatch = false;
    if (!pDoc->Matches(kSyncWordText, pErr, &bMatch))
        return false;
    if (!bMatch)
        return FailInDocument(pErr, 0, "the sync word \"RaS2\"");
    pDoc->Skip(kSyncWordText.size());
    return true;
}

// The next page, or the end of the document.
static PageStep ReadNextPage(DocumentSource* pDoc, PwgPage* pPage, JobReadError* pErr)
{
    if (!pDoc->Need(1, pErr))
        return PageStep::kMalformed;
    if (pDoc->Avail() == 0)
        return PageStep::kEndOfDocument;
    if (!ReadPageHeader(pDoc, pPage, pErr) || !ReadPageLines(pDoc, pPage, pErr))
        return PageStep::kMalformed;
    return PageStep::kPage;
}

bool ReadPwgDocument(const uint8_t* pData, size_t nSize, std::vector<PwgPage>* pPages, JobReadError* pErr)
{
    assert(pData || nSize == 0);
    pPages->clear();
    DocumentSource doc(pData, nSize);
    if (!ReadSyncWord(&doc, pErr))
        return false;
    for (;;) {
        PwgPage page;
        switch (ReadNextPage(&doc, &page, pErr)) {
        case PageStep::kPage:
            pPages->push_back(std::move(page));
            break;
        case PageStep::kEndOfDocument:
            return true;
        case PageStep::kMalformed:
            return false;
        }
    }
}

// ---- the job as a stream ----

JobReader::JobReader(FILE* fp) : pSource(std::make_unique<JobSource>(fp)) {}

JobReader::JobReader(const uint8_t* pData, size_t nSize) : pSource(std::make_unique<JobSource>(pData, nSize))
{
    assert(pData || nSize == 0);
}

JobReader::~JobReader() = default;

void JobReader::KeepDocument(std::vector<uint8_t>* pDocumentBytes)
{
    pKeep = pDocumentBytes;
}

bool JobReader::ReadHeader(VnJob* pJob, JobReadError* pErr)
{
    assert(!pDocument);   // once, first
    if (!ReadPjlHeader(pSource.get(), pJob, pErr))
        return false;
    bool bGzip = false;
    if (!pSource->Matches(kGzipMagic, pErr, &bGzip))
        return false;
    if (!bGzip)
        return FailInJob(pErr, pSource->Offset(), "a gzip stream");
    pJob->nStreamOffset = pSource->Offset();
    pDocument = std::make_unique<DocumentSource>(pSource.get());
    pDocument->KeepBytes(pKeep);
    return pDocument->Open(pErr);
}

PageStep JobReader::NextPage(PwgPage* pPage, JobReadError* pErr)
{
    assert(pDocument && !bDocumentEnded);   // after ReadHeader, until the end of the document
    if (!bSyncWordRead) {
        if (!ReadSyncWord(pDocument.get(), pErr))
            return PageStep::kMalformed;
        bSyncWordRead = true;
    }
    const PageStep step = ReadNextPage(pDocument.get(), pPage, pErr);
    bDocumentEnded = step == PageStep::kEndOfDocument;
    return step;
}

bool JobReader::ReadTrailer(VnJob* pJob, JobReadError* pErr)
{
    assert(bDocumentEnded);   // NextPage has given kEndOfDocument
    pJob->nStreamSize = pSource->Offset() - pJob->nStreamOffset;
    pJob->nDocumentSize = pDocument->Offset();
    if (!ReadPjlTrailer(pSource.get(), pJob, pErr))
        return false;
    pJob->nJobSize = pSource->Offset();
    return true;
}

// ---- whole job ----

static bool ReadWholeJob(JobReader* pReader, VnJob* pJob, JobReadError* pErr)
{
    *pJob = VnJob{};
    pReader->KeepDocument(&pJob->document);
    if (!pReader->ReadHeader(pJob, pErr))
        return false;
    for (;;) {
        PwgPage page;
        switch (pReader->NextPage(&page, pErr)) {
        case PageStep::kPage:
            pJob->pages.push_back(std::move(page));
            break;
        case PageStep::kEndOfDocument:
            return pReader->ReadTrailer(pJob, pErr);
        case PageStep::kMalformed:
            return false;
        }
    }
}

bool ReadJob(const uint8_t* pData, size_t nSize, VnJob* pJob, JobReadError* pErr)
{
    JobReader reader(pData, nSize);
    return ReadWholeJob(&reader, pJob, pErr);
}

bool ReadJobFile(const char* pszPath, VnJob* pJob, JobReadError* pErr)
{
    *pJob = VnJob{};
    FilePtr fp(fopen(pszPath, "rb"));
    if (!fp)
        return FailInJob(pErr, 0, "a job file to open (" + std::generic_category().message(errno) + ")");
    JobReader reader(fp.get());
    return ReadWholeJob(&reader, pJob, pErr);
}

std::string DescribeError(const JobReadError& err)
{
    return "offset " + std::to_string(err.nOffset) + (err.bInDocument ? " in the document" : "") +
           ": expected " + err.szExpected;
}
