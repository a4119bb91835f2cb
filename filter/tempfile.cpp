// tempfile: uniquely named temporary files, named from the time to the microsecond so
// concurrent filters do not collide; a collision costs one more attempt.
#include "tempfile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

constexpr size_t kNameBufSize = 1024;
constexpr int kMaxAttempts = 1000;

static char* pszFdNameBuf = nullptr;     // myTempFd's own buffer, for a null argument
static char* pszFileNameBuf = nullptr;   // myTempFile's own buffer

static char* ProcessNameBuffer(char** ppBuf)
{
    if (!*ppBuf)
        *ppBuf = static_cast<char*>(calloc(kNameBufSize, 1));
    return *ppBuf;
}

const char* TempDirectory()
{
    const char* pszDir = getenv("TMPDIR");
    return (pszDir && *pszDir) ? pszDir : "/tmp";
}

int myTempFd(char* pszName, size_t nSize)
{
    if (!pszName) {
        pszName = ProcessNameBuffer(&pszFdNameBuf);
        nSize = kNameBufSize;
        if (!pszName)
            return -1;
    }
    if (nSize < 2)
        return -1;
    const char* pszDir = TempDirectory();
    for (int nAttempt = 0; nAttempt < kMaxAttempts; ++nAttempt) {
        timeval tv;
        gettimeofday(&tv, nullptr);
        const int nLength = snprintf(pszName, nSize - 1, "%s/%08lx%05lx", pszDir,
                                     static_cast<unsigned long>(tv.tv_sec),
                                     static_cast<unsigned long>(tv.tv_usec));
        if (nLength < 0 || size_t(nLength) >= nSize - 1)
            return -1;   // a cut path would name another file
        const int fd = open(pszName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

char* myTempFile(char* pszName, size_t nSize)
{
    if (!pszName) {
        pszName = ProcessNameBuffer(&pszFileNameBuf);
        nSize = kNameBufSize;
        if (!pszName)
            return nullptr;
    }
    const int fd = myTempFd(pszName, nSize);
    if (fd < 0)
        return nullptr;
    close(fd);
    return pszName;
}

bool WriteAll(int fd, const void* pData, size_t nLength)
{
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    while (nLength > 0) {
        const ssize_t nWritten = write(fd, p, nLength);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        p += nWritten;
        nLength -= size_t(nWritten);
    }
    return true;
}
