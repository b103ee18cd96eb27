// Passes records to an archive stream file and counts the items whose
// end-of-item record has reached it, and their data bytes, so that after a
// write error the stream can say how far the archive got.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/archive/ArchiveStreamFormat.h"
#include "platform/archive/FileRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"

class ItemCountingSink : public RecordSink {
public:
    explicit ItemCountingSink(FileRecordSink& sink) : m_sink(sink) {}

    char* Allocate(uint32_t size, uint32_t* granted) override { return m_sink.Allocate(size, granted); }
    int Write(char* buffer, uint32_t type, uint32_t length) override {
        int r = m_sink.Write(buffer, type, length);
        if (r == 0) {
            m_accepted += kArchiveStreamFrameSize + length;
            if (type == PL_FS_DATA)
                m_dataAccepted += length;
            if (type == PL_FS_EOF || type == PL_FS_EOF_FAILED)
                m_itemEnds.push_back({m_accepted, m_dataAccepted});
        }
        Settle();
        return r;
    }
    void Free(char* buffer) override { m_sink.Free(buffer); }
    int Flush() override { return Settled(m_sink.Flush()); }
    int Close() override { return Settled(m_sink.Close()); }

    uint64_t WholeItemsWritten() const { return m_whole; }
    // Data bytes of those items.
    uint64_t WholeDataBytesWritten() const { return m_wholeData; }

private:
    int Settled(int r) {
        Settle();
        return r;
    }
    void Settle() {
        while (!m_itemEnds.empty() && m_itemEnds.front().offset <= m_sink.BytesWritten()) {
            m_wholeData = m_itemEnds.front().dataBytes;
            m_itemEnds.pop_front();
            ++m_whole;
        }
    }

    FileRecordSink& m_sink;
    struct ItemEnd {
        uint64_t offset;     // stream offset just after the item's end record
        uint64_t dataBytes;  // data bytes accepted up to it
    };
    uint64_t m_accepted = kArchiveStreamPreambleSize;
    uint64_t m_dataAccepted = 0;
    std::deque<ItemEnd> m_itemEnds;  // item ends not yet written
    uint64_t m_whole = 0;
    uint64_t m_wholeData = 0;
};
