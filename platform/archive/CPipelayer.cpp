#include "platform/archive/CPipelayer.h"

CPipelayer::CPipelayer(RecordSink* sink) : m_data(sink, "pipeline") {}

CPipelayer::~CPipelayer() = default;

char* CPipelayer::AllocateDataBuffer(unsigned size, unsigned* granted, bool acceptLess) {
    return m_data.Allocate(size, granted, acceptLess);
}

int CPipelayer::SendDataBuffer(unsigned type, unsigned length) { return m_data.Write(type, length); }

void CPipelayer::FreeDataBuffer() { m_data.Free(); }
