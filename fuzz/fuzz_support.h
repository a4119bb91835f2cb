// fuzz_support: what the fuzz targets share. A private folder made once per process
// (under TMPDIR, or /tmp) and removed with everything in it when the process exits,
// and writing a file in it byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

// The process's private folder; made on first use, removed at exit.
inline const std::string& PrivateDir()
{
    static const std::string dir = [] {
        const char* pszTmp = getenv("TMPDIR");
        std::string templ = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/vnfuzz_XXXXXX";
        if (!mkdtemp(templ.data())) {
            perror("mkdtemp");
            abort();
        }
        return templ;
    }();
    static const bool bCleanupSet = [] {
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(PrivateDir(), ec);
        });
        return true;
    }();
    (void)bCleanupSet;
    return dir;
}

// Writes the bytes to the file, replacing it; aborts when that fails (a harness fault).
inline void WriteFile(const std::string& path, const void* pData, size_t nSize)
{
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp || (nSize && fwrite(pData, 1, nSize, fp) != nSize) || fclose(fp) != 0) {
        perror(path.c_str());
        abort();
    }
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    WriteFile(path, text.data(), text.size());
}

// A check of the target: on failure the fuzzer stops with the input that broke it.
#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                     \
        }                                                                         \
    } while (0)

}  // namespace fuzz
