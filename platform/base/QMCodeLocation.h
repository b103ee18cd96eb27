// A source location carried by error values: file, function and line.
//
// The strings are the compiler's own literals (__FILE__, __PRETTY_FUNCTION__),
// so a location is three words and never allocates. Build one at the call
// site with QM_LOC.
#pragma once

class QMCodeLocation {
public:
    QMCodeLocation() = default;
    QMCodeLocation(const char* file, const char* function, int line)
        : m_file(file ? file : "?"), m_function(function ? function : "?"), m_line(line) {}

    const char* File() const { return m_file; }
    const char* Function() const { return m_function; }
    int Line() const { return m_line; }

private:
    const char* m_file = "?";
    const char* m_function = "?";
    int m_line = 0;
};

#define QM_LOC QMCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)
