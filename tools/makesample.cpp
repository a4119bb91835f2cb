// makesample: writes sample pages as a PPM stream to standard output, for the demo and the
// benchmark: a colour chart, a text-like page of dark strokes on white, and a photo-like
// page of smooth colour with grain. The pages repeat in that order.
//
//   makesample [--width W] [--height H] [--pages N]     (default A4 at 600 dpi, 3 pages)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct PageSize {
    int nWidth = 4961;
    int nHeight = 7016;
};

void PaintChart(const PageSize& size, int y, uint8_t* pRow)
{
    const int nBand = y * 8 / size.nHeight;   // eight bands of colour ramps and patches
    for (int x = 0; x < size.nWidth; ++x) {
        uint8_t* p = pRow + 3 * x;
        const uint8_t ramp = uint8_t(x * 255 / (size.nWidth > 1 ? size.nWidth - 1 : 1));
        switch (nBand) {
        case 0: p[0] = ramp; p[1] = 0; p[2] = 0; break;
        case 1: p[0] = 0; p[1] = ramp; p[2] = 0; break;
        case 2: p[0] = 0; p[1] = 0; p[2] = ramp; break;
        case 3: p[0] = p[1] = p[2] = ramp; break;
        default: {
            const int nPatch = (x * 6 / size.nWidth) + 6 * (nBand - 4);
            static const uint8_t tblPatch[][3] = {{0, 174, 239}, {236, 0, 140}, {255, 242, 0}, {35, 31, 32},
                                                  {255, 255, 255}, {237, 28, 36}, {0, 166, 81}, {46, 49, 146}};
            memcpy(p, tblPatch[nPatch % 8], 3);
        }
        }
    }
}

void PaintText(const PageSize& size, int y, uint8_t* pRow)
{
    memset(pRow, 0xFF, size_t(size.nWidth) * 3);
    const int nMargin = size.nWidth / 10;
    const int nLinePitch = 100;                 // 6 lines an inch at 600 dpi
    const int yInLine = y % nLinePitch;
    if (y < size.nHeight / 12 || y > size.nHeight * 11 / 12 || yInLine < 30 || yInLine > 75)
        return;
    const unsigned nLine = unsigned(y / nLinePitch);
    for (int x = nMargin; x < size.nWidth - nMargin; ++x) {
        const unsigned nGlyph = unsigned(x / 40) * 2654435761u ^ nLine * 40503u;
        if (nGlyph % 7 == 0)
            continue;   // a space between words
        const int xInGlyph = x % 40;
        const bool bStem = xInGlyph >= 8 && xInGlyph < 14;
        const bool bBar = (nGlyph % 3 == 0) && (yInLine == 50 || yInLine == 51 || yInLine == 52) && xInGlyph < 30;
        if (bStem || bBar)
            memset(pRow + 3 * x, 20, 3);
    }
}

void PaintPhoto(const PageSize& size, int y, uint8_t* pRow, uint32_t* pSeed)
{
    for (int x = 0; x < size.nWidth; ++x) {
        *pSeed = *pSeed * 1664525u + 1013904223u;
        const int nGrain = int(*pSeed >> 29) - 4;
        const int r = 40 + 180 * x / size.nWidth + nGrain;
        const int g = 60 + 150 * y / size.nHeight + nGrain;
        const int b = 200 - 120 * (x + y) / (size.nWidth + size.nHeight) + nGrain;
        uint8_t* p = pRow + 3 * x;
        p[0] = uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
        p[1] = uint8_t(g < 0 ? 0 : g > 255 ? 255 : g);
        p[2] = uint8_t(b < 0 ? 0 : b > 255 ? 255 : b);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    PageSize size;
    int nPages = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const int nValue = atoi(argv[i + 1]);
        if (option == "--width")
            size.nWidth = nValue;
        else if (option == "--height")
            size.nHeight = nValue;
        else if (option == "--pages")
            nPages = nValue;
    }
    if (size.nWidth <= 0 || size.nHeight <= 0 || nPages < 0) {
        fputs("usage: makesample [--width W] [--height H] [--pages N]\n", stderr);
        return 2;
    }
    std::vector<uint8_t> row(size_t(size.nWidth) * 3);
    uint32_t nSeed = 12345;
    for (int nPage = 0; nPage < nPages; ++nPage) {
        printf("P6\n%d %d\n255\n", size.nWidth, size.nHeight);
        for (int y = 0; y < size.nHeight; ++y) {
            switch (nPage % 3) {
            case 0: PaintChart(size, y, row.data()); break;
            case 1: PaintText(size, y, row.data()); break;
            default: PaintPhoto(size, y, row.data(), &nSeed); break;
            }
            if (fwrite(row.data(), 1, row.size(), stdout) != row.size())
                return 1;
        }
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
