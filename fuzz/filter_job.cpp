// filter_job: the whole filter, run as the spooler runs it, on small pages. The input's
// first bytes choose the settings and the page size; the rest is the PPM stream (or, in
// the structured mode, the pixels of pages whose headers the target writes itself, so
// that most inputs are valid jobs). The sanitized rastertovelnora runs as a child process
// with a private TMPDIR and VELNORA_ROOT, its standard input and output files in the
// private folder. Checked: it exits by itself with 0 or 1; with 0 the job reads back
// strictly, and for a valid input it holds the expected pages with the input's pixels
// (gray pages by the gray formula, back sides of long-edge duplex turned); nothing is
// left in its TMPDIR and no staged page file of it in /tmp.
//
// Input: byte 0 bit 0 gray, bits 1-2 duplex (0 none, 1 short edge, 2 long edge, 3 none),
// bits 3-4 copies (1, 2, 3, 1), bit 5 collate, bit 6 skip blank pages, bit 7 structured;
// byte 1 width - 1 and byte 2 height - 1 (modulo 40); structured: byte 3 the number of
// pages - 1 (modulo 3), then the pixels (short pixel data is padded with white).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pixels.h"
#include "vnjobreader.h"

#ifndef VELNORA_FILTER_PATH
#error "VELNORA_FILTER_PATH: the sanitized rastertovelnora"
#endif

