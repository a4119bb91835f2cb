// paper_CL: the paper-code tables and their lookup by dimensions. paperArray is never
// filled, so the lookup answers 256 in every job.
#include "paper_CL.h"

#include <cstring>

const PaperNameEntry paperName[kPaperNameCount] = {
    {1, "Letter"},        {5, "Legal"},          {7, "Executive"},      {9, "A4"},
    {11, "A5"},           {61, "PRA5Rotated"},   {70, "A6"},            {35, "ISOB6"},
    {69, "JISB6"},        {13, "JISB5"},         {34, "ISOB5"},         {27, "EnvDL"},
    {28, "EnvC5"},        {20, "Env10"},         {37, "EnvMonarch"},    {257, "2.75x5"},
    {258, "3.75x6.75"},   {259, "Statement"},    {261, "Vn3x5"},        {262, "21x40.5cm"},
    {14, "FanFoldGermanLegal"}, {263, "EnvPRC5Rotated"}, {43, "Postcard"}, {91, "EnvYou4"},
    {73, "EnvChou3"},     {74, "210x270mm"},     {75, "197x273mm"},     {76, "184x260mm"},
    {77, "195x270mm"},    {3, "Tabloid"},        {52, "TabloidExtra"},  {8, "A3"},
    {58, "SuperB"},       {257, "VnOrgJ"},       {258, "VnOrgK"},       {261, "Vn3x5"},
    {262, "VnA4Long"},
};

PaperArrayEntry paperArray[kPaperArrayCount] = {};

constexpr int16_t kNoPaperCode = 256;

int16_t checkSendCUPSPaper(int16_t nWidth, int16_t nHeight)
{
    for (int i = 0; i < kPaperNameCount && paperArray[i].szName[0] != '\0'; ++i) {
        const PaperArrayEntry& entry = paperArray[i];
        if (entry.nWidth != nWidth || entry.nHeight != nHeight)
            continue;
        for (const PaperNameEntry& name : paperName)
            if (strncmp(name.szName, entry.szName, sizeof entry.szName) == 0)
                return name.nCode;
    }
    return kNoPaperCode;
}
