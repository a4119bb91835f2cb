/* zfloor: what the job's compression costs at least: one gzip stream over a PWG raster
 * document with the job's zlib setting (level -1, window bits 31, memory level 8,
 * default strategy), the input fed in 1024-byte blocks with Z_NO_FLUSH, then Z_FINISH.
 *
 *   zfloor DOC OUT
 *
 * DOC is read whole into memory first; only the compression and the writing of its
 * output to OUT are timed. One line goes to standard output:
 *
 *   WALL USER SYS STREAM_BYTES
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

static void die(const char* msg) {
    fprintf(stderr, "zfloor: %s\n", msg);
    exit(1);
}

static void write_all(int fd, const unsigned char* p, size_t n) {
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) die("write failed");
        p += w;
        n -= (size_t)w;
    }
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void cpu(double* user, double* sys) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    *user = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6;
    *sys = (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
}

int main(int argc, char** argv) {
    if (argc != 3) die("usage: zfloor DOC OUT");
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) die("cannot open the document");
    size_t n = (size_t)st.st_size, got = 0;
    unsigned char* doc = malloc(n ? n : 1);
    if (!doc) die("out of memory");
    while (got < n) {
        ssize_t r = read(fd, doc + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) die("read failed");
        got += (size_t)r;
    }
    close(fd);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) die("cannot open the output");

    static unsigned char obuf[1 << 16];
    double w0 = now(), u0, s0, u1, s1;
    cpu(&u0, &s0);
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        die("deflateInit2 failed");
    unsigned long long total = 0;
    size_t at = 0;
    int flush;
    do {
        size_t k = n - at < 1024 ? n - at : 1024;
        z.next_in = doc + at;
        z.avail_in = (uInt)k;
        at += k;
        flush = at == n ? Z_FINISH : Z_NO_FLUSH;
        int r;
        do {
            z.next_out = obuf;
            z.avail_out = sizeof obuf;
            r = deflate(&z, flush);
            if (r == Z_STREAM_ERROR) die("deflate failed");
            size_t have = sizeof obuf - z.avail_out;
            write_all(out, obuf, have);
            total += have;
        } while (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    if (close(out) != 0) die("write failed");
    cpu(&u1, &s1);
    double w1 = now();
    printf("%.6f %.6f %.6f %llu\n", w1 - w0, u1 - u0, s1 - s0, total);
    free(doc);
    return 0;
}
