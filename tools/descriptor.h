// descriptor: a file descriptor that closes itself, for the pipes and files one function
// or one running job opens and releases.
#pragma once

#include <unistd.h>

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int n) : fd(n) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    void Reset(int n)
    {
        Close();
        fd = n;
    }
};
