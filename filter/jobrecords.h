// jobrecords: the two records that carry one print job through the filter.
// JobSettings is owned by main for the run and read-only from the first page on;
// SendState is owned by SendRasterDoc for the one job. Both start zero-filled.
#pragma once

#include <cstdint>
#include <cstdio>

struct DeviceRecord;
struct BandSurface;
struct PrintRecord;

// Media, resolution, paper code and page geometry of the job.
struct PageSetup {
    int16_t nMediaType;       // inner value of row 0 "MediaType"
    int16_t nResolution;      // inner value of row 3 "VNResolution": 1 normal, 2 fine
    int16_t nPaperSize;       // inner value of row 1 "PageSize": the paper code
    int16_t nPaperWidthPt;    // sheet width in points (PaperDimension)
    int16_t nPaperHeightPt;   // sheet height in points (PaperDimension)
    int16_t nPageWidth;       // pixels of one page image (paper-information file)
    int16_t nPageHeight;      // rows of one page image (paper-information file)
    int16_t nAreaBottomPt;    // sheet height minus the top margin, in points
    int16_t nAreaLeftPt;      // left margin in points
};

struct JobSettings {
    FILE* pInputFile;         // PPM pages: standard input or the named input file
    char* pszPaperInf;        // the "-pi" argument itself
    char* pszRcFile;          // the "-rc" argument itself
    PageSetup page;
    int64_t nBytesPerLine;    // 3 x page.nPageWidth, in colour and in gray
    int16_t nInputSlot;       // row 2: 0 auto, 1-5 trays, 6 MP tray, 7 manual
    int16_t nCopyCount;       // row 4 number
    int16_t nColorMode;       // row 7: 0 mono, 1 full colour, 2 auto
    int16_t nCollate;         // row 5: 0 off, 1 on
    int16_t nColorMatching;   // row 8: 3 auto, 1 normal, 2 vivid, 0 none
    int16_t nEnhanceBlack;    // row 10
    int16_t nImproveOutput;   // row 12: 0 off, 1 less curl, 2 fix intensity
    int16_t nBrightness;      // row 13 number
    int16_t nContrast;        // row 14 number
    int16_t nRedKey;          // row 15 number
    int16_t nGreenKey;        // row 16 number
    int16_t nBlueKey;         // row 17 number
    int16_t nDuplex;          // row 19: 0 none, 1 short edge, 2 long edge
    int16_t nTonerSave;       // row 11
    int16_t nGray;            // row 9
};

// Bits of SendState.nBlankFlags.
constexpr uint16_t kBlankPageFound = 0x0001;    // the page just tested is blank
constexpr uint16_t kBlankPageKept = 0x0002;     // a blank page image is held in blankPagePtr
constexpr uint16_t kBlankPageSending = 0x0004;  // the kept page is being inserted
constexpr uint16_t kBlankKeepCount = 0x0400;    // insertion leaves nNonBlankCount alone

struct SendState {
    uint16_t nBandCount;      // bands per page (1: a page is one band)
    int16_t nLastBandLines;   // rows in the last band
    int16_t nBandLines;       // rows per band: the page height
    uint16_t nBandIndex;      // band being sent within the page
    int16_t nLineBytes;       // low 16 bits of nBytesPerLine
    int16_t nBandWidth;       // pixels of one row
    int16_t nCollate;         // copy of JobSettings.nCollate
    uint8_t* pCurrentLine;    // row the band-data operation is encoding
    DeviceRecord* pDevice;    // also tmppdev
    BandSurface* pSurface;    // also tmppso
    PrintRecord* pPrintInfo;  // also pPrint
    uint16_t nBlankFlags;     // kBlank* bits
    int16_t nBlankPeriod;     // -1 for every job: no blank-page insertion
    uint16_t nNonBlankCount;  // pages found not blank since the job began
    uint16_t nPageCount;      // page images begun, every copy counted
};
