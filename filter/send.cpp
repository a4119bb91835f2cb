// send: the output's send buffers and device state. Owns the three device records, made
// once per job by CreateSendBuf and released by DestroySendBuf, and the zero padding that
// a cancelled job sends ahead of its end.
#include "send.h"

#include <cstdio>
#include <cstdlib>

#include "gzipstream.h"
#include "lineencoder.h"
#include "printerout.h"
#include "vnerror.h"

int model_language = 5;                   // the model's language code; 0 unknown, 10 no records
static DeviceRecord* tmppdev = nullptr;   // the job's device record, also SendState.pDevice
static BandSurface* tmppso = nullptr;     // the job's band surface, also SendState.pSurface
static PrintRecord* pPrint = nullptr;     // the job's printable area, also SendState.pPrintInfo

constexpr int kModelUnknown = 0;
constexpr int kModelWithoutRecords = 10;
constexpr int32_t kDeviceDpi = 600;
constexpr int32_t kPointsPerInch = 72;
constexpr int32_t kSurfaceFormat = 5;

template <typename T>
static T* AllocateRecord()
{
    return static_cast<T*>(calloc(1, sizeof(T)));
}

int16_t CreateSendBuf(SendState* pState)
{
    if (model_language == kModelUnknown) {
        VnMessage(kMsgUnknownModel);
        return 1;
    }
    if (model_language == kModelWithoutRecords)
        return 0;
    pPrint = pState->pPrintInfo = AllocateRecord<PrintRecord>();
    if (!pPrint)
        return 1;
    tmppdev = pState->pDevice = AllocateRecord<DeviceRecord>();
    if (!tmppdev)
        return 1;
    tmppso = pState->pSurface = AllocateRecord<BandSurface>();
    if (!tmppso)
        return 1;
    return 0;
}

void DestroySendBuf()
{
    free(pPrint);
    free(tmppdev);
    free(tmppso);
    pPrint = nullptr;
    tmppdev = nullptr;
    tmppso = nullptr;
}

void DisposGrayMemory()
{
    ReleaseLineBuffers();
}

int16_t sendNULLData()
{
    static const uint8_t zeros[kNullDataBytes] = {};
    WriteCompressedAll();   // everything fed to the stream reaches the printer first
    return pswrite(zeros, sizeof zeros) ? 0 : 1;
}

int32_t MULDIV(int32_t a, int32_t b, int32_t c)
{
    if (c == 0)
        return 0;
    return static_cast<int32_t>(int64_t(a) * int64_t(b) / c);
}

void setWinDevmode(SendState* pState)
{
    DeviceRecord* pDev = pState->pDevice;
    const PrintRecord* pRec = pState->pPrintInfo;
    if (!pDev || !pRec)
        return;
    pDev->nResolutionDpi = kDeviceDpi;
    pDev->nLeftMarginDots = MULDIV(pRec->nAreaLeftPt, kDeviceDpi, kPointsPerInch);
    pDev->nBottomDots = MULDIV(pRec->nAreaBottomPt, kDeviceDpi, kPointsPerInch);
    pDev->nPaperWidthDots = MULDIV(pRec->nPaperWidthPt, kDeviceDpi, kPointsPerInch);
    pDev->nPaperHeightDots = MULDIV(pRec->nPaperHeightPt, kDeviceDpi, kPointsPerInch);
    pDev->nBandWidth = pState->nBandWidth;
    pDev->nLineBytes = pState->nLineBytes;
    pDev->nBandCount = pState->nBandCount;
    pDev->nBandLines = pState->nBandLines;
    pDev->nLastBandLines = pState->nLastBandLines;
}

uint8_t* setWinParam(SendState* pState)
{
    DeviceRecord* pDev = pState->pDevice;
    BandSurface* pSurface = pState->pSurface;
    if (pDev) {
        pDev->nBandCount = pState->nBandCount;
        pDev->nBandIndex = pState->nBandIndex;
        pDev->nBandLines = pState->nBandLines;
        pDev->nLastBandLines = pState->nLastBandLines;
    }
    if (pSurface) {
        const bool bLastBand = pState->nBandIndex + 1 >= pState->nBandCount;
        pSurface->nWidth = pState->nBandWidth;
        pSurface->nLines = bLastBand ? pState->nLastBandLines : pState->nBandLines;
        pSurface->nPixels = int64_t(pSurface->nWidth) * pSurface->nLines;
        pSurface->pBits = pState->pCurrentLine;
        pSurface->nLineBytes = pState->nLineBytes;
        pSurface->nFormat = kSurfaceFormat;
    }
    return pState->pCurrentLine;
}
