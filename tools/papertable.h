// papertable: the paper tables as the driver generators read them (the paper-information
// file, a model's PaperDimension and ImagingArea): the numbers after "Word:" on each line,
// by word. Shared by the PPD generator and the printer application.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fileptr.h"

using PaperTable = std::map<std::string, std::vector<int>>;

// Reads the table at path into *pTable: lines of a word ending in ":" and two to four
// whole numbers; other lines (a header, a blank line) are passed over. false when the
// file cannot be opened.
inline bool ReadPaperTable(const std::string& path, PaperTable* pTable)
{
    FilePtr fp(fopen(path.c_str(), "re"));
    if (!fp)
        return false;
    char szLine[1024];
    while (fgets(szLine, sizeof szLine, fp.get())) {
        char szWord[256] = "";
        int n[4] = {};
        const int nGot = sscanf(szLine, "%255s %d %d %d %d", szWord, &n[0], &n[1], &n[2], &n[3]);
        if (nGot < 3)
            continue;
        const std::string word = szWord;
        const int nNumbers = nGot - 1;
        if (word.size() > 1 && word.back() == ':')
            (*pTable)[word.substr(0, word.size() - 1)] = std::vector<int>(n, n + nNumbers);
    }
    return true;
}