namespace {

constexpr char kModel[] = "FuzzModel";
constexpr int kExitSanitizer = 86;   // the child's status when a sanitizer reports
constexpr int kHangSeconds = 20;

struct Settings {
    bool bGray = false;
    int nDuplex = 0;   // 0 none, 1 short edge, 2 long edge
    int nCopies = 1;
    bool bCollate = false;
    bool bSkipBlank = false;
    bool bStructured = false;
    int nWidth = 1;
    int nHeight = 1;
};

struct Folder {
    std::string dir, tmp, rc, paperInf, input, output, error;
};

const Folder& FolderOnce()
{
    static const Folder folder = [] {
        const std::string& dir = fuzz::PrivateDir();
        const std::string inf = dir + "/model/" + kModel + "/bin/inf";
        std::filesystem::create_directories(inf);
        std::filesystem::create_directories(dir + "/tmp");
        fuzz::WriteFile(inf + "/ImagingArea", "A4:\t12\t12\t12\t12\n");
        fuzz::WriteFile(inf + "/PaperDimension", "A4:\t595\t842\n");
        return Folder{dir, dir + "/tmp", dir + "/job.rc", dir + "/paperinfo",
                      dir + "/input.ppm", dir + "/job.prn", dir + "/stderr.txt"};
    }();
    return folder;
}

std::string RcText(const Settings& s)
{
    static const char* const kDuplex[] = {"None", "DuplexTumble", "DuplexNoTumble"};
    return std::string("[") + kModel + "]\nPageSize=A4\nVNMonoColor=" + (s.bGray ? "Mono" : "FullColor") +
           "\nVNDuplex=" + kDuplex[s.nDuplex] + "\nCopies=" + std::to_string(s.nCopies) +
           "\nCollate=" + (s.bCollate ? "ON" : "OFF") + "\nVNSkipBlank=" + (s.bSkipBlank ? "ON" : "OFF") + "\n";
}

// The pages of a stream that is valid beyond doubt: each "P6", one white space, the
// decimal width, height and 255 separated by single spaces or line feeds and ended by
// one, then exactly the page's pixels; nothing after the last. Empty otherwise.
std::vector<std::vector<uint8_t>> ValidPages(const std::vector<uint8_t>& stream, const Settings& s)
{
    const size_t nPageBytes = size_t(s.nWidth) * size_t(s.nHeight) * 3;
    std::vector<std::vector<uint8_t>> pages;
    size_t i = 0;
    while (i < stream.size()) {
        if (stream.size() - i < 3 || stream[i] != 'P' || stream[i + 1] != '6')
            return {};
        i += 2;
        for (int nField = 0; nField < 3; ++nField) {
            if (i >= stream.size() || (stream[i] != ' ' && stream[i] != '\n'))
                return {};
            ++i;
            const size_t nStart = i;
            while (i < stream.size() && stream[i] >= '0' && stream[i] <= '9' && i - nStart < 6)
                ++i;
            if (i == nStart)
                return {};
        }
        if (i >= stream.size() || (stream[i] != ' ' && stream[i] != '\n'))
            return {};
        ++i;
        if (stream.size() - i < nPageBytes)
            return {};
        pages.emplace_back(stream.begin() + long(i), stream.begin() + long(i + nPageBytes));
        i += nPageBytes;
    }
    return pages;
}

// The page images a valid input must give, in order, as the job holds them.
std::vector<std::vector<uint8_t>> ExpectedImages(const std::vector<std::vector<uint8_t>>& pages, const Settings& s)
{
    std::vector<std::vector<uint8_t>> images;
    for (const auto& page : pages) {
        const bool bWhite = std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0xff; });
        if (s.bSkipBlank && bWhite)
            continue;
        for (int c = 0; c < (s.bCollate ? 1 : s.nCopies); ++c) {
            const bool bBack = s.nDuplex == 2 && images.size() % 2 == 1;
            const std::vector<uint8_t> rgb = bBack ? TurnedRgb(page) : page;
            images.push_back(s.bGray ? GrayOfRgb(rgb) : rgb);
        }
    }
    return images;
}

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in the folder that start with the prefix.
std::vector<std::string> Entries(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    DIR* pDir = opendir(dir.c_str());
    if (!pDir)
        return names;
    while (const dirent* pEntry = readdir(pDir)) {
        const std::string name = pEntry->d_name;
        if (name != "." && name != ".." && name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    }
    closedir(pDir);
    return names;
}

void Fail(const char* pszWhat, const Folder& f)
{
    fprintf(stderr, "filter_job: %s\n--- the filter's standard error:\n", pszWhat);
    const std::vector<uint8_t> err = ReadAll(f.error);
    fwrite(err.data(), 1, err.size(), stderr);
    __builtin_trap();
}

// Runs the filter on the input file; its wait status.
int RunFilter(const Folder& f, pid_t* pPid)
{
    const std::string root = "VELNORA_ROOT=" + f.dir + "/model";
    const std::string tmp = "TMPDIR=" + f.tmp;
    const pid_t pid = fork();
    FUZZ_CHECK(pid >= 0);
    if (pid == 0) {
        const int fdIn = open(f.input.c_str(), O_RDONLY);
        const int fdOut = open(f.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fdErr = open(f.error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0 || dup2(fdIn, 0) < 0 || dup2(fdOut, 1) < 0 || dup2(fdErr, 2) < 0)
            _exit(127);
        const char* argv[] = {VELNORA_FILTER_PATH, "-pi", f.paperInf.c_str(), "-rc", f.rc.c_str(), nullptr};
        const char* envp[] = {root.c_str(), tmp.c_str(), "PATH=/usr/bin:/bin",
                              "ASAN_OPTIONS=exitcode=86:detect_leaks=1:allocator_may_return_null=1",
                              "UBSAN_OPTIONS=halt_on_error=1:exitcode=86:print_stacktrace=1", nullptr};
        execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        _exit(127);
    }
    *pPid = pid;
    int nStatus = 0;
    for (int nTicks = 0;; ++nTicks) {
        const pid_t r = waitpid(pid, &nStatus, WNOHANG);
        FUZZ_CHECK(r >= 0);
        if (r == pid)
            return nStatus;
        if (nTicks == kHangSeconds * 200) {
            kill(pid, SIGKILL);
            waitpid(pid, &nStatus, 0);
            Fail("the filter hung", f);
        }
        usleep(5000);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 3)
        return 0;
    const Folder& f = FolderOnce();
    Settings s;
    s.bGray = pData[0] & 1;
    s.nDuplex = (pData[0] >> 1) & 3;
    if (s.nDuplex == 3)
        s.nDuplex = 0;
    s.nCopies = (pData[0] >> 3) & 3;
    if (s.nCopies == 0)
        s.nCopies = 1;
    s.bCollate = pData[0] & 0x20;
    s.bSkipBlank = pData[0] & 0x40;
    s.bStructured = pData[0] & 0x80;
    s.nWidth = 1 + pData[1] % 40;
    s.nHeight = 1 + pData[2] % 40;

    std::vector<uint8_t> stream;
    if (s.bStructured) {
        const size_t nPages = nSize > 3 ? 1 + pData[3] % 3 : 1;
        const size_t nPageBytes = size_t(s.nWidth) * size_t(s.nHeight) * 3;
        const uint8_t* p = pData + std::min<size_t>(4, nSize);
        const uint8_t* pEnd = pData + nSize;
        const std::string header = "P6\n" + std::to_string(s.nWidth) + " " + std::to_string(s.nHeight) + "\n255\n";
        for (size_t k = 0; k < nPages; ++k) {
            stream.insert(stream.end(), header.begin(), header.end());
            const size_t nTake = std::min<size_t>(nPageBytes, size_t(pEnd - p));
            stream.insert(stream.end(), p, p + nTake);
            stream.insert(stream.end(), nPageBytes - nTake, 0xff);
            p += nTake;
        }
    } else {
        stream.assign(pData + 3, pData + nSize);
    }
    fuzz::WriteFile(f.rc, RcText(s));
    fuzz::WriteFile(f.paperInf, "FuzzPaperInfo 600 600 dpi\nA4: " + std::to_string(s.nWidth) + " " +
                                    std::to_string(s.nHeight) + "\n");
    fuzz::WriteFile(f.input, stream.data(), stream.size());

    pid_t pid = 0;
    const int nWait = RunFilter(f, &pid);
    const std::vector<std::string> staged = Entries("/tmp", "ec_tmppage_" + std::to_string(pid) + "_");
    const std::vector<std::string> leftInTmp = Entries(f.tmp, "");
    for (const std::string& name : staged)
        unlink(("/tmp/" + name).c_str());
    for (const std::string& name : leftInTmp)
        unlink((f.tmp + "/" + name).c_str());
    if (WIFSIGNALED(nWait))
        Fail("the filter was ended by a signal", f);
    const int nExit = WEXITSTATUS(nWait);
    if (nExit == kExitSanitizer)
        Fail("a sanitizer reported in the filter", f);
    if (nExit != 0 && nExit != 1)
        Fail("the filter exited with neither 0 nor 1", f);
    if (!staged.empty())
        Fail("staged page files left in /tmp", f);
    if (!leftInTmp.empty())
        Fail("files left in TMPDIR", f);

    const std::vector<std::vector<uint8_t>> pages = ValidPages(stream, s);
    if (!pages.empty() && nExit != 0)
        Fail("a valid input was not printed", f);
    if (nExit != 0)
        return 0;
    const std::vector<uint8_t> out = ReadAll(f.output);
    VnJob job;
    JobReadError err;
    if (!ReadJob(out.data(), out.size(), &job, &err)) {
        fprintf(stderr, "filter_job: %s\n", DescribeError(err).c_str());
        Fail("the job is not well formed", f);
    }
    for (const PwgPage& page : job.pages) {
        if (page.nWidth != uint32_t(s.nWidth) || page.nHeight != uint32_t(s.nHeight))
            Fail("a page has the wrong size", f);
        if (page.nColorSpace != (s.bGray ? 18u : 19u))
            Fail("a page has the wrong colour space", f);
    }
    if (pages.empty())
        return 0;
    const std::vector<std::vector<uint8_t>> expected = ExpectedImages(pages, s);
    if (job.pages.size() != expected.size())
        Fail("the job has the wrong number of pages", f);
    for (size_t k = 0; k < expected.size(); ++k)
        if (job.pages[k].pixels != expected[k])
            Fail("a page's pixels differ from the input", f);
    return 0;
}
