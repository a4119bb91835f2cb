// document: the document's kind, its leading bytes, its spooled copy, and the job's
// private folder. Reads wait through ReadSome, so a cancelling signal ends them.
#include "document.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string_view>
#include <unistd.h>

#include "children.h"
#include "queuemessage.h"
#include "tempfile.h"

using namespace std::string_view_literals;

static bool StartsWith(const std::vector<uint8_t>& head, std::string_view prefix)
{
    // Compared as bytes: a char above 0x7F is negative and never equals a uint8_t.
    return head.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), head.begin(), [](char c, uint8_t b) { return uint8_t(c) == b; });
}

// A control character that plain text holds: tab, line feed, vertical tab, form feed,
// carriage return.
static bool IsTextControl(uint8_t c)
{
    return c >= '\t' && c <= '\r';
}

// Bytes of the UTF-8 sequence that begins with c; 0 for a byte no sequence begins with.
static size_t Utf8Length(uint8_t c)
{
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 0;
}

// Whether the head reads as UTF-8 text: well-formed sequences, no control character other
// than the text ones. A sequence cut by the end of a full head counts as whole.
static bool IsUtf8Text(const std::vector<uint8_t>& head)
{
    for (size_t i = 0; i < head.size();) {
        const uint8_t c = head[i];
        if ((c < 0x20 && !IsTextControl(c)) || c == 0x7F)
            return false;
        const size_t nLength = Utf8Length(c);
        if (nLength == 0)
            return false;
        for (size_t k = 1; k < nLength; ++k) {
            if (i + k == head.size())
                return head.size() == kSniffSize;
            if ((head[i + k] & 0xC0) != 0x80)
                return false;
        }
        if (nLength == 3 && ((c == 0xE0 && head[i + 1] < 0xA0) || (c == 0xED && head[i + 1] >= 0xA0)))
            return false;   // overlong, or a UTF-16 surrogate
        if (nLength == 4 && ((c == 0xF0 && head[i + 1] < 0x90) || (c == 0xF4 && head[i + 1] >= 0x90)))
            return false;   // overlong, or beyond U+10FFFF
        i += nLength;
    }
    return true;
}

DocKind KindOf(const std::vector<uint8_t>& head)
{
    if (head.empty())
        return DocKind::kEmpty;
    if (StartsWith(head, "%PDF-"))
        return DocKind::kPdf;
    // An EPS file says so on its first line, or has the binary header of a DOS EPS file.
    const std::string_view firstLine(reinterpret_cast<const char*>(head.data()),
                                     std::find(head.begin(), head.end(), '\n') - head.begin());
    if ((StartsWith(head, "%!PS-Adobe-") && firstLine.find(" EPSF-") != std::string_view::npos) ||
        StartsWith(head, "\xC5\xD0\xD3\xC6"))
        return DocKind::kEps;
    if (StartsWith(head, "%!") || StartsWith(head, "\x04%!"))
        return DocKind::kPostScript;
    if (StartsWith(head, "P6") && head.size() > 2 && strchr(" \t\n\v\f\r", head[2]) && head[2] != '\0')
        return DocKind::kPpm;
    if (StartsWith(head, "\x1F\x8B"))
        return DocKind::kGzip;
    if (StartsWith(head, "\x89PNG\r\n\x1A\n"))
        return DocKind::kPng;
    if (StartsWith(head, "\xFF\xD8\xFF"))
        return DocKind::kJpeg;
    if (IsUtf8Text(head))
        return DocKind::kText;
    return DocKind::kUnknown;
}

std::string KindName(DocKind kind)
{
    switch (kind) {
    case DocKind::kPdf: return "PDF";
    case DocKind::kPostScript: return "PostScript";
    case DocKind::kEps: return "EPS";
    case DocKind::kText: return "text";
    case DocKind::kPng: return "PNG";
    case DocKind::kJpeg: return "JPEG";
    case DocKind::kGzip: return "gzip";
    case DocKind::kPpm: return "PPM";
    default: return "unknown";
    }
}

const char* const kAcceptedKinds =
    "PDF, PostScript, EPS, UTF-8 text, PNG, JPEG, PPM pages (\"P6\"), or one of these compressed with gzip";

// Text in another encoding: only text controls and printable bytes, some of them not
// ASCII.
static bool IsEightBitText(const std::vector<uint8_t>& head)
{
    return std::all_of(head.begin(), head.end(), [](uint8_t c) {
        return IsTextControl(c) || (c >= 0x20 && c != 0x7F);
    });
}

