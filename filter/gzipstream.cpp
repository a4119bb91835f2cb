// gzipstream: the job's gzip stream. The staged files are joined into one continuous
// input without any flush point until the job ends. zlib's output depends only on the
// bytes and on where the stream is finished, never on how the input is cut into calls,
// so each file is handed over in large pieces as it is read; compressed bytes reach the
// printer connection as the output buffer fills.
//
// With a second processor, a staged file is compressed by a worker thread while the page
// loop reads and encodes the next page. The worker only compresses: its output waits in
// a bounded queue, and the page loop's thread writes it to the printer at its own points
// (the end of a page, the next page's beginning, the cancellation's padding, the end of
// the job), so every write to the printer, and its cancellation, stays where it was, and
// the bytes are the same. On one processor the compression runs in line.
#include "gzipstream.h"

#include <pthread.h>
#include <sched.h>
#include <csignal>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
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

// The worker and what it hands to the page loop.
struct DeflateWorker {
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    int fdPending = -1;                     // a staged file handed over, not yet taken
    bool bBusy = false;                     // a file is being compressed
    bool bStop = false;                     // the stream is ending: no more files
    std::deque<std::vector<uint8_t>> out;   // compressed bytes not yet written
    size_t nOutBytes = 0;                   // their size
    std::atomic<bool> bAbandon{false};      // the printer takes no more: stop compressing
    std::string failure;                    // a compression or read failure, for the log
};

constexpr size_t kMaxQueuedBytes = size_t(8) << 20;   // compressed bytes the worker may run ahead
static DeflateWorker* pWorker = nullptr;    // null: compression runs in line
static thread_local bool bOnWorker = false; // this thread is the worker

static void RunWorker();
static void WriteCompressed(bool bAll);
static bool HasSecondProcessor();

// Notes a failure of the worker for the page loop, which logs it and breaks the job.
static void NoteWorkerFailure(const std::string& what)
{
    std::lock_guard<std::mutex> guard(pWorker->lock);
    if (pWorker->failure.empty())
        pWorker->failure = what;
    pWorker->bAbandon = true;
}

static void MarkCompressionFailed(const char* pszWhat)
{
    const std::string what = std::string(pszWhat) + ": " + (z.msg ? z.msg : "???");
    if (bOnWorker) {
        NoteWorkerFailure(what);
        return;
    }
    Debug_printf("%s\n", what.c_str());
    MarkOutputBroken();
}

// The worker's compressed bytes wait for the page loop; false once they are not wanted.
static bool Enqueue(const uint8_t* pData, size_t nBytes)
{
    std::unique_lock<std::mutex> guard(pWorker->lock);
    pWorker->changed.wait(guard, [] { return pWorker->nOutBytes < kMaxQueuedBytes || pWorker->bAbandon; });
    if (pWorker->bAbandon)
        return false;
    pWorker->out.emplace_back(pData, pData + nBytes);
    pWorker->nOutBytes += nBytes;
    pWorker->changed.notify_all();
    return true;
}

static bool WriteOut(size_t nBytes)
{
    if (nBytes == 0)
        return true;
    if (bOnWorker)
        return Enqueue(outbuf, nBytes);
    if (pswrite(outbuf, nBytes))
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
    if (!pWorker && HasSecondProcessor()) {
        pWorker = new DeflateWorker;
        pWorker->thread = std::thread(RunWorker);
    }
}

// Ends the worker once every file handed over is compressed and written.
static void StopWorker()
{
    if (!pWorker)
        return;
    WriteCompressed(true);
    {
        std::lock_guard<std::mutex> guard(pWorker->lock);
        pWorker->bStop = true;
        pWorker->changed.notify_all();
    }
    pWorker->thread.join();
    WriteCompressed(true);   // a failure noted at the very end
    delete pWorker;
    pWorker = nullptr;
}

void FeedBytes(const void* pData, size_t nLength)
{
    if (!bStreamOpen || nLength == 0)
        return;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(pData));
    z.avail_in = static_cast<uInt>(nLength);
    Deflate(Z_NO_FLUSH);
}

