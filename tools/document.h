// document: the document a job prints and the job's private folder. Tells the document's
// kind from its leading bytes, keeps those bytes to pass them on first, and spools a
// document read from standard input into the private folder when it must be rendered
// from a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "descriptor.h"

struct SignalState;

constexpr size_t kPumpSize = 256 * 1024;   // bytes moved at a time
constexpr size_t kSniffSize = 4096;        // leading bytes read to tell the kind

enum class DocKind { kEmpty, kUnknown, kPdf, kPostScript, kEps, kPpm, kGzip, kText, kPng, kJpeg };

// The kind of a document that begins with the bytes of head (its first bytes, all of it
// when it is shorter).
DocKind KindOf(const std::vector<uint8_t>& head);
// "PDF", "PostScript", "EPS", "text", "PNG", "JPEG", "gzip", for messages.
std::string KindName(DocKind kind);
// What a document of kind kUnknown is, for the refusal: "a ZIP archive", "an ELF program",
// "a UTF-16 text", "binary data", ...
std::string DescribeUnknown(const std::vector<uint8_t>& head);
// The kinds the queue prints, for the refusal.
extern const char* const kAcceptedKinds;

// Opens the named document, or standard input for an empty name, as *pIn (closed on
// exec). 0, or kStatusFailed (reported).
int OpenDocument(const std::string& input, Fd* pIn);
// Reads the leading bytes that tell the kind (up to kSniffSize), without losing any: they are kept in
// *pHead to be passed on before the rest. 0, kStatusFailed (reported), or -1 when
// cancelled.
int ReadHead(int fd, std::vector<uint8_t>* pHead, SignalState* pSignals);
// Copies the document (its head, then the rest of fd) into a new file at path, which
// Ghostscript can seek in. 0, kStatusFailed (reported), or -1 when cancelled.
int SpoolDocument(const std::vector<uint8_t>& head, int fd, const std::string& path, SignalState* pSignals);

// The job's private folder (the rc copy, a spooled document, Ghostscript's temporary
// files), made with mkdtemp under TMPDIR or /tmp and removed with its contents.
class PrivateDir {
public:
    PrivateDir() = default;
    ~PrivateDir();
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    // false when the folder cannot be made (errno set).
    bool Make();
    const std::string& Path() const { return path; }
    std::string operator/(const char* pszName) const { return path + "/" + pszName; }

private:
    std::string path;
};