// UTF-16 without a byte-order mark: ASCII text with every other byte zero.
static bool LooksLikeUtf16(const std::vector<uint8_t>& head)
{
    if (head.size() < 4)
        return false;
    size_t nZeroEven = 0;
    size_t nZeroOdd = 0;
    for (size_t i = 0; i < head.size(); ++i)
        if (head[i] == 0)
            ++(i % 2 ? nZeroOdd : nZeroEven);
    const size_t nPairs = head.size() / 2;
    return nZeroEven * 10 >= nPairs * 9 || nZeroOdd * 10 >= nPairs * 9;
}

std::string DescribeUnknown(const std::vector<uint8_t>& head)
{
    struct Signature {
        std::string_view prefix;
        const char* pszWhat;
    };
    static constexpr Signature kSignatures[] = {
        {"PK\x03\x04", "a ZIP archive (or an office document)"},
        {"\x7F" "ELF", "an ELF program"},
        {"\xFF\xFE", "a UTF-16 text"},
        {"\xFE\xFF", "a UTF-16 text"},
        {"GIF8", "a GIF image"},
        {"II*", "a TIFF image"},
        {"MM\x00*"sv, "a TIFF image"},
        {"BM", "a BMP image"},
        {"RIFF", "a RIFF file (WebP image, sound or video)"},
        {"\xD0\xCF\x11\xE0", "an old Microsoft Office document"},
        {"{\\rtf", "an RTF document"},
        {"BZh", "a bzip2-compressed file"},
        {"\xFD" "7zXZ", "an xz-compressed file"},
        {"\x28\xB5\x2F\xFD", "a zstd-compressed file"},
        {"7z\xBC\xAF", "a 7-Zip archive"},
        {"P1", "a PBM image"},
        {"P4", "a PBM image"},
        {"P2", "a PGM image"},
        {"P5", "a PGM image"},
        {"P3", "a plain PPM image"},
    };
    for (const Signature& s : kSignatures)
        if (StartsWith(head, s.prefix))
            return s.pszWhat;
    if (LooksLikeUtf16(head))
        return "a UTF-16 text";
    if (IsEightBitText(head))
        return "a text that is not UTF-8 (an 8-bit encoding such as Latin-1)";
    return "binary data";
}

int OpenDocument(const std::string& input, Fd* pIn)
{
    if (input.empty()) {
        pIn->Reset(dup(STDIN_FILENO));
        fcntl(pIn->fd, F_SETFD, FD_CLOEXEC);
        return 0;
    }
    pIn->Reset(open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (pIn->fd < 0)
        return Fail("Cannot open the document " + Printable(input, 200) + ": " + strerror(errno));
    return 0;
}

int ReadHead(int fd, std::vector<uint8_t>* pHead, SignalState* pSignals)
{
    pHead->resize(kSniffSize);
    size_t nHave = 0;
    while (nHave < kSniffSize) {
        size_t nRead = 0;
        const ReadResult result = ReadSome(fd, pHead->data() + nHave, kSniffSize - nHave, &nRead, pSignals);
        if (result == ReadResult::kCancelled)
            return -1;
        if (result == ReadResult::kError)
            return Fail("Cannot read the document: " + std::string(strerror(errno)));
        if (result == ReadResult::kEnd)
            break;
        nHave += nRead;
    }
    pHead->resize(nHave);
    return 0;
}

int SpoolDocument(const std::vector<uint8_t>& head, int fd, const std::string& path, SignalState* pSignals)
{
    Fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return Fail("Cannot spool the document: " + std::string(strerror(errno)));
    if (!WriteAll(out.fd, head.data(), head.size()))
        return Fail("Cannot spool the document: " + std::string(strerror(errno)));
    std::vector<uint8_t> buf(kPumpSize);
    for (;;) {
        size_t nRead = 0;
        const ReadResult result = ReadSome(fd, buf.data(), buf.size(), &nRead, pSignals);
        if (result == ReadResult::kCancelled)
            return -1;
        if (result == ReadResult::kError)
            return Fail("Cannot read the document: " + std::string(strerror(errno)));
        if (result == ReadResult::kEnd)
            return 0;
        if (!WriteAll(out.fd, buf.data(), nRead))
            return Fail("Cannot spool the document: " + std::string(strerror(errno)));
    }
}

static int RemoveEntry(const char* pszPath, const struct stat*, int, struct FTW*)
{
    remove(pszPath);
    return 0;
}

bool PrivateDir::Make()
{
    std::string pattern = std::string(TempDirectory()) + "/velnora-filter.XXXXXX";
    if (!mkdtemp(pattern.data()))
        return false;
    path = pattern;
    return true;
}

PrivateDir::~PrivateDir()
{
    if (!path.empty())
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
