// gzipstream: the job's gzip stream. The staged files are joined into one continuous
// input without any flush point until the job ends. zlib's output depends only on the
// bytes and on where the stream is finished, never on how the input is cut into calls,
// so each file is handed over in large pieces as it is read; compressed bytes reach the
// printer connection as the output buffer fills.
#include "gzipstream.h"

#include <cstdint>
#include <cstdio>
#include <unistd.h>
#include <zlib.h>

#include "debugtool.h"
#include "printerout.h"

constexpr size_t kInBytes = 64 * 1024;       // input read from a staged file at a time
constexpr size_t kOutBytes = 64 * 1024;      // compressed bytes written at a time
constexpr size_t kStagedBufferBytes = size_t(1) << 18;   // stdio buffer of a staged file
constexpr int kGzipWindowBits = 15 + 16;     // a 32 KiB window with the gzip wrapper
constexpr int kMemLevel = 8;

static z_stream z;                   // the deflate state of the job
static bool bStreamOpen = false;     // deflateInit2 succeeded and deflateEnd has not run
static uint8_t inbuf[kInBytes];      // input being handed to zlib
static uint8_t outbuf[kOutBytes];    // compressed output, written when full

static void MarkCompressionFailed(const char* pszWhat)
{
    Debug_printf("%s: %s\n", pszWhat, z.msg ? z.msg : "???");
    MarkOutputBroken();
}

static bool WriteOut(size_t nBytes)
{
    if (nBytes == 0 || pswrite(outbuf, nBytes))
        return true;
    Debug_printf("Write error\n");
    return false;
}

// Runs deflate over what z holds with nFlush (Z_NO_FLUSH until every input byte is
// taken, Z_FINISH until the stream ends), writing the output whenever outbuf is full.
// False when zlib or a write failed.
static bool Deflate(int nFlush)
{
    for (;;) {
        const int nResult = deflate(&z, nFlush);
        if (nResult == Z_STREAM_END)
            return WriteOut(kOutBytes - z.avail_out);
        if (nResult != Z_OK && nResult != Z_BUF_ERROR) {
            MarkCompressionFailed("deflate");
            return false;
        }
        if (z.avail_out == 0) {
            if (!WriteOut(kOutBytes))
                return false;
            z.next_out = outbuf;
            z.avail_out = kOutBytes;
        } else if (z.avail_in == 0 && nFlush == Z_NO_FLUSH) {
            return true;
        }
    }
}

void do_compress_init()
{
    z = z_stream{};   // zlib's default allocator
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
        MarkCompressionFailed("deflateInit");
        return;
    }
    bStreamOpen = true;
    z.next_out = outbuf;
    z.avail_out = kOutBytes;
}

void FeedBytes(const void* pData, size_t nLength)
{
    if (!bStreamOpen || nLength == 0)
        return;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(pData));
    z.avail_in = static_cast<uInt>(nLength);
    Deflate(Z_NO_FLUSH);
}

// Feeds the whole of ffsrc; a read error loses page data and breaks the job.
static void do_compress(FILE* ffsrc)
{
    size_t nRead;
    while (!IsOutputBroken() && (nRead = fread(inbuf, 1, kInBytes, ffsrc)) > 0)
        FeedBytes(inbuf, nRead);
    if (ferror(ffsrc))
        MarkOutputBroken();
}

void FeedStagedFile(int fdStaged)
{
    FILE* ffsrc = lseek(fdStaged, 0, SEEK_SET) == 0 ? fdopen(fdStaged, "rb") : nullptr;
    if (!ffsrc) {
        close(fdStaged);
        MarkOutputBroken();
        return;
    }
    setvbuf(ffsrc, nullptr, _IOFBF, kStagedBufferBytes);
    do_compress(ffsrc);
    fclose(ffsrc);
}

void do_compress_finish()
{
    if (!bStreamOpen)
        return;
    bStreamOpen = false;
    z.next_in = nullptr;
    z.avail_in = 0;
    Deflate(Z_FINISH);
    if (deflateEnd(&z) != Z_OK && z.msg)
        Debug_printf("deflateEnd: %s\n", z.msg);
}
