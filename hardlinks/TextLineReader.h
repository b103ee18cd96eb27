// Reads a text file (or a buffer) line by line in large chunks. A line is
// handed out without its line feed; LastLineTerminated() tells whether the
// last line handed out ended with one. A read error is reported as such,
// never as the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "hardlinks/HLFileOps.h"

class TextLineReader {
public:
    // Lines longer than this are refused (errno EOVERFLOW).
    static constexpr size_t kMaxLine = 1u << 20;

    // false with errno when the file cannot be opened.
    bool Open(const std::string& path);
    // Reads from an open descriptor, which the reader then owns.
    void Attach(ScopedFd fd);
    // Reads `data` (not copied: it must outlive the reader).
    void OpenMemory(const char* data, size_t size);

    // 1 and a line, 0 at the end, -1 with errno on a read error or an
    // over-long line.
    int Next(std::string& line);

    bool LastLineTerminated() const { return m_terminated; }
    uint64_t LineNumber() const { return m_lineNumber; }

private:
    int Fill();

    ScopedFd m_fd;
    // Made at the first Attach and never cleared: only what a read fills is
    // ever touched, so opening a small file costs a page, not a MiB.
    static constexpr size_t kBufferSize = 1u << 20;
    std::unique_ptr<char[]> m_buf;
    const char* m_data = nullptr;
    size_t m_pos = 0;
    size_t m_end = 0;
    bool m_eof = true;
    bool m_terminated = true;
    uint64_t m_lineNumber = 0;
};
