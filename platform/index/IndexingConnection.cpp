#include "platform/index/IndexingConnection.h"

#include <cstring>
#include <string>

#include "platform/agent/KxLog.h"
#include "platform/archive/ArchiveStreamFormat.h"
#include "platform/archive/RecordSink.h"
#include "platform/archive/ZXHeaderByteOrder.h"
#include "platform/base/Coding.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"

namespace {

RecordSink* g_defaultSink = nullptr;
uint32_t g_lastNumber = 0;

const char* Text(const char* s) { return s ? s : ""; }

// The call that must come first, by the least state a call needs.
const char* const kNeeded[] = {"", "initialize", "sendAfileInfo", ""};

}  // namespace

IndexingConnection::IndexingConnection() : m_sink(g_defaultSink) {}

IndexingConnection::IndexingConnection(RecordSink* sink) : m_sink(sink) {}

void IndexingConnection::SetDefaultSink(RecordSink* sink) { g_defaultSink = sink; }

void ruxen::testcontrol::ResetIndexingConnections() {
    g_defaultSink = nullptr;
    g_lastNumber = 0;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("indexing connections",
                                                  &ruxen::testcontrol::ResetIndexingConnections);
}  // namespace

bool IndexingConnection::Allowed(State least, const char* call) {
    if (m_state == kDone) {
        KXLOG(-1, "indexing connection %u: %s after backupDone", m_number, call);
        return false;
    }
    if (m_state < least) {
        KXLOG(-1, "indexing connection %u: %s before %s", m_number, call, kNeeded[least]);
        return false;
    }
    return true;
}

// A record is taken from the sink, when the connection's state allows the
// call, with room for the connection number and bodySize bytes (Begin,
// which writes the number), filled by the caller
// through the writer, and handed back to the sink (Finish).
char* IndexingConnection::Begin(State least, size_t bodySize, const char* call, ruxen::NetWriter* w) {
    if (!Allowed(least, call))
        return nullptr;
    m_pending = 4 + bodySize;
    if (m_pending > kArchiveStreamMaxPayload) {
        KXLOG(-1, "indexing connection %u: %s record of %zu bytes is too large", m_number, call, m_pending);
        return nullptr;
    }
    uint32_t granted = 0;
    char* buf = m_sink->Allocate(static_cast<uint32_t>(m_pending), &granted);
    if (!buf || granted < m_pending) {
        m_sink->Free(buf);
        KXLOG(-1, "indexing connection %u: no buffer of %zu bytes for %s", m_number, m_pending, call);
        return nullptr;
    }
    *w = ruxen::NetWriter(buf);
    w->U32(m_number);
    return buf;
}

int IndexingConnection::Finish(IndexRecordType type, char* buf, const char* call) {
    int rc = m_sink->Write(buf, type, static_cast<uint32_t>(m_pending));
    if (rc != 0) {
        m_sink->Free(buf);
        KXLOG(-1, "indexing connection %u: writing %s failed (%d)", m_number, call, rc);
        return -1;
    }
    return 0;
}

int IndexingConnection::initialize(unsigned long zonarkId, unsigned long clientId, unsigned long appType,
                                   KXBkpLevel level, const char* jobToken, const char* path, const char* indexingText,
                                   unsigned long long reserved) {
    if (m_state != kNew) {
        KXLOG(-1, "indexing connection %u: initialize called twice", m_number);
        return -1;
    }
    if (!m_sink) {
        KXLOG(-1, "indexing connection: no index file to write to");
        return -1;
    }
    std::string token = Text(jobToken), p = Text(path), idx = Text(indexingText);
    m_number = g_lastNumber + 1;
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kNew, 8 * 3 + 4 + 12 + token.size() + p.size() + idx.size() + 8, "initialize", &w);
    if (!buf)
        return -1;
    w.U64(zonarkId).U64(clientId).U64(appType).U32(static_cast<uint32_t>(level));
    w.Str(token).Str(p).Str(idx).U64(reserved);
    int rc = Finish(IDX_INIT, buf, "initialize");
    if (rc == 0) {
        g_lastNumber = m_number;
        m_state = kOpen;
    }
    return rc;
}

int IndexingConnection::sendAfileInfo(const ArchiveFileId_t* id, bool flag) {
    if (!id) {
        KXLOG(-1, "indexing connection %u: sendAfileInfo without an archive file id", m_number);
        return -1;
    }
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kOpen, 13, "sendAfileInfo", &w);
    if (!buf)
        return -1;
    w.U32(id->zonarkId).U32(id->aGroupNumber).U32(id->aFileNumber).U8(flag ? 1 : 0);
    int rc = Finish(IDX_AFILE, buf, "sendAfileInfo");
    if (rc == 0)
        m_state = kAnnounced;
    return rc;
}

