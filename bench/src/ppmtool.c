/* ppmtool: makes and cuts the benchmark's PPM ("P6", 8-bit) page streams.
 *
 *   ppmtool white W H PAGES          all-white pages
 *   ppmtool noise W H PAGES [SEED]   smooth gradients with noise on every sample: the
 *                                    worst case, where neither PackBits nor deflate
 *                                    finds much to remove
 *   ppmtool info                     "PAGES W H" of standard input, after checking every
 *                                    page is P6 with maxval 255 and the same size
 *
 * Streams are written to standard output. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void die(const char* msg) {
    fprintf(stderr, "ppmtool: %s\n", msg);
    exit(1);
}

static void put(const void* p, size_t n) {
    if (fwrite(p, 1, n, stdout) != n) die("write failed");
}

/* Reads one header token (a number), skipping blanks and comments. -1 at a clean end
 * of stream before the magic. */
#include "ppmheader.h"

static void write_header(long w, long h) {
    char b[64];
    int n = snprintf(b, sizeof b, "P6\n%ld %ld\n255\n", w, h);
    put(b, (size_t)n);
}

static long arg(const char* s) {
    char* e;
    errno = 0;
    long v = strtol(s, &e, 10);
    if (errno || *e || v < 0) die("bad number");
    return v;
}

static uint64_t rng;
static inline uint64_t next(void) {   /* xorshift64* */
    rng ^= rng >> 12;
    rng ^= rng << 25;
    rng ^= rng >> 27;
    return rng * 2685821657736338717ULL;
}

int main(int argc, char** argv) {
    if (argc < 2) die("usage: ppmtool white|noise|info ...");
    const char* cmd = argv[1];
    if ((strcmp(cmd, "white") == 0 || strcmp(cmd, "noise") == 0) && (argc == 5 || argc == 6)) {
        long w = arg(argv[2]), h = arg(argv[3]), pages = arg(argv[4]);
        rng = argc == 6 ? (uint64_t)arg(argv[5]) * 0x9E3779B97F4A7C15ULL + 1 : 0x1234567ULL;
        size_t line = (size_t)w * 3;
        unsigned char* buf = malloc(line);
        if (!buf || w <= 0 || h <= 0) die("bad size");
        int noise = strcmp(cmd, "noise") == 0;
        for (long p = 0; p < pages; p++) {
            write_header(w, h);
            for (long y = 0; y < h; y++) {
                if (!noise) {
                    memset(buf, 255, line);
                } else {
                    /* Three gradients that run in different directions per page, each
                     * sample moved by up to +-20 levels of noise. */
                    for (long x = 0; x < w; x++) {
                        uint64_t r = next();
                        int g[3];
                        g[0] = (int)((x * 255) / w);
                        g[1] = (int)((y * 255) / h);
                        g[2] = (int)(((x + y + p * 997) * 255) / (w + h)) % 256;
                        for (int k = 0; k < 3; k++) {
                            int v = g[k] + (int)((r >> (k * 16)) % 41) - 20;
                            buf[x * 3 + k] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
                        }
                    }
                }
                put(buf, line);
            }
        }
        free(buf);
    } else if (strcmp(cmd, "info") == 0 && argc == 2) {
        long w, h, w0 = 0, h0 = 0, n = 0;
        static unsigned char buf[1 << 16];
        while (read_header(stdin, &w, &h)) {
            if (n == 0) { w0 = w; h0 = h; }
            else if (w != w0 || h != h0) die("pages of different sizes");
            size_t left = (size_t)w * (size_t)h * 3;
            while (left) {
                size_t k = left < sizeof buf ? left : sizeof buf;
                if (fread(buf, 1, k, stdin) != k) die("truncated page");
                left -= k;
            }
            n++;
        }
        printf("%ld %ld %ld\n", n, w0, h0);
    } else {
        die("usage: ppmtool white W H PAGES | noise W H PAGES [SEED] | info");
    }
    if (fflush(stdout) != 0) die("write failed");
    return 0;
}
