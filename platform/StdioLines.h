// Owners for reading a text file line by line with getline(3): the stream,
// closed when its owner goes, and the buffer getline grows and reuses.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace ruxen {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

struct LineBuffer {
    char* data = nullptr;
    size_t cap = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { free(data); }
};

}  // namespace ruxen
