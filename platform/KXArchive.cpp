#include "platform/KXArchive.h"

#include "platform/KxLog.h"

KXArchive::KXArchive(RecordSink* sink) : m_sink(sink) {}

KXArchive::~KXArchive() {
    FreeDataBuffer();
    freeCmdBuffer();
}

char* KXArchive::AllocateFromSink(uint32_t size, uint32_t* granted, const char* what) {
    *granted = 0;
    if (!m_sink) {
        KXLOG(-1, "no record sink for the %s buffer of %u bytes", what, size);
        return nullptr;
    }
    uint32_t room = 0;
    char* p = m_sink->Allocate(size, &room);
    if (!p) {
        KXLOG(-1, "cannot allocate a %s buffer of %u bytes", what, size);
        return nullptr;
    }
    if (room < size) {
        KXLOG(-1, "%s buffer of %u bytes requested, only %u granted", what, size, room);
        m_sink->Free(p);
        return nullptr;
    }
    *granted = room;
    return p;
}

char* KXArchive::AllocateDataBuffer(unsigned size, unsigned* granted) {
    if (granted)
        *granted = 0;
    if (m_data) {
        KXLOG(2, "data buffer %p replaced before it was sent; giving it back", m_data);
        FreeDataBuffer();
    }
    uint32_t room = 0;
    m_data = AllocateFromSink(size, &room, "data");
    if (m_data && granted)
        *granted = room;
    return m_data;
}

int KXArchive::WriteDataBuffer(unsigned type, unsigned length) {
    if (!m_data) {
        KXLOG(-1, "record of type %u (%u bytes) sent without an allocated data buffer", type,
              length);
        return -1;
    }
    int rc = m_sink->Write(m_data, type, length);
    if (rc == 0)
        m_data = nullptr;
    return rc;
}

void KXArchive::FreeDataBuffer() {
    if (!m_data)
        return;
    m_sink->Free(m_data);
    m_data = nullptr;
}

char* KXArchive::allocateCmdBuffer(unsigned size) {
    if (m_cmd) {
        KXLOG(2, "command buffer %p replaced before it was sent; giving it back", m_cmd);
        freeCmdBuffer();
    }
    uint32_t room = 0;
    m_cmd = AllocateFromSink(size, &room, "command");
    return m_cmd;
}

int KXArchive::writeSyncBuffer(unsigned type, unsigned length) {
    if (!m_cmd) {
        KXLOG(-1, "command record of type %u sent without an allocated command buffer", type);
        return -1;
    }
    int rc = m_sink->Write(m_cmd, type, length);
    if (rc != 0) {
        KXLOG(-1, "command record of type %u (%u bytes) was not sent, status %d", type, length, rc);
        return rc;
    }
    m_cmd = nullptr;
    // The command takes effect only once the storage side has it: push it
    // out, and take the flush's result as the answer.
    rc = m_sink->Flush();
    if (rc != 0)
        KXLOG(-1, "no answer for command record of type %u, status %d", type, rc);
    return rc;
}

void KXArchive::freeCmdBuffer() {
    if (!m_cmd)
        return;
    m_sink->Free(m_cmd);
    m_cmd = nullptr;
}

void KXArchive::SetFileSignatureData(const char* text, int length) {
    if (!text || length < 0) {
        m_signature.clear();
        m_hasSignature = false;
        return;
    }
    m_signature.assign(text, static_cast<size_t>(length));
    m_hasSignature = true;
}
