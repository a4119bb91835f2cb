/* jobdoc: takes the PWG raster document out of a finished printer job.
 *
 *   jobdoc JOB DOC
 *   jobdoc --gz GZ DOC
 *
 * The job is a PJL header ending with the line "@PJL ENTER LANGUAGE=PWGRASTER\n", one
 * gzip stream, then the PJL trailer. The stream is inflated into DOC, and one line goes
 * to standard output:
 *
 *   HEADER_BYTES STREAM_BYTES TRAILER_BYTES DOC_BYTES PAGES
 *
 * PAGES counts the page headers ("PwgRaster" at the start of each 1796-byte header)
 * met while walking the document's PackBits lines. With --gz, GZ is a bare gzip stream
 * of a PWG raster document (the peer's output): HEADER_BYTES and TRAILER_BYTES are 0. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

static void die(const char* msg) {
    fprintf(stderr, "jobdoc: %s\n", msg);
    exit(1);
}

static unsigned char* slurp(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (!f) { fprintf(stderr, "jobdoc: %s: %s\n", path, strerror(errno)); exit(1); }
    size_t cap = 1 << 20, n = 0;
    unsigned char* b = malloc(cap);
    for (;;) {
        if (!b) die("out of memory");
        n += fread(b + n, 1, cap - n, f);
        if (n < cap) break;
        cap *= 2;
        b = realloc(b, cap);
    }
    if (ferror(f)) die("read failed");
    fclose(f);
    *size = n;
    return b;
}

static uint32_t be32(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* Counts the pages of a PWG raster document, walking every line record. */
static long count_pages(const unsigned char* d, size_t n) {
    if (n < 4 || memcmp(d, "RaS2", 4) != 0) die("document does not start with RaS2");
    size_t at = 4;
    long pages = 0;
    while (at < n) {
        if (n - at < 1796 || memcmp(d + at, "PwgRaster", 10) != 0) die("bad page header");
        const unsigned char* h = d + at;
        uint32_t width = be32(h + 372), height = be32(h + 376), bpp = be32(h + 388);
        uint32_t bpl = be32(h + 392);
        size_t px = bpp / 8;
        if (px == 0 || (size_t)width * px != bpl) die("bad page geometry");
        at += 1796;
        uint32_t y = 0;
        while (y < height) {
            if (at >= n) die("document ends inside a page");
            y += (uint32_t)d[at++] + 1;   /* line repeat count */
            size_t x = 0;
            while (x < width) {
                if (at >= n) die("document ends inside a line");
                unsigned c = d[at++];
                if (c < 128) { at += px; x += c + 1; }              /* repeat run */
                else { at += px * (257 - c); x += 257 - c; }        /* literal run */
            }
            if (x != width) die("line runs past its width");
        }
        if (at > n) die("document ends inside a page");
        pages++;
    }
    return pages;
}

int main(int argc, char** argv) {
    int bare = argc == 4 && strcmp(argv[1], "--gz") == 0;
    if (argc != 3 && !bare) die("usage: jobdoc JOB DOC | jobdoc --gz GZ DOC");
    const char* docpath = argv[argc - 1];
    size_t n;
    unsigned char* job = slurp(argv[argc - 2], &n);
    size_t head = 0;
    if (!bare) {
        static const char mark[] = "@PJL ENTER LANGUAGE=PWGRASTER\n";
        unsigned char* m = memmem(job, n, mark, sizeof mark - 1);
        if (!m) die("no \"@PJL ENTER LANGUAGE=PWGRASTER\" line");
        head = (size_t)(m - job) + sizeof mark - 1;
    }

    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, 31) != Z_OK) die("inflateInit2 failed");
    size_t cap = 1 << 24, out = 0;
    unsigned char* doc = malloc(cap);
    if (!doc) die("out of memory");
    if (n - head > 0xffffffffu) die("job too large");
    z.next_in = job + head;
    z.avail_in = (uInt)(n - head);
    int r;
    do {
        if (out == cap) {
            cap *= 2;
            doc = realloc(doc, cap);
            if (!doc) die("out of memory");
        }
        size_t room = cap - out;
        z.next_out = doc + out;
        z.avail_out = room > 0x40000000u ? 0x40000000u : (uInt)room;
        uInt before = z.avail_out;
        r = inflate(&z, Z_NO_FLUSH);
        out += before - z.avail_out;
        if (r != Z_OK && r != Z_STREAM_END && !(r == Z_BUF_ERROR && z.avail_out == 0)) {
            fprintf(stderr, "jobdoc: inflate: %s\n", z.msg ? z.msg : "error");
            return 1;
        }
        if (r == Z_BUF_ERROR && z.avail_in == 0) die("gzip stream is cut short");
    } while (r != Z_STREAM_END);
    size_t stream = (size_t)(z.next_in - (job + head));
    inflateEnd(&z);

    FILE* f = fopen(docpath, "wb");
    if (!f || fwrite(doc, 1, out, f) != out || fclose(f) != 0) die("cannot write the document");
    long pages = count_pages(doc, out);
    printf("%zu %zu %zu %zu %ld\n", head, stream, n - head - stream, out, pages);
    return 0;
}
