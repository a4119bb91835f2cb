// pdef0: the output subsystem's device records, allocated by CreateSendBuf (send) once
// per job and kept until the process ends.
#pragma once

#include <cstdint>

// Printable area of the paper in points; filled by the begin-job operation.
struct PrintRecord {
    int16_t nUnitsPerInchX;   // 72
    int16_t nUnitsPerInchY;   // 72
    int16_t nAreaLeftPt;      // left edge of the printable rectangle
    int16_t nAreaBottomPt;    // lower edge, measured from the top of the sheet
    int16_t nPaperWidthPt;
    int16_t nPaperHeightPt;
    int16_t nPaperSize;       // paper code
    int16_t nOptions[8];      // device options; always zero
};

// Device description and the two page counters of the output.
struct DeviceRecord {
    int64_t nPageFileSeq;     // number of the newest staged page file
    int64_t nPagesWritten;    // page headers written in this job
    int32_t nResolutionDpi;   // 600
    int32_t nLeftMarginDots;  // margins converted to 600-dpi dots
    int32_t nBottomDots;
    int32_t nPaperWidthDots;
    int32_t nPaperHeightDots;
    int32_t nBandWidth;       // band layout, copied by setWinDevmode / setWinParam
    int32_t nLineBytes;
    uint16_t nBandCount;
    uint16_t nBandIndex;
    int16_t nBandLines;
    int16_t nLastBandLines;
};

// One band described as an image surface; filled only by setWinParam.
struct BandSurface {
    int32_t nWidth;
    int32_t nLines;
    int64_t nPixels;          // width x lines
    uint8_t* pBits;
    int32_t nLineBytes;
    int32_t nFormat;          // always 5
};
