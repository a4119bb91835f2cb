// printerout: the printer connection. Keeps one buffer of bytes queued for standard
// output and hands it to the descriptor whole, resuming interrupted and partial writes,
// so a signal never loses or reorders printer data. The PJL writer, the gzip stream and
// the cancellation padding write through it.
#include "printerout.h"

#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "tempfile.h"

constexpr size_t kStageBytes = size_t(1) << 16;
static uint8_t outStage[kStageBytes];   // bytes queued for standard output
static size_t nStaged = 0;              // bytes queued in outStage
static bool bOutputBroken = false;      // a write, or a step producing printer data, failed

static bool FlushStage()
{
    if (nStaged == 0 || bOutputBroken)
        return !bOutputBroken;
    if (!WriteAll(STDOUT_FILENO, outStage, nStaged))
        bOutputBroken = true;
    nStaged = 0;
    return !bOutputBroken;
}

int pswrite(const void* pData, size_t nLength)
{
    if (nLength == 0)
        return 1;
    if (bOutputBroken)
        return 0;
    if (nStaged + nLength > kStageBytes && !FlushStage())
        return 0;
    if (nLength >= kStageBytes) {
        if (!WriteAll(STDOUT_FILENO, static_cast<const uint8_t*>(pData), nLength))
            bOutputBroken = true;
        return bOutputBroken ? 0 : 1;
    }
    memcpy(outStage + nStaged, pData, nLength);
    nStaged += nLength;
    return 1;
}

int psflush()
{
    return FlushStage() ? 1 : 0;
}

bool IsOutputBroken()
{
    return bOutputBroken;
}

void MarkOutputBroken()
{
    bOutputBroken = true;
}