// True once more compressed data is pointless: the printer connection is broken (the
// page loop's view) or the worker was told to stop.
static bool Abandoned()
{
    return bOnWorker ? pWorker->bAbandon.load() : IsOutputBroken();
}

// A staged file lost page data: the job is broken.
static void StagedFileFailed()
{
    if (bOnWorker)
        NoteWorkerFailure("the staged page could not be read");
    else
        MarkOutputBroken();
}

// Feeds the whole of ffsrc; a read error loses page data and breaks the job.
static void do_compress(FILE* ffsrc)
{
    size_t nRead;
    while (!Abandoned() && (nRead = fread(inbuf, 1, kInBytes, ffsrc)) > 0)
        FeedBytes(inbuf, nRead);
    if (ferror(ffsrc))
        StagedFileFailed();
}

// Compresses the staged file behind fdStaged from its first byte, then closes it.
static void CompressStagedFile(int fdStaged)
{
    FILE* ffsrc = lseek(fdStaged, 0, SEEK_SET) == 0 ? fdopen(fdStaged, "rb") : nullptr;
    if (!ffsrc) {
        close(fdStaged);
        StagedFileFailed();
        return;
    }
    setvbuf(ffsrc, nullptr, _IOFBF, kStagedBufferBytes);
    do_compress(ffsrc);
    fclose(ffsrc);
}

static void RunWorker()
{
    bOnWorker = true;
    // Signals are the page loop's: a cancel must interrupt its reads and writes, never
    // land on this thread.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> guard(pWorker->lock);
    for (;;) {
        pWorker->changed.wait(guard, [] { return pWorker->fdPending >= 0 || pWorker->bStop; });
        if (pWorker->fdPending < 0)
            return;
        const int fd = pWorker->fdPending;
        pWorker->fdPending = -1;
        pWorker->bBusy = true;
        guard.unlock();
        CompressStagedFile(fd);
        guard.lock();
        pWorker->bBusy = false;
        pWorker->changed.notify_all();
    }
}

// Writes the worker's output to the printer, on the page loop's thread: what is ready
// (bAll false), or everything up to the end of the files handed over.
static void WriteCompressed(bool bAll)
{
    if (!pWorker)
        return;
    std::unique_lock<std::mutex> guard(pWorker->lock);
    for (;;) {
        if (!pWorker->out.empty()) {
            std::vector<uint8_t> chunk = std::move(pWorker->out.front());
            pWorker->out.pop_front();
            pWorker->nOutBytes -= chunk.size();
            pWorker->changed.notify_all();
            guard.unlock();
            if (!pswrite(chunk.data(), chunk.size()) || IsOutputBroken())
                pWorker->bAbandon = true;   // the printer takes no more: stop compressing
            guard.lock();
            continue;
        }
        if (!bAll || (!pWorker->bBusy && pWorker->fdPending < 0))
            break;
        pWorker->changed.wait(guard);
    }
    if (!pWorker->failure.empty() && !pWorker->bBusy) {
        Debug_printf("%s\n", pWorker->failure.c_str());
        pWorker->failure.clear();
        MarkOutputBroken();
    }
}

// True when the process may run on more than one processor.
static bool HasSecondProcessor()
{
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1;
}

void FeedStagedFile(int fdStaged)
{
    if (!pWorker) {
        CompressStagedFile(fdStaged);
        return;
    }
    WriteCompressed(true);   // the file before, compressed and written whole
    std::lock_guard<std::mutex> guard(pWorker->lock);
    pWorker->fdPending = fdStaged;
    pWorker->changed.notify_all();
}

void WriteCompressedReady()
{
    WriteCompressed(false);
}

void WriteCompressedAll()
{
    WriteCompressed(true);
}

void do_compress_finish()
{
    StopWorker();
    if (!bStreamOpen)
        return;
    bStreamOpen = false;
    z.next_in = nullptr;
    z.avail_in = 0;
    Deflate(Z_FINISH);
    if (deflateEnd(&z) != Z_OK && z.msg)
        Debug_printf("deflateEnd: %s\n", z.msg);
}
