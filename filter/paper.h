// paper: byte reversal of a buffer.
#pragma once

#include <cstdint>

// Reverses the first nCount1 x nCount2 bytes of pBuf in place; a product of 0 or less
// leaves the buffer unchanged.
void ReverseProcess(uint8_t* pBuf, uint16_t nCount1, int16_t nCount2);
