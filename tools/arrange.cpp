// arrange: the page ranges and copies the queue filter carries out itself. See arrange.h.
#include "arrange.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "tempfile.h"

// ---------------------------------------------------------------------------------------
// Page ranges

static std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A page number: 1 to 999999, decimal digits only.
static bool ReadPageNumber(std::string_view text, int* pnPage)
{
    if (text.empty() || text.size() > 6)
        return false;
    int nPage = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        nPage = nPage * 10 + (c - '0');
    }
    *pnPage = nPage;
    return nPage >= 1;
}

bool ReadPageRanges(std::string_view text, std::vector<PageRange>* pRanges)
{
    std::vector<PageRange> ranges;
    while (true) {
        const size_t nComma = text.find(',');
        const std::string_view item = Trim(text.substr(0, nComma));
        const size_t nDash = item.find('-');
        PageRange range;
        if (nDash == std::string_view::npos) {
            if (!ReadPageNumber(item, &range.nFirst))
                return false;
            range.nLast = range.nFirst;
        } else {
            const std::string_view last = Trim(item.substr(nDash + 1));
            if (!ReadPageNumber(Trim(item.substr(0, nDash)), &range.nFirst))
                return false;
            range.nLast = INT_MAX;   // "N-": to the end
            if (!last.empty() && (!ReadPageNumber(last, &range.nLast) || range.nLast < range.nFirst))
                return false;
        }
        ranges.push_back(range);
        if (nComma == std::string_view::npos)
            break;
        text.remove_prefix(nComma + 1);
    }
    *pRanges = std::move(ranges);
    return true;
}

bool InPageRanges(const std::vector<PageRange>& ranges, int nPage)
{
    if (ranges.empty())
        return true;
    return std::any_of(ranges.begin(), ranges.end(),
                       [nPage](const PageRange& r) { return nPage >= r.nFirst && nPage <= r.nLast; });
}

// ---------------------------------------------------------------------------------------
// The plan

ArrangePlan PlanJob(const CopySettings& settings)
{
    ArrangePlan plan;
    plan.bFollowPages = !settings.ranges.empty();
    if (settings.nCopies <= 1 || (!settings.bCollate && !settings.bDuplex))
        return plan;   // one copy, or simplex uncollated copies: the filter's repetition
    plan.bFollowPages = true;
    plan.filterRcLines.push_back("Copies=1");
    if (settings.bCollate) {
        plan.nPasses = settings.nCopies;
        plan.bPadCopies = settings.bDuplex;
        // A white back side must survive blank skipping: the queue filter skips, holding
        // each page until it knows whether it is blank.
        plan.bHoldPages = settings.bDuplex && settings.bSkipBlank;
    } else {
        plan.nSheetCopies = settings.nCopies;
        plan.bHoldPages = true;
    }
    if (plan.bHoldPages) {
        plan.bSkipBlank = settings.bSkipBlank;
        plan.filterRcLines.push_back("VNSkipBlank=OFF");
    }
    return plan;
}

// ---------------------------------------------------------------------------------------
// The arranger

PageArranger::PageArranger(const ArrangePlan& planIn, const CopySettings& settingsIn, std::string holdPathIn)
    : plan(planIn), settings(settingsIn), holdPath(std::move(holdPathIn))
{
}

