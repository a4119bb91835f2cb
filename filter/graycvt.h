// graycvt: the gray conversion of a mono job.
#pragma once

#include <cstdint>

// RGB to 8-bit gray, nPixels of them: y = R*0.3 + (B*0.11 + G*0.59), fused, truncated.
void makegray(uint8_t* pGray, const uint8_t* pRgb, int16_t nPixels);
