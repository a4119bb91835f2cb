// paper_files: the paper-information file and the model's ImagingArea and PaperDimension
// tables, with arbitrary contents, through GetPaperInf and GetImagingArea. The input's
// first byte chooses the PageSize word; the rest is the three files in that order, split
// at the two-byte separator "\xff\x00" (a missing part is an empty file). The tables
// stand in $VELNORA_ROOT/FuzzModel/bin/inf/ under the private folder. VnError reports on
// standard error: run.sh and smoke.sh pass -close_fd_mask=2, which keeps libFuzzer's own
// output and the sanitizers' reports.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "jobrecords.h"
#include "jobsettings.h"
#include "vnresource.h"

namespace {

constexpr char kModel[] = "FuzzModel";
constexpr uint8_t kSeparator[2] = {0xff, 0x00};

struct Paths {
    std::string paperInf, imagingArea, paperDimension;
};

const Paths& PathsOnce()
{
    static const Paths paths = [] {
        const std::string& dir = fuzz::PrivateDir();
        const std::string inf = dir + "/" + kModel + "/bin/inf";
        std::filesystem::create_directories(inf);
        setenv("VELNORA_ROOT", dir.c_str(), 1);
        return Paths{dir + "/paperinfo", inf + "/ImagingArea", inf + "/PaperDimension"};
    }();
    return paths;
}

// The next part of the input up to the separator (or the end); advances past it.
std::string NextPart(const uint8_t** ppData, const uint8_t* pEnd)
{
    const uint8_t* p = *ppData;
    const uint8_t* q = p;
    while (q < pEnd && !(q + 1 < pEnd && q[0] == kSeparator[0] && q[1] == kSeparator[1]))
        ++q;
    std::string part(p, q);
    *ppData = q < pEnd ? q + 2 : pEnd;
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return 0;
    const Paths& paths = PathsOnce();
    ParamEntry& sizeRow = tblVnParams[kRowPageSize];
    const RcInfo savedInfo = g_rcInfo;
    const int16_t nSavedIndex = sizeRow.nIndex;
    sizeRow.nIndex = int16_t(pData[0] % (sizeRow.nItemCount + 1)) - 1;   // -1: no word
    snprintf(g_rcInfo.szPrinterName, sizeof g_rcInfo.szPrinterName, "%s", kModel);

    const uint8_t* p = pData + 1;
    const uint8_t* pEnd = pData + nSize;
    fuzz::WriteFile(paths.paperInf, NextPart(&p, pEnd));
    fuzz::WriteFile(paths.imagingArea, NextPart(&p, pEnd));
    fuzz::WriteFile(paths.paperDimension, std::string(p, pEnd));

    PageSetup page{};
    const int nPaper = GetPaperInf(paths.paperInf.c_str(), &page);
    FUZZ_CHECK(nPaper == 0 || nPaper == 6 || nPaper == 7);
    if (nPaper == 0)
        FUZZ_CHECK(page.nPageWidth >= 0 && page.nPageHeight >= 0);
    const int nArea = GetImagingArea(&page, &g_rcInfo);
    FUZZ_CHECK(nArea == 0 || nArea == 7 || nArea == 13 || nArea == 14);

    sizeRow.nIndex = nSavedIndex;
    g_rcInfo = savedInfo;
    return 0;
}
