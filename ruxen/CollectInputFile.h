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
//
// What the file was when the job first opened it (device, inode, size,
// modification time; a copy's after copying) is kept: a file changed since
// then, whether before or while a stream reads it, is told by Changed(). A
// job of many collect files holds only some open (Release): one is opened
// again in its turn (Reopen) only while its path still names the file met
// at the start, unchanged; any other file under that name is never read as
// the job's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/Export.h"
#include "platform/base/ScopedFd.h"
#include "platform/text/OpenedFileIdentity.h"

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
    // Whether Open succeeded: the file's first state is known.
    bool Known() const { return m_known; }

    // Closes the descriptor of a collect file that can be opened again by
    // its path (a copy stays open: nothing else names it).
    void Release();
    // Opens a released file again: false with a sentence in *error when it
    // cannot be opened, or (*changed set, what differs in *what) when its
    // path names no longer the file the job first opened as it was then.
    // A path that names something else is not opened (a FIFO would hang
    // the stream, a device could act on being opened).
    bool Reopen(std::string* error, bool* changed, const char** what);
    // Null while the open file is what it was when the job first opened it,
    // and its path (while it named it) still names it; else what differs
    // ("size", "modification time", "inode", "path", "state").
    const char* Changed() const { return m_fd.valid() ? m_first.Changed(m_fd.get(), m_path) : "state"; }

    // Where the copies of a job go: beside its archive when that is a file
    // (the disk that takes the job's outputs), else $TMPDIR (/tmp unset).
    static std::vector<std::string> CopyDirectories(const std::string& archivePath);

private:
    ScopedFd m_fd;
    std::string m_path;
    bool m_copied = false;
    uint64_t m_copiedBytes = 0;
    bool m_known = false;
    ruxen::OpenedFileIdentity m_first;  // at the job's first open (a copy's after copying)
};
