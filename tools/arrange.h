// arrange: which page images reach rastertovelnora, in which order and how often, when
// the job asks for more than the filter does by itself: page ranges, collated copies (the
// document sent once per copy, each copy beginning on a new sheet in duplex), and
// uncollated copies in duplex (each sheet, front and back, repeated). The filter's own
// page repetition serves simplex uncollated copies; a job that needs none of this passes
// the pages through untouched.
//
// The arranger follows the PPM pages of one pass of the document as they come and turns
// them into the bytes the filter gets. Pages that must be held (a sheet to repeat, a page
// whose blankness decides the sheets) wait in one temporary file, never in memory, so a
// job costs the same memory whatever its length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "descriptor.h"
#include "pagecounter.h"

// Pages nFirst to nLast of the document, counted from 1.
struct PageRange {
    int nFirst = 1;
    int nLast = 0;
};

// Reads a page-range list such as "1-3,7,10-": numbers from 1, a range's first page not
// after its last, an open end for "N-". Blanks are allowed around items. false when the
// text is no such list (or empty).
bool ReadPageRanges(std::string_view text, std::vector<PageRange>* pRanges);
// True when page nPage (from 1) lies in one of the ranges; every page when there are none.
bool InPageRanges(const std::vector<PageRange>& ranges, int nPage);

// What the job asks for, as its settings hold it.
struct CopySettings {
    int nCopies = 1;          // the rc file's Copies
    bool bCollate = false;    // Collate=ON
    bool bDuplex = false;     // VNDuplex other than None
    bool bSkipBlank = false;  // VNSkipBlank=ON
    std::vector<PageRange> ranges;   // empty: every page
};

// How the queue filter carries a job out.
struct ArrangePlan {
    int nPasses = 1;             // passes of the document: one per collated copy
    int nSheetCopies = 1;        // uncollated duplex: each sheet sent this often
    bool bPadCopies = false;     // collated duplex: an odd copy gets a white back side
    bool bHoldPages = false;     // pages wait in the temporary file before they are sent
    bool bSkipBlank = false;     // the queue filter leaves blank pages out itself
    bool bFollowPages = false;   // the arranger is needed at all
    std::vector<std::string> filterRcLines;   // settings the filter must get instead
};

// The plan for the settings. Simplex uncollated copies stay the filter's own; the
// queue filter takes over the copies where the filter's repetition would put pages on
// the wrong sheets, and the blank-page skipping where white back sides must survive it.
ArrangePlan PlanJob(const CopySettings& settings);

class PageArranger {
public:
    // pszHoldPath: the temporary file for held pages (made when first needed, removed by
    // the caller's private folder).
    PageArranger(const ArrangePlan& plan, const CopySettings& settings, std::string holdPath);
    PageArranger(const PageArranger&) = delete;
    PageArranger& operator=(const PageArranger&) = delete;

    // Takes the next bytes of the current pass. false when the held pages cannot be
    // written (the reason is in errno).
    bool Feed(const uint8_t* pData, size_t nSize);
    // The current pass has ended; bLast when no pass follows. false as for Feed.
    bool EndPass(bool bLast);
    // True while bytes wait to be given to the filter.
    bool HasOutput() const { return !segments.empty(); }
    // Gives up to nSize waiting bytes into pBuf: how many (0 when none wait), or -1 when
    // the held pages cannot be read back.
    long Produce(uint8_t* pBuf, size_t nSize);
    // Pages handed to the filter so far, padding included.
    int PagesSent() const { return nPagesSent; }

private:
    struct Segment {
        enum Kind { kBytes, kHeld, kPad } kind = kBytes;
        std::vector<uint8_t> bytes;   // kBytes
        uint64_t nOffset = 0;         // kHeld: where in the held file
        uint64_t nLength = 0;         // kHeld, kPad: bytes in all
        uint64_t nDone = 0;           // bytes already given
    };

    void PassBytes(const uint8_t* pData, size_t nSize);
    bool HoldBytes(const uint8_t* pData, size_t nSize);
    bool PageEnded();
    bool EmitHeld();
    bool HeldPageIsBlank(uint64_t nBodyBytes);
    void AddPad();
    bool OpenHold();

    ArrangePlan plan;
    CopySettings settings;
    std::string holdPath;
    Fd hold;                      // the held pages' file
    uint64_t nHeldBytes = 0;      // bytes of the held pages
    int nHeldPages = 0;           // pages held
    uint64_t nUnitStart = 0;      // where the held pages not yet given out begin in the file
    uint64_t nPageStart = 0;      // where the page being held begins in the file
    PageCounter counter;          // the pages of the current pass
    int nPage = 0;                // the page being followed, from 1
    bool bPageWanted = true;      // it lies in the ranges
    int nPassPages = 0;           // pages of this pass sent (counted for duplex padding)
    int nPagesSent = 0;
    uint64_t nPadWidth = 0;       // the pages' size, from the first header
    uint64_t nPadHeight = 0;
    std::deque<Segment> segments; // bytes for the filter, in order
};
