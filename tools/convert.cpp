// convert: gzip unpacking in this process (zlib), text and images converted by paps and
// img2pdf as children waited for here, and Ghostscript's arguments with the placement
// procedure. Every wait watches the cancel signals.
#include "convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "children.h"
#include "descriptor.h"
#include "queuemessage.h"
#include "tempfile.h"

constexpr double kRenderDpi = 600.0;
constexpr double kPointsPerInch = 72.0;
// Text is set in this font, from fontconfig: DejaVu Sans Mono on a Debian system, which
// covers Latin, Greek and Cyrillic; other scripts come from fontconfig's fallbacks.
constexpr const char* kTextFont = "Monospace 10";

// ---------------------------------------------------------------------------------------
// Placement

PrintableArea PrintableAreaOf(const PageSetup& page)
{
    const double fPageWidth = page.nPageWidth * kPointsPerInch / kRenderDpi;
    const double fPageHeight = page.nPageHeight * kPointsPerInch / kRenderDpi;
    PrintableArea area{0, 0, fPageWidth, fPageHeight};
    if (page.nPaperWidthPt <= 0 || page.nPaperHeightPt <= 0)
        return area;
    // The tables give the left and the top margin; the right and the bottom one are taken
    // to be as wide.
    const double fLeft = page.nAreaLeftPt * fPageWidth / page.nPaperWidthPt;
    const double fTop = (page.nPaperHeightPt - page.nAreaBottomPt) * fPageHeight / page.nPaperHeightPt;
    if (fLeft < 0 || fTop < 0 || 2 * fLeft >= fPageWidth || 2 * fTop >= fPageHeight)
        return area;   // margins that leave nothing: the whole page
    return {fLeft, fTop, fPageWidth - 2 * fLeft, fPageHeight - 2 * fTop};
}

static std::string Number(double fValue)
{
    char szText[32];
    snprintf(szText, sizeof szText, "%.4f", fValue);
    return szText;
}

// The page device's Install procedure: Ghostscript runs it whenever a page size is asked
// for (PSFitPage lets the asked size through with the media kept fixed), and what it does
// to the transformation becomes the page's default, which initmatrix keeps. It starts
// from the plain 600 dpi transformation and places the asked page size (w h) in the area:
//   turned by 90 degrees when the page is landscape and the area portrait (or the reverse),
//   scaled by s = min(1, area width / w, area height / h), and centred.
static std::string PlacementProcedure(const PageSetup& page)
{
    const PrintableArea area = PrintableAreaOf(page);
    const double fScale = kRenderDpi / kPointsPerInch;
    const char* pszTurn = area.fHeight > area.fWidth   ? "2 copy gt"
                          : area.fHeight < area.fWidth ? "2 copy lt"
                                                       : "false";
    const std::string aw = Number(area.fWidth);
    const std::string ah = Number(area.fHeight);
    return "<< /Install {"
           " [" + Number(fScale) + " 0 0 " + Number(-fScale) + " 0 " + std::to_string(page.nPageHeight) + "] setmatrix"
           " currentpagedevice /PageSize get aload pop"                  // w h
           " 1 index 0 gt 1 index 0 gt and {"
           " " + pszTurn + " { exch true } { false } ifelse 3 1 roll"    // turn w' h'
           " " + aw + " 2 index div " + ah + " 2 index div"
           " 2 copy gt { exch } if pop dup 1 gt { pop 1 } if"             // turn w' h' s
           " " + aw + " 3 index 2 index mul sub 2 div " + Number(area.fLeft) + " add"
           " " + ah + " 3 index 3 index mul sub 2 div " + Number(area.fBottom) + " add translate"
           " dup scale pop exch { 0 translate 90 rotate } { pop } ifelse"
           " } { pop pop } ifelse"
           " } bind >> setpagedevice";
}

std::vector<std::string> GhostscriptArguments(DocKind kind, const std::string& document, const PageSetup& page,
                                              int fdPages)
{
    // A relative name that began with "-" or "%" would read as an option or a device.
    const std::string path = document[0] == '/' ? document : "./" + document;
    std::vector<std::string> argv = {
        "gs", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dQUIET", "-sDEVICE=ppmraw", "-r600",
        "-g" + std::to_string(page.nPageWidth) + "x" + std::to_string(page.nPageHeight), "-dFIXEDMEDIA",
        "-dPSFitPage", "-sOutputFile=/dev/fd/" + std::to_string(fdPages)};
    // An EPS file's page is its bounding box.
    if (kind == DocKind::kEps || kind == DocKind::kPostScript)
        argv.push_back("-dEPSCrop");
    argv.insert(argv.end(), {"-c", PlacementProcedure(page), "-f", path});
    return argv;
}

// ---------------------------------------------------------------------------------------
// gzip

// Whether a cancelling signal has come, without waiting.
static bool CancelCame(SignalState* pSignals)
{
    ReadSignals(pSignals);
    return pSignals->nCancelSignal != 0;
}

struct GzCloser {
    void operator()(gzFile fp) const { gzclose(fp); }
};

// A compressed document unpacks into the job's temporary folder up to this size: far
// beyond any real document, and short of what a crafted stream of zeros would fill.
constexpr uint64_t kMaxUnpackedBytes = uint64_t(4) << 30;

