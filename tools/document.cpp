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

constexpr size_t kSniffSize = 16;   // leading bytes read to tell the kind

DocKind KindOf(const std::vector<uint8_t>& head)
{
    const auto StartsWith = [&head](std::string_view prefix) {
        return head.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), head.begin());
    };
    if (head.empty())
        return DocKind::kEmpty;
    if (StartsWith("%PDF-"))
        return DocKind::kPdf;
    if (StartsWith("%!") || StartsWith("\x04%!") || StartsWith("\xC5\xD0\xD3\xC6"))
        return DocKind::kPostScript;
    if (StartsWith("P6") && head.size() > 2 && strchr(" \t\n\v\f\r", head[2]) && head[2] != '\0')
        return DocKind::kPpm;
    return DocKind::kUnknown;
}

std::string KindName(DocKind kind)
{
    return kind == DocKind::kPdf ? "PDF" : "PostScript";
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