int IndexingConnection::sendFileInfo(const ZXFileHeader* header, unsigned long long streamOffset,
                                     const char* linkTarget, unsigned long long reserved) {
    if (!header) {
        KXLOG(-1, "indexing connection %u: sendFileInfo without a header", m_number);
        return -1;
    }
    std::string link = Text(linkTarget);
    const size_t hs = ZXHeaderLayout::kRecordSize;
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kAnnounced, hs + 8 + 4 + link.size() + 8, "sendFileInfo", &w);
    if (!buf)
        return -1;
    char* h = w.Position();
    w.Bytes(header, hs);
    ConvertZXFileHeaderByteOrder(h);
    w.U64(streamOffset).Str(link).U64(reserved);
    return Finish(IDX_FILE, buf, "sendFileInfo");
}

int IndexingConnection::sendMetaDataInfo(const IndexMetaDataStruct& record, const void* value) {
    if (record.marker != kIndexMetaDataMarker || record.version != kIndexMetaDataVersion ||
        (record.length > 0 && !value)) {
        KXLOG(-1, "indexing connection %u: bad metadata record (marker 0x%08X version %u)", m_number, record.marker,
              record.version);
        return -1;
    }
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kAnnounced, sizeof(IndexMetaDataStruct) + record.length, "sendMetaDataInfo", &w);
    if (!buf)
        return -1;
    w.U32(record.marker).U32(record.version).U32(record.kind).U32(record.reserved);
    w.U32(record.length).Bytes(value, record.length);
    return Finish(IDX_PAIR, buf, "sendMetaDataInfo");
}

int IndexingConnection::sendMetaDataInfo(const IdxMessage* message) {
    if (!Allowed(kAnnounced, "sendMetaDataInfo"))
        return -1;
    if (!message) {
        KXLOG(-1, "indexing connection %u: sendMetaDataInfo without a message", m_number);
        return -1;
    }
    if (message->Empty())
        return 0;
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kAnnounced, message->EncodedSize(), "sendMetaDataInfo", &w);
    if (!buf)
        return -1;
    message->Encode(w.Position());
    return Finish(IDX_MESSAGE, buf, "sendMetaDataInfo");
}

int IndexingConnection::sendFileInfoV2(const IdxMetadata::IdxDbInfo& dbInfo, const Indexing::IdxCommand& command) {
    size_t dbSize = dbInfo.EncodedSize();
    size_t cmdSize = command.EncodedSize();
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kAnnounced, 4 + dbSize + cmdSize, "sendFileInfoV2", &w);
    if (!buf)
        return -1;
    w.U32(static_cast<uint32_t>(dbSize));
    dbInfo.Encode(w.Position());
    command.Encode(w.Position() + dbSize);
    return Finish(IDX_FILE_V2, buf, "sendFileInfoV2");
}

int IndexingConnection::backupDone(int value) {
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kOpen, 4, "backupDone", &w);
    if (!buf)
        return -1;
    w.U32(static_cast<uint32_t>(value));
    int rc = Finish(IDX_DONE, buf, "backupDone");
    if (rc == 0 && m_sink->Flush() != 0) {
        KXLOG(-1, "indexing connection %u: flushing the index failed", m_number);
        rc = -1;
    }
    if (rc == 0)
        m_state = kDone;
    return rc;
}

int IndexingConnection::clearMetaDataInfo() {
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kOpen, 0, "clearMetaDataInfo", &w);
    if (!buf)
        return -1;
    return Finish(IDX_CLEAR, buf, "clearMetaDataInfo");
}

int IndexingConnection::setStreamJobId(unsigned long long jobId) {
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kOpen, 8, "setStreamJobId", &w);
    if (!buf)
        return -1;
    w.U64(jobId);
    return Finish(IDX_JOB, buf, "setStreamJobId");
}

int IndexingConnection::updateRestartInfo(uint32_t collectFile, unsigned long long offset) {
    ruxen::NetWriter w(nullptr);
    char* buf = Begin(kOpen, 12, "updateRestartInfo", &w);
    if (!buf)
        return -1;
    w.U32(collectFile).U64(offset);
    return Finish(IDX_RESTART, buf, "updateRestartInfo");
}
