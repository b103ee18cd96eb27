// Owners for reading a text file line by line with getline(3): the stream,
// closed when its owner goes, and the buffer getline grows and reuses; and a
// line reader that never holds more of a line than its bound.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

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

// Reads the next line of `f` into `line`, without its line feed, holding at
// most `max` bytes of it (getline would first take a line of any length into
// memory): 1 a line (the last one may lack its line feed), 0 the end of the
// file, -1 a read error (errno), -2 a line longer than `max` (`line` holds
// its first `max` bytes; the rest stays unread).
inline int ReadBoundedLine(FILE* f, size_t max, std::string& line) {
    line.clear();
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
        if (c == '\n')
            return 1;
        if (line.size() == max)
            return -2;
        line.push_back(static_cast<char>(c));
    }
    if (ferror(f))
        return -1;
    return line.empty() ? 0 : 1;
}

}  // namespace ruxen
