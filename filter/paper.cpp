// paper: byte reversal of a buffer. Nothing in a print job calls it; the reversal is
// made in place, so it needs no temporary copy and cannot fail.
#include "paper.h"

#include <algorithm>

void ReverseProcess(uint8_t* pBuf, uint16_t nCount1, int16_t nCount2)
{
    const int32_t nBytes = int32_t(nCount1) * int32_t(nCount2);
    if (nBytes <= 0 || !pBuf)
        return;
    std::reverse(pBuf, pBuf + nBytes);
}
