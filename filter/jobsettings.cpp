// jobsettings: the job's settings. Owns the conversion of the loaded rc settings into
// JobSettings and the paper files: the raster size from the paper-information file, the
// sheet size and printable area from the model's tables. Start-up calls it once; the
// queue filter calls it to learn the page size of a job. It writes no printer data.
#include "jobsettings.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileptr.h"
#include "vnerror.h"
#include "vnfiletool.h"

namespace {

constexpr const char* kDefaultModelRoot = "/opt/velnora";
constexpr int kLineSize = 1024;
constexpr long kMaxPageSide = 32767;   // page sides are 16-bit fields

// The rc word of the current "PageSize" choice of the record; empty when it has none.
const char* PageSizeWord(const RcInfo* pRcInfo)
{
    const char* pszWord = GetKeyValue("PageSize", const_cast<RcInfo*>(pRcInfo));
    return pszWord ? pszWord : "";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Paper files

// A record belongs to the paper when its first word is the page-size word followed at
// once by a colon.
static bool IsPaperRecord(const char* pszWord, const char* pszSize)
{
    const size_t nLength = strlen(pszSize);
    return strncmp(pszWord, pszSize, nLength) == 0 && pszWord[nLength] == ':';
}

static bool FitsInt16(long nValue)
{
    return nValue >= INT16_MIN && nValue <= INT16_MAX;
}

// The raster size of the paper named pszSize from the paper-information file.
static int ReadPaperInf(const char* pszPath, const char* pszSize, PageSetup* pPage)
{
    FilePtr fp(fopen(pszPath, "r"));
    if (!fp)
        return VnError(1, pszPath);
    char szHeader[4][64];
    if (fscanf(fp.get(), "%63s %63s %63s %63s ", szHeader[0], szHeader[1], szHeader[2], szHeader[3]) < 4)
        return VnError(6, pszSize);
    while (!feof(fp.get())) {
        char szWord[1024];
        long nWidth = 0;
        long nHeight = 0;
        if (fscanf(fp.get(), "%1023s %ld %ld ", szWord, &nWidth, &nHeight) < 3)
            return VnError(6, pszSize);
        if (!IsPaperRecord(szWord, pszSize))
            continue;
        // A side outside the 16-bit field would wrap and put every page out of step.
        if (nWidth < 0 || nWidth > kMaxPageSide || nHeight < 0 || nHeight > kMaxPageSide)
            return VnError(6, pszSize);
        pPage->nPageWidth = static_cast<int16_t>(nWidth);
        pPage->nPageHeight = static_cast<int16_t>(nHeight);
        return 0;
    }
    return VnError(7, pszSize);
}

int GetPaperInf(const char* pszPath, PageSetup* pPage)
{
    return ReadPaperInf(pszPath, PageSizeWord(&g_rcInfo), pPage);
}

std::string ModelTablePath(const char* pszPrinterName, const char* pszTable)
{
    const char* pszRoot = getenv("VELNORA_ROOT");
    std::string path = (pszRoot && *pszRoot) ? pszRoot : kDefaultModelRoot;
    path += '/';
    path += pszPrinterName;
    path += "/bin/inf/";
    path += pszTable;
    return path;
}

// Finds the paper's line in one of the model's tables. 0 found (in pszLine), -1 not
// listed, 1 the table cannot be opened (reported).
static int FindTableLine(const std::string& path, const char* pszSize, char* pszLine)
{
    FilePtr fp(fopen(path.c_str(), "r"));
    if (!fp)
        return VnError(1, path.c_str());
    while (ReadWholeLine(pszLine, kLineSize, fp.get()))
        if (IsPaperRecord(pszLine, pszSize))
            return 0;
    return -1;
}

int GetImagingArea(PageSetup* pPage, RcInfo* pRcInfo)
{
    const char* pszSize = PageSizeWord(pRcInfo);
    long nMargin[4] = {0, 0, 0, 0};
    char szLine[kLineSize];
    char szWord[256];

    int nFound = FindTableLine(ModelTablePath(pRcInfo->szPrinterName, "ImagingArea"), pszSize, szLine);
    if (nFound > 0)
        return nFound;
    const bool bAreaListed = nFound == 0;
    if (bAreaListed) {
        if (sscanf(szLine, "%255s\t%ld\t%ld\t%ld\t%ld", szWord, &nMargin[0], &nMargin[1], &nMargin[2],
                   &nMargin[3]) < 5)
            return 13;
        for (long nValue : nMargin)
            if (!FitsInt16(nValue))
                return 13;   // would wrap in its 16-bit field and shift every page
        pPage->nAreaLeftPt = static_cast<int16_t>(nMargin[0]);
    }

    nFound = FindTableLine(ModelTablePath(pRcInfo->szPrinterName, "PaperDimension"), pszSize, szLine);
    if (nFound > 0)
        return nFound;
    if (nFound < 0)
        return bAreaListed ? 0 : VnError(7, pszSize);
    long nWidth = 0;
    long nHeight = 0;
    if (sscanf(szLine, "%255s%ld%ld", szWord, &nWidth, &nHeight) < 3 || !FitsInt16(nWidth) ||
        !FitsInt16(nHeight))
        return VnError(14, pszSize);
    pPage->nPaperWidthPt = static_cast<int16_t>(nWidth);
    pPage->nPaperHeightPt = static_cast<int16_t>(nHeight);
    pPage->nAreaBottomPt = static_cast<int16_t>(nHeight - nMargin[1]);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Conversion

int PrepareLPRngPrint(JobSettings* pJob)
{
    const int nStatus = LoadRcFile(pJob->pszRcFile, &g_rcInfo);
    if (nStatus != 0)
        return nStatus;
    return ConvertRc2Pjp(&g_rcInfo, pJob);
}

int ConvertRc2Pjp(RcInfo* pRcInfo, JobSettings* pJob)
{
    const auto InnerValue = [pRcInfo](int nRow) {
        return static_cast<int16_t>(GetPjpInnerValue(nRow, pRcInfo));
    };
    pJob->page.nMediaType = InnerValue(kRowMediaType);
    pJob->page.nPaperSize = InnerValue(kRowPageSize);
    pJob->nInputSlot = InnerValue(kRowInputSlot);
    pJob->page.nResolution = InnerValue(kRowResolution);
    pJob->nCollate = InnerValue(kRowCollate);
    pJob->nColorMode = InnerValue(kRowMonoColor);
    pJob->nColorMatching = InnerValue(kRowColorMatching);
    pJob->nGray = InnerValue(kRowGray);
    pJob->nEnhanceBlack = InnerValue(kRowEnhanceBlkPrt);
    pJob->nTonerSave = InnerValue(kRowTonerSave);
    pJob->nImproveOutput = InnerValue(kRowImproveOutput);
    pJob->nDuplex = InnerValue(kRowDuplex);

    const ParamEntry* pRows = pRcInfo->pParamTable;
    pJob->nCopyCount = pRows[kRowCopies].nValue;
    pJob->nBrightness = pRows[kRowBrightness].nValue;
    pJob->nContrast = pRows[kRowContrast].nValue;
    pJob->nRedKey = pRows[kRowRedKey].nValue;
    pJob->nGreenKey = pRows[kRowGreenKey].nValue;
    pJob->nBlueKey = pRows[kRowBlueKey].nValue;

    int nStatus = ReadPaperInf(pJob->pszPaperInf, PageSizeWord(pRcInfo), &pJob->page);
    if (nStatus != 0)
        return nStatus;
    nStatus = GetImagingArea(&pJob->page, pRcInfo);
    if (nStatus != 0)
        return nStatus;
    pJob->nBytesPerLine = int64_t(3) * pJob->page.nPageWidth;
    return 0;
}