int UnpackDocument(const std::string& packed, const std::string& unpacked, SignalState* pSignals)
{
    uint64_t nUnpacked = 0;
    std::unique_ptr<gzFile_s, GzCloser> in(gzopen(packed.c_str(), "rb"));
    if (!in)
        return Fail("Cannot read the document: " + std::string(strerror(errno)));
    Fd out(open(unpacked.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return Fail("Cannot unpack the document: " + std::string(strerror(errno)));
    std::vector<uint8_t> buf(kPumpSize);
    for (;;) {
        if (CancelCame(pSignals))
            return -1;
        const int n = gzread(in.get(), buf.data(), unsigned(buf.size()));
        if (n < 0) {
            int nError = 0;
            const char* pszError = gzerror(in.get(), &nError);
            if (nError == Z_ERRNO)
                return Fail("Cannot read the document: " + std::string(strerror(errno)));
            return Refuse("The gzip-compressed document is damaged: " + std::string(pszError));
        }
        if (n == 0)
            return 0;
        nUnpacked += uint64_t(n);
        if (nUnpacked > kMaxUnpackedBytes)
            return Refuse("The gzip-compressed document unpacks to more than " +
                          std::to_string(kMaxUnpackedBytes >> 30) + " GiB: not a document to print");
        if (!WriteAll(out.fd, buf.data(), size_t(n)))
            return Fail("Cannot unpack the document: " + std::string(strerror(errno)));
    }
}

// ---------------------------------------------------------------------------------------
// Converters

// Waits for a converter while watching the signals. 0 when it ended well; kStatusFailed
// when it could not be run (its own message said why); kStatusRefused when it failed on
// the document; -1 when cancelled (it is killed: it wrote nothing for the printer).
static int WaitForConverter(Child* pChild, SignalState* pSignals)
{
    while (pChild->bRunning) {
        pollfd fds = {pSignals->fdSignal, POLLIN, 0};
        if (poll(&fds, 1, -1) < 0 && errno != EINTR) {
            KillAndReap(pChild);
            return Fail("Cannot wait for " + std::string(pChild->pszName) + ": " + strerror(errno));
        }
        ReadSignals(pSignals);
        if (pSignals->nCancelSignal != 0) {
            KillAndReap(pChild);
            return -1;
        }
        if (pSignals->bContinue) {
            pSignals->bContinue = false;
            ContinueChild(pChild);
        }
        if (pSignals->bChildEvent) {
            pSignals->bChildEvent = false;
            ReapChild(pChild);
        }
    }
    if (EndedWell(pChild))
        return 0;
    if (WIFEXITED(pChild->nWaitStatus) && WEXITSTATUS(pChild->nWaitStatus) == 127)
        return kStatusFailed;
    return Refuse(std::string(pChild->pszName) + " could not convert the document (" + HowItEnded(pChild) + ")");
}

// Runs a converter that writes the converted document to its standard output, into the
// new file output.
static int RunConverter(const char* pszName, const std::vector<std::string>& argv, const std::string& output,
                        const std::string& tmpDir, SignalState* pSignals)
{
    Fd out(open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return Fail("Cannot convert the document: " + std::string(strerror(errno)));
    Child converter{.pszName = pszName, .nDeathSignal = SIGKILL};
    if (!StartConverter(&converter, argv, out.fd, tmpDir))
        return kStatusFailed;
    out.Close();
    return WaitForConverter(&converter, pSignals);
}

// paps knows three paper sizes; text is set for the one nearest the sheet, and placement
// fits it to the printable area.
static const char* TextPaper(const PageSetup& page)
{
    struct Paper {
        const char* pszName;
        int nWidthPt;
        int nHeightPt;
    };
    static constexpr Paper kPapers[] = {{"a4", 595, 842}, {"letter", 612, 792}, {"legal", 612, 1008}};
    if (page.nPaperWidthPt <= 0 || page.nPaperHeightPt <= 0)
        return "a4";
    const int nShort = std::min(page.nPaperWidthPt, page.nPaperHeightPt);
    const int nLong = std::max(page.nPaperWidthPt, page.nPaperHeightPt);
    const Paper* pBest = &kPapers[0];
    for (const Paper& paper : kPapers)
        if (abs(paper.nWidthPt - nShort) + abs(paper.nHeightPt - nLong) <
            abs(pBest->nWidthPt - nShort) + abs(pBest->nHeightPt - nLong))
            pBest = &paper;
    return pBest->pszName;
}

int ConvertForGhostscript(DocKind* pKind, std::string* pDocument, const PageSetup& page, const std::string& tmpDir,
                          SignalState* pSignals)
{
    const std::string path = (*pDocument)[0] == '/' ? *pDocument : "./" + *pDocument;
    if (*pKind == DocKind::kText) {
        const std::string output = tmpDir + "/text.ps";
        Say("INFO: Converting the text to PostScript with paps");
        const int nStatus = RunConverter("paps",
                                         {"paps", "--encoding=UTF-8", std::string("--font=") + kTextFont,
                                          std::string("--paper=") + TextPaper(page), path},
                                         output, tmpDir, pSignals);
        if (nStatus != 0)
            return nStatus;
        *pKind = DocKind::kPostScript;
        *pDocument = output;
    } else if (*pKind == DocKind::kPng || *pKind == DocKind::kJpeg) {
        const std::string output = tmpDir + "/image.pdf";
        Say("INFO: Making a page of the " + KindName(*pKind) + " image with img2pdf");
        const int nStatus = RunConverter("img2pdf", {"img2pdf", path}, output, tmpDir, pSignals);
        if (nStatus != 0)
            return nStatus;
        *pKind = DocKind::kPdf;
        *pDocument = output;
    }
    return 0;
}
