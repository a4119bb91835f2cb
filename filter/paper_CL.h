// paper_CL: the paper-code tables and their lookup by dimensions.
#pragma once

#include <cstdint>

struct PaperNameEntry {
    int16_t nCode;
    char szName[64];
};
struct PaperArrayEntry {
    char szName[64];
    int16_t nWidth;
    int16_t nHeight;
};

constexpr int kPaperNameCount = 37;
constexpr int kPaperArrayCount = 64;
extern const PaperNameEntry paperName[kPaperNameCount];
extern PaperArrayEntry paperArray[kPaperArrayCount];   // empty in every job

// Code of the paper whose paperArray entry holds these dimensions; 256 when none does.
int16_t checkSendCUPSPaper(int16_t nWidth, int16_t nHeight);
