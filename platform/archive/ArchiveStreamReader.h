// Reads an archive stream file (or the same bytes in memory) record by
// record, in the layout of ArchiveStreamFormat.h. The reader rejects a bad
// magic, an unknown version, a payload length above
// kArchiveStreamMaxPayload (64 MiB), a frame or payload cut short, a stream
// that ends without its end record, an end record whose counts disagree
// with the records before it, and bytes after the end record; each error
// message names the byte offset at which the stream went wrong. The end
// record of an older writer (16 bytes, no status) is read, its status
// answered as kArchiveStreamStatusUnknown. After an
// error every call fails with the same message.
//
// Use: Open, then Next for each record; Next answers kEnd once it has read
// and checked the end record, which it does not hand out as a record. A
// record's payload may be taken whole with ReadPayload (into a buffer the
// reader reuses), or in chunks of at most kChunkBytes with ReadChunk (so a
// reader of a multi-gigabyte stream never holds more than a chunk), or left
// alone: Next skips what was not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive/ArchiveStreamFormat.h"

struct ArchiveRecord {
    uint32_t type = 0;
    uint32_t length = 0;  // payload bytes
    uint64_t offset = 0;  // stream offset of the record's frame
};

class ArchiveStreamReader {
public:
    static constexpr size_t kChunkBytes = 1024 * 1024;

    enum Status { kRecord = 0, kEnd = 1, kError = -1 };

    // `magic`: the 4 bytes the stream must begin with ("RXPL" for an archive
    // stream, "RXIX" for an index file); the caller keeps them.
    explicit ArchiveStreamReader(const char* magic = kArchiveStreamMagic);
    ~ArchiveStreamReader();
    ArchiveStreamReader(const ArchiveStreamReader&) = delete;
    ArchiveStreamReader& operator=(const ArchiveStreamReader&) = delete;

    // Each Open reads and checks the preamble; false with Error() set.
    // OpenFile owns its descriptor; OpenFd reads from the descriptor's
    // current position and leaves it open; OpenMemory reads the bytes in
    // place (they must outlive the reader's use of them).
    bool OpenFile(const char* path);
    bool OpenFd(int fd, const char* name);
    bool OpenMemory(const void* data, size_t size, const char* name = "memory");

    // The next record's frame. kEnd at the checked end record.
    Status Next(ArchiveRecord* record);

    // The rest of the current record's payload, whole. *data stays valid
    // until the next call on the reader. False on error.
    bool ReadPayload(const char** data, size_t* length);
    // The next piece of the current record's payload, at most kChunkBytes;
    // *length is 0 once the payload is used up. False on error.
    bool ReadChunk(const char** data, size_t* length);

    const std::string& Error() const { return m_error; }
    bool Failed() const { return !m_error.empty(); }
    // Stream bytes consumed so far.
    uint64_t Offset() const { return m_offset; }
    const std::string& Name() const { return m_name; }
    // Items and data bytes of the records read so far; once Next answered
    // kEnd, also the end record's counts.
    const ArchiveStreamTally& Tally() const { return m_tally; }
    // Stream offset of the end record's frame, once Next answered kEnd.
    uint64_t EndOffset() const { return m_endOffset; }
    // The end record's payload length (20, or 16 of an older writer) and
    // status (ArchiveStreamStatus, or kArchiveStreamStatusUnknown), once
    // Next answered kEnd.
    uint32_t EndLength() const { return m_endLength; }
    uint32_t EndStatus() const { return m_endStatus; }

private:
    void Reset(const char* name);
    bool ReadPreamble();
    bool SetError(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Copies up to n stream bytes to dst; answers how many (fewer only at
    // the end of the stream or on a read error, which sets m_readErrno).
    size_t Pull(char* dst, size_t n);
    // Makes the next n payload bytes available at *data: in place when the
    // stream is in memory, else read into m_payload.
    bool Take(size_t n, const char** data);
    bool SkipRest();
    bool TruncatedPayload();
    bool ReadEnd(uint64_t at, uint32_t length);

    const char* m_magic;
    std::string m_name;
    std::string m_error;
    int m_fd = -1;
    bool m_ownFd = false;
    int m_readErrno = 0;
    const char* m_mem = nullptr;
    size_t m_memSize = 0;
    bool m_open = false;
    bool m_ended = false;
    uint64_t m_endOffset = 0;
    uint32_t m_endLength = 0;
    uint32_t m_endStatus = kArchiveStreamStatusUnknown;
    ArchiveStreamTally m_tally;

    uint64_t m_offset = 0;
    ArchiveRecord m_current;
    uint32_t m_remaining = 0;  // payload bytes of the current record not yet read

    std::vector<char> m_readBuf;  // read-ahead of a descriptor
    size_t m_readPos = 0;
    size_t m_readLen = 0;
    std::vector<char> m_payload;  // reused for payloads and chunks
};
