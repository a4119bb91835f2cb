/*
 * ppmheader.h: reading the header of a binary PPM page, shared by the benchmark's
 * helpers. The including file defines die(const char*) first.
 */
#ifndef BENCH_PPMHEADER_H
#define BENCH_PPMHEADER_H

#include <stdio.h>

static long header_number(FILE* f) {
    int c;
    for (;;) {
        c = getc(f);
        if (c == '#') {
            while (c != '\n' && c != EOF) c = getc(f);
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        break;
    }
    if (c < '0' || c > '9') die("bad PPM header");
    long v = 0;
    while (c >= '0' && c <= '9') {
        v = v * 10 + (c - '0');
        if (v > 1000000) die("PPM size too large");
        c = getc(f);
    }
    /* exactly one blank ends the last field; harmless for the others */
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') die("bad PPM header");
    return v;
}

/* Reads the next page header; 0 at end of stream. */
static int read_header(FILE* f, long* w, long* h) {
    int c;
    do c = getc(f); while (c == '\n' || c == ' ' || c == '\t' || c == '\r');
    if (c == EOF) return 0;
    if (c != 'P' || getc(f) != '6') die("not a P6 page");
    *w = header_number(f);
    *h = header_number(f);
    if (header_number(f) != 255) die("maxval is not 255");
    if (*w <= 0 || *h <= 0) die("empty page");
    return 1;
}

#endif
