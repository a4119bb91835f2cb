// compress: the band buffer. Owns Planes; its first entry holds one band, which is one
// whole page image (about 100 MB for A4 at 600 dpi), created per band and released after
// it. Large buffers are mapped fresh from the kernel (zero-filled for free) with
// transparent huge pages requested, so filling a page costs few page faults.
#include "compress.h"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>

uint8_t* Planes[4] = {nullptr, nullptr, nullptr, nullptr};

static size_t nBandBufBytes = 0;   // size of Planes[0]
static bool bBandBufMapped = false;   // Planes[0] came from mmap, not calloc

constexpr size_t kMapThreshold = size_t(1) << 20;   // smaller buffers come from calloc

int CreateBandBuf(uint64_t nBytesPerLine, int16_t nLines)
{
    if (nBytesPerLine == 0 || nLines < 0) {
        fputs("Invalid Parameter(s).\n", stderr);
        return 1;
    }
    DestroyBandBuf();
    const uint64_t nBytes = nBytesPerLine * uint64_t(nLines);
    uint8_t* pBuf = nullptr;
    bool bMapped = false;
    if (nBytes >= kMapThreshold) {
        void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            madvise(p, nBytes, MADV_HUGEPAGE);
            pBuf = static_cast<uint8_t*>(p);
            bMapped = true;
        }
    } else {
        pBuf = static_cast<uint8_t*>(calloc(nBytes ? nBytes : 1, 1));
    }
    if (!pBuf) {
        fprintf(stderr, "%s%s", "ERROR: ", "Insufficient memory!\n");
        return 1;
    }
    Planes[0] = pBuf;
    nBandBufBytes = nBytes;
    bBandBufMapped = bMapped;
    return 0;
}

void DestroyBandBuf()
{
    if (!Planes[0])
        return;
    if (bBandBufMapped)
        munmap(Planes[0], nBandBufBytes);
    else
        free(Planes[0]);
    Planes[0] = nullptr;
    nBandBufBytes = 0;
    bBandBufMapped = false;
}
