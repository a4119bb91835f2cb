// fileptr: a stdio stream that closes itself, for files one function opens and releases.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(FILE* fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
