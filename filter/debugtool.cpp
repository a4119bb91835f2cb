// debugtool: developer traces. Owns the log stream, opened by the first Debug_printf and
// kept for the run; Debug_dummy discards. A trace never reaches standard output and never
// ends a job: when the log cannot be used, one line says so on standard error and
// tracing stops for the rest of the run.
#include "debugtool.h"

#include <cstdarg>
#include <fcntl.h>
#include <unistd.h>

static FILE* logfp = nullptr;       // the debug log; null until the first trace
static bool bLogDisabled = false;   // the log failed once: no further traces

static void DisableLog(const char* pszFormat)
{
    fprintf(stderr, pszFormat, kDebugLogPath);
    bLogDisabled = true;
    if (logfp) {
        fclose(logfp);
        logfp = nullptr;
    }
}

// Opens the log for appending without following a link planted at its path.
static FILE* OpenLog()
{
    int fd = open(kDebugLogPath, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    FILE* fp = fdopen(fd, "a+");
    if (!fp)
        close(fd);
    return fp;
}

int Debug_printf(const char* pszFormat, ...)
{
    if (bLogDisabled)
        return -1;
    if (!logfp) {
        logfp = OpenLog();
        if (!logfp) {
            DisableLog("\n!!! log file open error.!!! [%s]\n");
            return -1;
        }
    }
    va_list args;
    va_start(args, pszFormat);
    int nWritten = vfprintf(logfp, pszFormat, args);
    va_end(args);
    if (nWritten < 0 || fflush(logfp) != 0) {
        DisableLog("\n!!! log file write error.!!! [%s]\n");
        return -1;
    }
    return nWritten;
}

int Debug_dummy(const char*, ...)
{
    return 0;
}
