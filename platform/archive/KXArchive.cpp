#include "platform/archive/KXArchive.h"

#include "platform/agent/KxLog.h"

KXArchive::KXArchive(RecordSink* sink) : m_data(sink, "data"), m_cmd(sink, "command") {}

KXArchive::~KXArchive() = default;

char* KXArchive::AllocateDataBuffer(unsigned size, unsigned* granted, bool acceptLess) {
    return m_data.Allocate(size, granted, acceptLess);
}

int KXArchive::WriteDataBuffer(unsigned type, unsigned length) { return m_data.Write(type, length); }

void KXArchive::FreeDataBuffer() { m_data.Free(); }

char* KXArchive::allocateCmdBuffer(unsigned size) { return m_cmd.Allocate(size, nullptr); }

int KXArchive::writeSyncBuffer(unsigned type, unsigned length) {
    int rc = m_cmd.Write(type, length);
    if (rc != 0) {
        KXLOG(-1, "command record of type %u (%u bytes) was not sent, status %d", type, length, rc);
        return rc;
    }
    // The command takes effect only once the storage side has it: push it
    // out, and take the flush's result as the answer.
    rc = m_cmd.Sink()->Flush();
    if (rc != 0)
        KXLOG(-1, "no answer for command record of type %u, status %d", type, rc);
    return rc;
}

void KXArchive::freeCmdBuffer() { m_cmd.Free(); }

void KXArchive::SetFileSignatureData(const char* text, int length) {
    if (!text || length < 0) {
        m_signature.clear();
        m_hasSignature = false;
        return;
    }
    m_signature.assign(text, static_cast<size_t>(length));
    m_hasSignature = true;
}
