// One collect file of a job, opened once for the whole job.
//
// Every reader of a collect file (the stream, its prefetcher, the parent's
// disk-group look-up) reads through this one descriptor, each at its own
// offset (CollectFileReader::OpenDescriptor), so that a path renamed or
// replaced while the job runs cannot feed them different files, and so that
// no reader takes lines from another.
//
// A collect file that is not a regular file (a pipe, a FIFO, /dev/stdin, a
// terminal, "<(...)") can be read only once, by one reader: it is first
// copied whole into an unnamed temporary file (O_TMPFILE, gone when the
// last process of the job closes it), which the job then reads like any
// other. The copy is made before any stream starts; one that fails (the
// source cannot be read, the temporary file cannot be written) fails the
// job. A directory or a block device is no collect file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/Export.h"
#include "platform/base/ScopedFd.h"

class RUXEN_EXPORT CollectInputFile {
public:
    // Opens `path`; a collect file that is not a regular file is copied into
    // a temporary file in the first of `copyDirectories` that takes one.
    // false with a sentence naming the file in *error (nothing is kept).
    bool Open(const std::string& path, const std::vector<std::string>& copyDirectories, std::string* error);

    bool IsOpen() const { return m_fd.valid(); }
    // The descriptor every reader reads through (owned here).
    int Descriptor() const { return m_fd.get(); }
    const std::string& Path() const { return m_path; }
    // Whether the file was copied, and how many bytes.
    bool Copied() const { return m_copied; }
    uint64_t CopiedBytes() const { return m_copiedBytes; }

    // Where the copies of a job go: beside its archive when that is a file
    // (the disk that takes the job's outputs), else $TMPDIR (/tmp unset).
    static std::vector<std::string> CopyDirectories(const std::string& archivePath);

private:
    ScopedFd m_fd;
    std::string m_path;
    bool m_copied = false;
    uint64_t m_copiedBytes = 0;
};
