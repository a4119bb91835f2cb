/* peer_pwg: the peer a user could assemble from well-known parts: PPM pages ("P6",
 * 8-bit) on standard input, written as a PWG raster document by libcups's raster writer
 * (cupsRasterOpen with CUPS_RASTER_WRITE_PWG) on standard output, to be piped through
 * `gzip -6`.
 *
 *   peer_pwg [--gray]
 *
 * Pages are 600 dpi, 8 bits per colour: 24-bit sRGB, or with --gray 8-bit sGray made
 * with the weights 0.3, 0.59, 0.11 (rounded to nearest). The page size is the input's;
 * the media is A4. */
#include <cups/cups.h>
#include <cups/raster.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void die(const char* msg) {
    fprintf(stderr, "peer_pwg: %s\n", msg);
    exit(1);
}

#include "ppmheader.h"

int main(int argc, char** argv) {
    int gray = argc == 2 && strcmp(argv[1], "--gray") == 0;
    if (argc > 2 || (argc == 2 && !gray)) die("usage: peer_pwg [--gray] < PPM > PWG");

    static char inbuf[1 << 20];
    setvbuf(stdin, inbuf, _IOFBF, sizeof inbuf);
    cups_raster_t* ras = cupsRasterOpen(1, CUPS_RASTER_WRITE_PWG);
    if (!ras) die("cupsRasterOpen failed");
    pwg_media_t* a4 = pwgMediaForPWG("iso_a4_210x297mm");
    if (!a4) die("no A4 media");

    long w, h, pages = 0;
    unsigned char *rgb = NULL, *line = NULL;
    while (read_header(stdin, &w, &h)) {
        cups_page_header2_t hdr;
        if (!cupsRasterInitPWGHeader(&hdr, a4, gray ? "sgray_8" : "srgb_8", 600, 600,
                                     "one-sided", NULL))
            die("cupsRasterInitPWGHeader failed");
        hdr.cupsWidth = (unsigned)w;
        hdr.cupsHeight = (unsigned)h;
        hdr.cupsBytesPerLine = (unsigned)(gray ? w : w * 3);
        if (!cupsRasterWriteHeader2(ras, &hdr)) die("cupsRasterWriteHeader2 failed");
        if (!rgb) {
            rgb = malloc((size_t)w * 3);
            line = malloc((size_t)w * 3);
            if (!rgb || !line) die("out of memory");
        }
        for (long y = 0; y < h; y++) {
            if (fread(rgb, 1, (size_t)w * 3, stdin) != (size_t)w * 3) die("truncated page");
            unsigned char* out = rgb;
            if (gray) {
                for (long x = 0; x < w; x++) {
                    const unsigned char* p = rgb + x * 3;
                    line[x] = (unsigned char)((30u * p[0] + 59u * p[1] + 11u * p[2] + 50u) / 100u);
                }
                out = line;
            }
            if (cupsRasterWritePixels(ras, out, hdr.cupsBytesPerLine) != hdr.cupsBytesPerLine)
                die("cupsRasterWritePixels failed");
        }
        pages++;
        free(rgb);   /* the next page may have another size */
        free(line);
        rgb = line = NULL;
    }
    cupsRasterClose(ras);
    if (pages == 0) die("no pages");
    return 0;
}
