// bandbuf: the band buffer. Owns Planes; its first entry holds one band, which is one
// whole page image (about 100 MB for A4 at 600 dpi), taken per band and given back after
// it. The memory of a page is kept for the next one (all pages of a job have one size):
// fresh memory costs a page fault and the kernel's zeroing per page of memory, more than
// reading the page itself. Large buffers are mapped with transparent huge pages requested.
#include "bandbuf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "vnerror.h"

uint8_t* Planes[4] = {nullptr, nullptr, nullptr, nullptr};

static uint8_t* pKeptBuf = nullptr;   // the band memory, kept between bands
static size_t nKeptBytes = 0;         // its size
static bool bKeptMapped = false;      // it came from mmap, not calloc

constexpr size_t kMapThreshold = size_t(1) << 20;   // smaller buffers come from calloc

static void FreeKeptBuf()
{
    if (bKeptMapped)
        munmap(pKeptBuf, nKeptBytes);
    else
        free(pKeptBuf);
    pKeptBuf = nullptr;
    nKeptBytes = 0;
    bKeptMapped = false;
}

// Fresh zero-filled memory of nBytes, or null.
static bool AllocateKeptBuf(size_t nBytes)
{
    if (nBytes >= kMapThreshold) {
        void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return false;
        madvise(p, nBytes, MADV_HUGEPAGE);
        pKeptBuf = static_cast<uint8_t*>(p);
        bKeptMapped = true;
    } else {
        pKeptBuf = static_cast<uint8_t*>(calloc(nBytes ? nBytes : 1, 1));
        if (!pKeptBuf)
            return false;
    }
    nKeptBytes = nBytes;
    return true;
}

int CreateBandBuf(uint64_t nBytesPerLine, int16_t nLines, bool bZeroFill)
{
    if (nBytesPerLine == 0 || nLines < 0) {
        VnMessage(kMsgBandParameters);
        return 1;
    }
    DestroyBandBuf();
    const uint64_t nBytes = nBytesPerLine * uint64_t(nLines);
    if (pKeptBuf && nKeptBytes == nBytes) {
        if (bZeroFill)
            memset(pKeptBuf, 0, nBytes);
    } else {
        FreeKeptBuf();
        if (nBytes > SIZE_MAX || !AllocateKeptBuf(size_t(nBytes))) {
            VnMessage(kMsgNoMemory);
            return 1;
        }
    }
    Planes[0] = pKeptBuf;
    return 0;
}

void DestroyBandBuf()
{
    Planes[0] = nullptr;
}
