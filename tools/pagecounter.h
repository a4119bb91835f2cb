// pagecounter: counts the complete PPM pages in a stream as it goes by, block by block,
// for the queue filter's "Rendered page" messages and its check that Ghostscript found a
// page. Headers are read with the filter's own header scanner (pbmproc), so a header
// counts here only if rastertovelnora would accept it; the body is skipped by the size
// the header gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pbmproc.h"

struct PageCounter {
    PpmHeaderScan scan;        // the header being followed
    bool bInBody = false;      // the pixel data of a page is passing
    bool bLost = false;        // not a PPM stream this counter follows: counting stops
    uint64_t nValue[4] = {};   // the header's numbers by field: width, height, maximum value
    uint64_t nBodyLeft = 0;    // pixel bytes of the page still to pass
    int nPages = 0;            // pages complete so far

    PageCounter() { StartPpmHeader(&scan); }
};

// Follows the stream up to the end of the page it is in, at most nSize bytes: how many
// it took. A page ended there when nPages grew. A stream the counter has lost is taken
// whole.
size_t FollowToPageEnd(PageCounter* pCounter, const uint8_t* pData, size_t nSize);
// Follows the next nSize bytes of the stream; returns the pages completed in them.
int CountPages(PageCounter* pCounter, const uint8_t* pData, size_t nSize);
