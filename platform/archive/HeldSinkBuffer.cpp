#include "platform/archive/HeldSinkBuffer.h"

#include "platform/agent/KxLog.h"

char* HeldSinkBuffer::Allocate(uint32_t size, uint32_t* granted, bool acceptLess) {
    if (granted)
        *granted = 0;
    if (m_data) {
        KXLOG(2, "%s buffer %p replaced before it was sent; giving it back", m_what, m_data);
        Free();
    }
    if (!m_sink) {
        KXLOG(-1, "no record sink for the %s buffer of %u bytes", m_what, size);
        return nullptr;
    }
    uint32_t room = 0;
    char* p = m_sink->Allocate(size, &room);
    if (!p) {
        KXLOG(-1, "cannot allocate a %s buffer of %u bytes", m_what, size);
        return nullptr;
    }
    if (room < size && !acceptLess) {
        KXLOG(-1, "%s buffer of %u bytes requested, only %u granted", m_what, size, room);
        m_sink->Free(p);
        return nullptr;
    }
    m_data = p;
    if (granted)
        *granted = room;
    return p;
}

int HeldSinkBuffer::Write(uint32_t type, uint32_t length) {
    if (!m_data) {
        KXLOG(-1, "record of type %u (%u bytes) sent without an allocated %s buffer", type, length, m_what);
        return -1;
    }
    int rc = m_sink->Write(m_data, type, length);
    if (rc == 0)
        m_data = nullptr;
    return rc;
}

void HeldSinkBuffer::Free() {
    if (!m_data)
        return;
    m_sink->Free(m_data);
    m_data = nullptr;
}
