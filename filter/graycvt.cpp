// graycvt: RGB to 8-bit gray with the printer's formula, the same bytes on every machine;
// the vector variant is chosen at run time where the processor has AVX2 and FMA.
#include "graycvt.h"

#include <cmath>
#include <immintrin.h>

// The exact gray formula: t1 = G*0.59 rounded on its own, then two fused multiply-adds,
// y truncated. The build turns floating-point contraction off, so no compiler may fuse or
// split these steps differently; each variant below gives the same bytes on every machine.
static inline uint8_t GrayOf(uint8_t r, uint8_t g, uint8_t b)
{
    const double t1 = double(g) * 0.59;
    const double t2 = std::fma(double(b), 0.11, t1);
    return static_cast<uint8_t>(static_cast<int>(std::fma(double(r), 0.3, t2)));
}

// Without the FMA instruction std::fma is libm's exact software fma.
static void MakeGrayPortable(uint8_t* pGray, const uint8_t* pRgb, int nPixels)
{
    for (int i = 0; i < nPixels; ++i, pRgb += 3)
        pGray[i] = GrayOf(pRgb[0], pRgb[1], pRgb[2]);
}

// The same formula with the FMA instruction, eight pixels at a time in two halves of four
// lanes: vmulpd rounds like the scalar product, vfmadd rounds once like fma, and
// vcvttpd2dq truncates like the conversion to int.
// Four grays from 12 bytes of RGB (16 are read), as 32-bit lanes.
__attribute__((target("avx2,fma"))) static inline __m128i FourGrays(const uint8_t* pRgb)
{
    const __m128i kPickR = _mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
    const __m128i kPickG = _mm_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
    const __m128i kPickB = _mm_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pRgb));
    const __m256d r = _mm256_cvtepi32_pd(_mm_shuffle_epi8(v, kPickR));
    const __m256d g = _mm256_cvtepi32_pd(_mm_shuffle_epi8(v, kPickG));
    const __m256d b = _mm256_cvtepi32_pd(_mm_shuffle_epi8(v, kPickB));
    const __m256d t2 = _mm256_fmadd_pd(b, _mm256_set1_pd(0.11), _mm256_mul_pd(g, _mm256_set1_pd(0.59)));
    return _mm256_cvttpd_epi32(_mm256_fmadd_pd(r, _mm256_set1_pd(0.3), t2));
}

// The same formula with the FMA instruction, eight pixels at a time in two halves of four
// lanes: vmulpd rounds like the scalar product, vfmadd rounds once like fma, and
// vcvttpd2dq truncates like the conversion to int.
__attribute__((target("avx2,fma"))) static void MakeGrayAvx2(uint8_t* pGray, const uint8_t* pRgb, int nPixels)
{
    const __m128i kOnes = _mm_set1_epi8(-1);
    const __m128i kHighOnes = _mm_set_epi64x(-1, 0);
    int i = 0;
    for (; i + 10 <= nPixels; i += 8) {   // the second load reads into pixel i+9
        // Eight white pixels, the commonest run on paper, are white in gray too.
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pRgb + 3 * i));
        const __m128i rest = _mm_or_si128(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pRgb + 3 * i + 16)), kHighOnes);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(first, rest), kOnes)) == 0xFFFF) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(pGray + i), kOnes);
            continue;
        }
        const __m128i words = _mm_packus_epi32(FourGrays(pRgb + 3 * i), FourGrays(pRgb + 3 * i + 12));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pGray + i), _mm_packus_epi16(words, words));
    }
    for (; i < nPixels; ++i)
        pGray[i] = GrayOf(pRgb[3 * i], pRgb[3 * i + 1], pRgb[3 * i + 2]);
}

using MakeGrayFn = void (*)(uint8_t*, const uint8_t*, int);

static MakeGrayFn ChooseMakeGray()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return MakeGrayAvx2;
    return MakeGrayPortable;
}

void makegray(uint8_t* pGray, const uint8_t* pRgb, int16_t nPixels)
{
    static const MakeGrayFn pfnMakeGray = ChooseMakeGray();
    if (nPixels > 0)
        pfnMakeGray(pGray, pRgb, nPixels);
}