bool PageArranger::OpenHold()
{
    if (hold.fd >= 0)
        return true;
    hold.Reset(open(holdPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return hold.fd >= 0;
}

void PageArranger::PassBytes(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return;
    if (segments.empty() || segments.back().kind != Segment::kBytes) {
        segments.emplace_back();
        segments.back().kind = Segment::kBytes;
    }
    std::vector<uint8_t>& bytes = segments.back().bytes;
    bytes.insert(bytes.end(), pData, pData + nSize);
}

bool PageArranger::HoldBytes(const uint8_t* pData, size_t nSize)
{
    if (!OpenHold())
        return false;
    errno = 0;
    if (pwrite(hold.fd, pData, nSize, off_t(nHeldBytes)) != ssize_t(nSize)) {
        if (errno == 0)
            errno = ENOSPC;
        return false;
    }
    nHeldBytes += nSize;
    return true;
}

// The held pages, given to the filter as often as the plan says; a sheet with a front
// alone gets a white back side before each repetition but the last.
bool PageArranger::EmitHeld()
{
    if (nHeldPages == 0)
        return true;
    for (int nCopy = 0; nCopy < plan.nSheetCopies; ++nCopy) {
        Segment segment;
        segment.kind = Segment::kHeld;
        segment.nOffset = nUnitStart;
        segment.nLength = nHeldBytes - nUnitStart;
        segments.push_back(std::move(segment));
        nPagesSent += nHeldPages;
        nPassPages += nHeldPages;
        if (nHeldPages % 2 == 1 && settings.bDuplex && nCopy + 1 < plan.nSheetCopies)
            AddPad();
    }
    nHeldPages = 0;
    nUnitStart = nHeldBytes;
    return true;
}

// True when the held page from nPageStart to the end of the held bytes has only white
// pixels: its last width x height x 3 bytes, read back from the file.
bool PageArranger::HeldPageIsBlank(uint64_t nBodyBytes)
{
    uint8_t buf[65536];
    for (uint64_t nAt = nHeldBytes - nBodyBytes; nAt < nHeldBytes;) {
        const size_t nWant = size_t(std::min<uint64_t>(sizeof buf, nHeldBytes - nAt));
        const ssize_t nRead = pread(hold.fd, buf, nWant, off_t(nAt));
        if (nRead <= 0)
            return false;   // unreadable: kept, so nothing is lost
        for (ssize_t i = 0; i < nRead; ++i)
            if (buf[i] != 0xFF)
                return false;
        nAt += uint64_t(nRead);
    }
    return true;
}

// A white page of the document's size.
void PageArranger::AddPad()
{
    const std::string header = "P6\n" + std::to_string(nPadWidth) + " " + std::to_string(nPadHeight) + "\n255\n";
    Segment text;
    text.kind = Segment::kBytes;
    text.bytes.assign(header.begin(), header.end());
    segments.push_back(std::move(text));
    Segment white;
    white.kind = Segment::kPad;
    white.nLength = nPadWidth * nPadHeight * 3;
    segments.push_back(std::move(white));
    ++nPagesSent;
    ++nPassPages;
}

// The page followed so far has ended.
bool PageArranger::PageEnded()
{
    if (nPadWidth == 0) {
        nPadWidth = counter.nValue[kPpmFieldWidth];
        nPadHeight = counter.nValue[kPpmFieldHeight];
    }
    if (!bPageWanted)
        return true;
    if (!plan.bHoldPages) {
        ++nPagesSent;
        ++nPassPages;
        return true;
    }
    const uint64_t nBodyBytes = counter.nValue[kPpmFieldWidth] * counter.nValue[kPpmFieldHeight] * 3;
    if (plan.bSkipBlank && nBodyBytes <= nHeldBytes - nPageStart && HeldPageIsBlank(nBodyBytes)) {
        nHeldBytes = nPageStart;   // the blank page is dropped from the held file
        return true;
    }
    ++nHeldPages;
    // Uncollated duplex copies repeat whole sheets; collated copies hold a page only to
    // learn whether it is blank.
    const int nUnitPages = plan.nSheetCopies > 1 ? 2 : 1;
    return nHeldPages < nUnitPages || EmitHeld();
}

bool PageArranger::Feed(const uint8_t* pData, size_t nSize)
{
    if (!plan.bFollowPages) {
        PassBytes(pData, nSize);
        return true;
    }
    size_t i = 0;
    while (i < nSize) {
        if (counter.bLost) {   // not pages this arranger can follow: passed on as they are
            PassBytes(pData + i, nSize - i);
            return true;
        }
        const bool bPageStarts = !counter.bInBody && !counter.scan.bStarted;
        if (bPageStarts) {
            ++nPage;
            bPageWanted = InPageRanges(settings.ranges, nPage);
            nPageStart = nHeldBytes;
        }
        const int nBefore = counter.nPages;
        const size_t nTaken = FollowToPageEnd(&counter, pData + i, nSize - i);
        if (counter.bLost) {
            PassBytes(pData + i, nSize - i);
            return true;
        }
        if (bPageWanted) {
            if (plan.bHoldPages) {
                if (!HoldBytes(pData + i, nTaken))
                    return false;
            } else {
                PassBytes(pData + i, nTaken);
            }
        }
        i += nTaken;
        if (counter.nPages > nBefore && !PageEnded())
            return false;
    }
    return true;
}

bool PageArranger::EndPass(bool bLast)
{
    if (!EmitHeld())
        return false;
    if (plan.bPadCopies && !bLast && nPassPages % 2 == 1 && nPadWidth > 0)
        AddPad();   // the next copy begins on a new sheet
    nPassPages = 0;
    nPage = 0;
    counter = PageCounter();
    return true;
}

long PageArranger::Produce(uint8_t* pBuf, size_t nSize)
{
    if (segments.empty())
        return 0;
    Segment& segment = segments.front();
    size_t nGiven = 0;
    switch (segment.kind) {
    case Segment::kBytes:
        nGiven = std::min(nSize, segment.bytes.size() - size_t(segment.nDone));
        memcpy(pBuf, segment.bytes.data() + segment.nDone, nGiven);
        if (segment.nDone + nGiven == segment.bytes.size()) {
            segments.pop_front();
            return long(nGiven);
        }
        break;
    case Segment::kHeld: {
        const size_t nWant = size_t(std::min<uint64_t>(nSize, segment.nLength - segment.nDone));
        const ssize_t nRead = pread(hold.fd, pBuf, nWant, off_t(segment.nOffset + segment.nDone));
        if (nRead <= 0)
            return -1;
        nGiven = size_t(nRead);
        break;
    }
    case Segment::kPad:
        nGiven = size_t(std::min<uint64_t>(nSize, segment.nLength - segment.nDone));
        memset(pBuf, 0xFF, nGiven);
        break;
    }
    segment.nDone += nGiven;
    if (segment.nDone >= segment.nLength && segment.kind != Segment::kBytes)
        segments.pop_front();
    if (segments.empty() && nHeldPages == 0 && nHeldBytes == nUnitStart && hold.fd >= 0) {
        // Everything held has been given: the file starts afresh, so it never holds more
        // than the pages of one sheet and the bytes of one read.
        nHeldBytes = nUnitStart = 0;
        if (ftruncate(hold.fd, 0) != 0)
            return -1;
    }
    return long(nGiven);
}
