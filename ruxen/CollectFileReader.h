// Reading collect files: one path per line, written by the scan program.
//
// A line holds one absolute path; carriage return, line feed and "%" inside
// the path are written as "%0D", "%0A" and "%25". A raw carriage return just
// before the line feed (a file with CRLF line ends) belongs to the line end
// and is dropped. A line that cannot be decoded (a bad escape, an escaped
// NUL, any other raw carriage return, a relative path, an empty line, a line
// longer than kMaxLineBytes) is answered as a bad line so that the caller
// logs, counts and lists it; it never ends the file early and never yields a
// cut path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Export.h"

struct CollectLine {
    std::string path;    // decoded path (kLine)
    uint64_t offset = 0; // byte offset of the line's start in the collect file
    std::string raw;     // the line as read (kBadLine; only its first
                         // kOverlongKeepBytes when over-long)
    uint64_t rawLength = 0;  // bytes of the whole line, without its line end
    std::string error;   // why the line is bad (kBadLine, kReadError)
    int errnum = 0;      // errno-style number for the failure (kBadLine, kReadError)
};

class RUXEN_EXPORT CollectLineSource {
public:
    enum Result { kLine = 1, kEnd = 0, kBadLine = -1, kReadError = -2 };
    virtual ~CollectLineSource() = default;
    virtual Result Next(CollectLine& line) = 0;
    // A name for log lines (the collect file's path).
    virtual const std::string& Name() const = 0;
};

// How the failures and results files name a bad line: its text as read
// (CR written "%0D", NUL "%00"), and, for a line that cannot be listed
// whole, a mark that no reader decodes into a path: "%00(empty line)", or
// the first kOverlongKeepBytes bytes and "%00(<n> bytes)" for an over-long
// line.
void AppendBadLineListing(const CollectLine& line, std::string& out);

class RUXEN_EXPORT CollectFileReader : public CollectLineSource {
public:
    static constexpr size_t kMaxLineBytes = 64 * 1024;
    static constexpr size_t kOverlongKeepBytes = 256;

    CollectFileReader();
    ~CollectFileReader() override;
    CollectFileReader(const CollectFileReader&) = delete;
    CollectFileReader& operator=(const CollectFileReader&) = delete;

    // Opens a collect file; false with errno and a message in *error.
    bool Open(const std::string& path, std::string* error);
    // Reads from memory (tests, fuzzing).
    void OpenMemory(const std::string& name, const std::string& content);
    // Positions the next read at a byte offset (restart).
    bool Seek(uint64_t offset);
    void Close();

    Result Next(CollectLine& line) override;
    const std::string& Name() const override { return m_name; }

private:
    // Fills the buffer; 0 at end, -1 on a read error.
    int Fill();

    std::string m_name;
    int m_fd = -1;
    bool m_memory = false;
    std::vector<char> m_buf;
    size_t m_begin = 0;
    size_t m_end = 0;
    uint64_t m_bufOffset = 0;  // file offset of m_buf[0]
    bool m_eof = false;
    std::string m_line;  // line being assembled across buffer refills
};
