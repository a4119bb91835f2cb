// programfolder: the folder the running program stands in, from /proc/self/exe, so that an
// installed program finds the rest of its install prefix whatever --prefix or DESTDIR was.
#pragma once

#include <climits>
#include <string>
#include <unistd.h>

// The running program's folder; empty when its path cannot be read.
inline std::string ProgramFolder()
{
    char szSelf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    if (n <= 0)
        return "";
    const std::string self(szSelf, size_t(n));
    return self.substr(0, self.rfind('/'));
}
