// vnRasterConv: blank-page skipping. The begin-page and band-data operations ask
// skipBlankPagePrint whether the page image in the band buffer is all white and to be left
// out. It only reads the band buffer and the settings: it calls no output operation. A
// kept blank page for later insertion (the page loop's SendBlankPageEND) needs a blank
// period above 1, and every job sets it to -1, so in practice a blank page is left out.
#include "vnRasterConv.h"

#include <cstdlib>
#include <cstring>

#include "bandbuf.h"
#include "option.h"

uint8_t* blankPagePtr = nullptr;

bool IsAllWhite(const uint8_t* pData, uint64_t nBytes)
{
    // Whole blocks first, folded with AND so the compiler can use wide loads; the first
    // block that is not white ends the scan.
    constexpr size_t kBlockBytes = 4096;
    while (nBytes >= kBlockBytes) {
        uint64_t nAll = ~uint64_t(0);
        for (size_t i = 0; i < kBlockBytes; i += 8) {
            uint64_t nWord;
            memcpy(&nWord, pData + i, 8);
            nAll &= nWord;
        }
        if (nAll != ~uint64_t(0))
            return false;
        pData += kBlockBytes;
        nBytes -= kBlockBytes;
    }
    for (; nBytes >= 4; pData += 4, nBytes -= 4) {
        uint32_t nWord;
        memcpy(&nWord, pData, 4);
        if (nWord != 0xFFFFFFFFu)
            return false;
    }
    for (; nBytes > 0; ++pData, --nBytes)
        if (*pData != 0xFF)
            return false;
    return true;
}

// Keeps a copy of the blank page image for a later insertion; bit 1 only when it is held.
static void KeepBlankPage(const uint8_t* pImage, uint64_t nBytes, SendState* pState)
{
    if (!GetOption("collate"))
        return;
    uint8_t* pCopy = static_cast<uint8_t*>(malloc(nBytes));
    if (!pCopy)
        return;
    memcpy(pCopy, pImage, nBytes);
    blankPagePtr = pCopy;
    pState->nBlankFlags |= kBlankPageKept;
}

int16_t skipBlankPagePrint(JobSettings* pJob, SendState* pState)
{
    const char* pszSkip = GetOption("VNSkipBlank");
    if (!pszSkip)
        return 0;
    pState->nBlankFlags &= ~kBlankPageFound;
    if (strcmp(pszSkip, "ON") != 0)
        return 0;
    const uint64_t nBytes = uint64_t(pJob->page.nPageHeight) * uint64_t(pJob->nBytesPerLine);
    if (nBytes == 0 || !Planes[0])
        return 0;
    if (!IsAllWhite(Planes[0], nBytes)) {
        ++pState->nNonBlankCount;
        return 0;
    }
    pState->nBlankFlags |= kBlankPageFound;
    if (pState->nBlankFlags & kBlankPageKept)
        return 1;
    if (pJob->nDuplex == 1 && pState->nBlankPeriod > 1)
        KeepBlankPage(Planes[0], nBytes, pState);
    return 1;
}
