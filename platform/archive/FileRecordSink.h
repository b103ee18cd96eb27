// A record sink that writes the archive stream to a local file or any file
// descriptor (a pipe, /dev/null), in the layout of ArchiveStreamFormat.h,
// which other tools read. Close ends the stream with its end record (item
// and data-byte counts of what was written, and the stream's status) unless
// a write failed before.
//
// Writes are buffered. A small record is copied into a staging buffer, and
// the staged bytes go out in one write once half a megabyte or more has
// gathered.
// A payload of kDirectWriteBytes or more is not copied: the staged bytes and
// its 8-byte frame go out in one write, the payload in a write of its own
// (so that in a pipe it is not shifted off the pipe's pages by its frame).
//
// A pipe is grown to kPipeBytes, twice a staged write: the write is handed
// to the reader at once rather than in 64 KiB turns, and the writer seldom
// waits for the reader to empty the pipe before it can go on (a staged write
// as large as the pipe makes the two take turns). Where the kernel refuses,
// writes go out in pieces of kPipePieceBytes.
//
// Every write error reaches the caller: the Write, Flush or Close that hit
// it answers non-zero, a failure line naming the file and errno is logged,
// and the error is sticky, so every later Write, Flush and Close fails too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/archive/ArchiveStreamFormat.h"
#include "platform/archive/RecordSink.h"
#include "platform/archive/SinkBufferPool.h"
#include "platform/base/Export.h"

class RUXEN_EXPORT FileRecordSink : public RecordSink {
public:
    // Staged bytes are written once at least this many have gathered.
    static constexpr size_t kStageFlushBytes = 512 * 1024;
    // Payloads of this size or more bypass the staging buffer.
    static constexpr uint32_t kDirectWriteBytes = 256 * 1024;
    // What a pipe as output is grown to.
    static constexpr size_t kPipeBytes = 2 * kStageFlushBytes;
    // Largest write into a pipe that could not be grown.
    static constexpr size_t kPipePieceBytes = 64 * 1024;

    // `magic`: the 4 bytes the stream file begins with ("RXPL" for an
    // archive stream, "RXIX" for an index file); the caller keeps them.
    explicit FileRecordSink(const char* magic = kArchiveStreamMagic);
    // A sink still open is flushed and closed without its end record: only
    // an explicit Close says that the stream is whole. Failures are logged.
    ~FileRecordSink() override;
    FileRecordSink(const FileRecordSink&) = delete;
    FileRecordSink& operator=(const FileRecordSink&) = delete;

    // Creates or truncates `path` (mode 0644) and stages the stream's
    // preamble. 0, or -1 with the failure logged.
    int Open(const char* path);
    // Writes the stream to an open descriptor; `name` is used in messages.
    // With takeOwnership the descriptor is closed by Close.
    int Attach(int fd, const char* name, bool takeOwnership);

    char* Allocate(uint32_t size, uint32_t* granted) override;
    int Write(char* buffer, uint32_t type, uint32_t length) override;
    void Free(char* buffer) override;
    int Flush() override;
    // Writes the end record (when no write failed), flushes and closes.
    int Close() override;
    // The status the end record will carry (ArchiveStreamStatus): a stream
    // that knows it did not do all it was given says why. The first non-zero
    // status set stays; Open and Attach clear it.
    void SetEndStatus(uint32_t status) {
        if (m_endStatus == kStreamComplete)
            m_endStatus = status;
    }
    uint32_t EndStatus() const { return m_endStatus; }

    bool IsOpen() const { return m_fd >= 0; }
    // The errno of the first write or close failure, 0 while there is none.
    int LastErrno() const { return m_errno; }
    const std::string& Name() const { return m_name; }
    // Bytes handed to the kernel so far (preamble and frames included).
    uint64_t BytesWritten() const { return m_bytesWritten; }
    // Items and data bytes accepted so far, as the end record will count them.
    const ArchiveStreamTally& Tally() const { return m_tally; }
    // Buffers allocated and neither written nor freed.
    size_t Outstanding() const { return m_pool.Outstanding(); }
    // Asks for buffer memory from the system so far (shows buffer reuse).
    uint64_t SystemAllocations() const { return m_pool.SystemAllocations(); }

private:
    RUXEN_HIDDEN int Start(int fd, const char* name, bool own);
    RUXEN_HIDDEN int Finish(bool whole);
    RUXEN_HIDDEN void SizePipe();
    RUXEN_HIDDEN void Stage(uint32_t type, const char* payload, uint32_t length);
    RUXEN_HIDDEN int WriteOut(const char* payload, size_t payloadLength, const char* frame);
    RUXEN_HIDDEN int WriteAll(const char* p, size_t n);
    RUXEN_HIDDEN int Fail(int err, const char* what);

    const char* m_magic;
    int m_fd = -1;
    bool m_ownFd = false;
    int m_errno = 0;
    std::string m_name;
    char* m_stage = nullptr;
    size_t m_staged = 0;
    uint64_t m_bytesWritten = 0;
    size_t m_writePiece = 0;  // largest write per system call, 0 for no limit
    ArchiveStreamTally m_tally;
    uint32_t m_endStatus = kStreamComplete;
    SinkBufferPool m_pool;
};
