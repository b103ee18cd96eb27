#include "platform/CPipelayer.h"

#include "platform/KxLog.h"

CPipelayer::CPipelayer(RecordSink* sink) : m_sink(sink) {}

CPipelayer::~CPipelayer() { FreeDataBuffer(); }

char* CPipelayer::AllocateDataBuffer(unsigned size, unsigned* granted) {
    if (granted)
        *granted = 0;
    if (m_data) {
        KXLOG(2, "pipeline buffer %p replaced before it was sent; giving it back", m_data);
        FreeDataBuffer();
    }
    if (!m_sink) {
        KXLOG(-1, "no record sink for a pipeline buffer of %u bytes", size);
        return nullptr;
    }
    uint32_t room = 0;
    char* p = m_sink->Allocate(size, &room);
    if (!p) {
        KXLOG(-1, "cannot allocate a pipeline buffer of %u bytes", size);
        return nullptr;
    }
    if (room < size) {
        KXLOG(-1, "pipeline buffer of %u bytes requested, only %u granted", size, room);
        m_sink->Free(p);
        return nullptr;
    }
    m_data = p;
    if (granted)
        *granted = room;
    return p;
}

int CPipelayer::SendDataBuffer(unsigned type, unsigned length) {
    if (!m_data) {
        KXLOG(-1, "record of type %u (%u bytes) sent without an allocated pipeline buffer", type,
              length);
        return -1;
    }
    int rc = m_sink->Write(m_data, type, length);
    if (rc == 0)
        m_data = nullptr;
    return rc;
}

void CPipelayer::FreeDataBuffer() {
    if (!m_data)
        return;
    m_sink->Free(m_data);
    m_data = nullptr;
}
