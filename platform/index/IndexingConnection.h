// The connection to the indexing service, standing in as records on a
// RecordSink: a FileRecordSink on the job's index file (IndexRecords.h
// gives the layout), a MemoryRecordSink in tests. Every call writes one
// record; results are 0 for success and -1 for failure, logged.
//
// Calls must come in order: initialize first; then sendAfileInfo before any
// entry (sendFileInfo, sendMetaDataInfo, sendFileInfoV2); backupDone last.
// setStreamJobId, updateRestartInfo and clearMetaDataInfo may come any time
// between initialize and backupDone. A call out of order writes nothing and
// fails; so does every call after backupDone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/agent/KXBkpLevel.h"
#include "platform/index/IndexRecords.h"

namespace ruxen {
class NetWriter;
}  // namespace ruxen
class RecordSink;
class IdxMessage;
struct ZXFileHeader;  // the 1160-byte item header (ZXHeaderByteOrder.h)
namespace IdxMetadata {
class IdxDbInfo;
}
namespace Indexing {
class IdxCommand;
}

class IndexingConnection {
public:
    // Writes to the process's index sink (SetDefaultSink) as it is now.
    IndexingConnection();
    explicit IndexingConnection(RecordSink* sink);
    IndexingConnection(const IndexingConnection&) = delete;
    IndexingConnection& operator=(const IndexingConnection&) = delete;

    // The sink of connections built without one (the host's index file);
    // the caller keeps ownership. Null: such connections fail to initialize.
    static void SetDefaultSink(RecordSink* sink);

    int initialize(unsigned long zonarkId, unsigned long clientId, unsigned long appType, KXBkpLevel level,
                   const char* jobToken, const char* path, const char* indexingText, unsigned long long reserved);
    int sendAfileInfo(const ArchiveFileId_t* id, bool flag);
    // One item entry from a header in host order.
    int sendFileInfo(const ZXFileHeader* header, unsigned long long streamOffset, const char* linkTarget,
                     unsigned long long reserved);
    // One pair: the record must carry kIndexMetaDataMarker and version 1,
    // and `value` its `length` bytes.
    int sendMetaDataInfo(const IndexMetaDataStruct& record, const void* value);
    // One message; a message without fields is nothing to send (0).
    int sendMetaDataInfo(const IdxMessage* message);
    int sendFileInfoV2(const IdxMetadata::IdxDbInfo& dbInfo, const Indexing::IdxCommand& command);
    // Ends the connection's entries and flushes the sink.
    int backupDone(int value);
    int clearMetaDataInfo();
    int setStreamJobId(unsigned long long jobId);
    int updateRestartInfo(uint32_t collectFile, unsigned long long offset);

    // The connection's number on the index file (0 before initialize).
    uint32_t Number() const { return m_number; }

private:
    enum State { kNew, kOpen, kAnnounced, kDone };
    bool Allowed(State least, const char* call);
    char* Begin(State least, size_t bodySize, const char* call, ruxen::NetWriter* w);
    int Finish(IndexRecordType type, char* buf, const char* call);

    RecordSink* m_sink;
    State m_state = kNew;
    uint32_t m_number = 0;
    size_t m_pending = 0;  // bytes of the record being filled
};
