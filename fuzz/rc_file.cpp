// rc_file: LoadRcFile on arbitrary files, then every query of the settings library on
// the table it left: GetOption and GetKeyValue of each key, GetPjpInnerValue of each row
// with a current choice, GetParamItemValue into buffers of assorted sizes (each exactly
// that large, so the address sanitizer sees any byte written past it), IsItemHit on a
// writable pattern taken from the input, AddConstraint. The process-wide table is put
// back to its first state after every input.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "option.h"
#include "vnfiletool.h"
#include "vnresource.h"

namespace {

struct SettingsSnapshot {
    ParamEntry rows[kParamCount];
    RcInfo rcInfo;
    char* constraints[kMaxConstraints];
};

// Taken in static initialisation; the table itself is constant-initialised.
const SettingsSnapshot kInitialSettings = [] {
    SettingsSnapshot snap{};
    memcpy(snap.rows, tblVnParams, sizeof snap.rows);
    snap.rcInfo = g_rcInfo;
    memcpy(snap.constraints, tblConstraint, sizeof snap.constraints);
    return snap;
}();

void RestoreInitialSettings()
{
    FreeConstraint(&g_rcInfo);
    memcpy(tblVnParams, kInitialSettings.rows, sizeof tblVnParams);
    g_rcInfo = kInitialSettings.rcInfo;
    memcpy(tblConstraint, kInitialSettings.constraints, sizeof tblConstraint);
}

void QueryRow(int nRow, const std::vector<char>& pattern)
{
    const ParamEntry& row = tblVnParams[nRow];
    const char* pszWord = GetKeyValue(row.pszName, &g_rcInfo);
    FUZZ_CHECK(GetOption(row.pszName) == pszWord);
    const int nType = GetParamType(nRow, &g_rcInfo);
    FUZZ_CHECK(nType >= 0 && nType <= 3);
    if (pszWord) {
        // A word is only ever one of the row's own words, its current choice.
        FUZZ_CHECK(row.pCmdItem && row.nIndex >= 0 && row.nIndex < row.nItemCount);
        FUZZ_CHECK(strcmp(pszWord, row.pCmdItem[row.nIndex]) == 0);
    }
    if (row.pInnerVal && row.nIndex >= 0)
        (void)GetPjpInnerValue(nRow, &g_rcInfo);
    for (int nSize : {1, 2, 3, 5, 8, 32}) {
        std::vector<char> buf(size_t(nSize), '\x7f');
        const std::vector<char> untouched = buf;
        const int nResult = GetParamItemValue(nRow, &g_rcInfo, buf.data(), nSize);
        FUZZ_CHECK(nResult == 0 || nResult == -1);
        if (nResult == -1) {
            FUZZ_CHECK(buf == untouched);
            continue;
        }
        const void* pEnd = memchr(buf.data(), '\0', buf.size());
        FUZZ_CHECK(pEnd != nullptr);
        FUZZ_CHECK(strlen(buf.data()) <= size_t(nSize - 2));
        if (nType == 0 || nType == 2)
            FUZZ_CHECK(pszWord && strcmp(buf.data(), pszWord) == 0);
    }
    std::vector<char> writable = pattern;
    (void)IsItemHit(nType, pszWord, writable.data());
    std::vector<char> number(8);
    snprintf(number.data(), number.size(), "%d", row.nValue);
    writable = pattern;
    (void)IsItemHit(nType, number.data(), writable.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static const std::string path = fuzz::PrivateDir() + "/fuzz.rc";
    fuzz::WriteFile(path, pData, nSize);
    const int nResult = LoadRcFile(path.c_str(), &g_rcInfo);
    FUZZ_CHECK(nResult == 0 || nResult == 5);
    FUZZ_CHECK(memchr(g_rcInfo.szPrinterName, '\0', sizeof g_rcInfo.szPrinterName) != nullptr);
    FUZZ_CHECK(g_rcInfo.szReserved[0] == '\0');

    // The pattern for IsItemHit: the input's last line, NUL-terminated.
    const uint8_t* pLast = pData + nSize;
    while (pLast > pData && pLast[-1] != '\n')
        --pLast;
    std::vector<char> pattern(pLast, pData + nSize);
    pattern.push_back('\0');
    for (int nRow = 0; nRow < kParamCount; ++nRow)
        QueryRow(nRow, pattern);
    const int nBefore = g_rcInfo.nConstraintCount;
    AddConstraint(pattern.data(), &g_rcInfo);
    FUZZ_CHECK(g_rcInfo.nConstraintCount >= nBefore && g_rcInfo.nConstraintCount <= kMaxConstraints);
    (void)GetKeyValue(pattern.data(), &g_rcInfo);
    RestoreInitialSettings();
    return 0;
}
