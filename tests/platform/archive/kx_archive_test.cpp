// The buffer contract that the archive client and the pipeline layer share,
// run over both, and the archive client's synchronous command buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/archive/CPipelayer.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "support/LogCapture.h"

namespace {

// One held buffer at a time: allocate, send, free, and the buffer held.
class Front {
public:
    virtual ~Front() = default;
    virtual char* Allocate(unsigned size, unsigned* granted) = 0;
    virtual int Send(unsigned type, unsigned length) = 0;
    virtual void Free() = 0;
    virtual const char* Held() const = 0;
};

class ArchiveFront : public Front {
public:
    explicit ArchiveFront(RecordSink* sink) : m_a(sink) {}
    char* Allocate(unsigned size, unsigned* granted) override { return m_a.AllocateDataBuffer(size, granted); }
    int Send(unsigned type, unsigned length) override { return m_a.WriteDataBuffer(type, length); }
    void Free() override { m_a.FreeDataBuffer(); }
    const char* Held() const override { return m_a.CurrentDataBuffer(); }

private:
    KXArchive m_a;
};

class PipelayerFront : public Front {
public:
    explicit PipelayerFront(RecordSink* sink) : m_p(sink) {}
    char* Allocate(unsigned size, unsigned* granted) override { return m_p.AllocateDataBuffer(size, granted); }
    int Send(unsigned type, unsigned length) override { return m_p.SendDataBuffer(type, length); }
    void Free() override { m_p.FreeDataBuffer(); }
    const char* Held() const override { return m_p.GetCurrentTagDataPtr(); }

private:
    CPipelayer m_p;
};

using MakeFront = std::unique_ptr<Front> (*)(RecordSink*);

class BufferContract : public ::testing::TestWithParam<MakeFront> {
protected:
    std::unique_ptr<Front> Make(RecordSink* sink) { return GetParam()(sink); }
    testfiles::LogCapture m_log;
    MemoryRecordSink m_sink;
};

TEST_P(BufferContract, SendConsumesAndEveryFailureLeavesNoLeak) {
    {
        std::unique_ptr<Front> f = Make(&m_sink);
        unsigned granted = 0;
        char* p = f->Allocate(1160, &granted);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kRecordBufferAlignment, 0u);
        EXPECT_GE(granted, 1160u);
        EXPECT_EQ(f->Held(), p);
        memcpy(p, "header", 6);
        EXPECT_EQ(f->Send(128, 6), 0);
        EXPECT_EQ(f->Held(), nullptr);
        ASSERT_NE(f->Allocate(0, &granted), nullptr);  // a zero-byte record
        EXPECT_EQ(granted, 0u);
        EXPECT_EQ(f->Send(130, 0), 0);
        ASSERT_EQ(m_sink.RecordCount(), 2u);
        EXPECT_EQ(m_sink.RecordBytes(0), "header");
        EXPECT_EQ(m_sink.RecordType(1), 130u);
        EXPECT_TRUE(m_sink.RecordBytes(1).empty());

        // Nothing held: a send fails, a free is harmless.
        EXPECT_NE(f->Send(2, 0), 0);
        f->Free();
        EXPECT_EQ(m_sink.Frees(), 0u);

        // A failed send, or a length beyond the grant, leaves the buffer held.
        m_sink.FailWrite(m_sink.WriteCalls() + 1);
        p = f->Allocate(10, &granted);
        EXPECT_NE(f->Send(2, 10), 0);
        EXPECT_EQ(f->Held(), p);
        EXPECT_NE(f->Send(2, granted + 1), 0);
        EXPECT_EQ(m_sink.Outstanding(), 1u);
        f->Free();
        f->Free();
        EXPECT_EQ(m_sink.Frees(), 1u);
        EXPECT_EQ(m_sink.Outstanding(), 0u);

        // A failed allocation and a short grant both answer null.
        m_sink.FailAllocation(m_sink.AllocateCalls() + 1);
        granted = 5;
        EXPECT_EQ(f->Allocate(100, &granted), nullptr);
        EXPECT_EQ(granted, 0u);
        m_sink.ShortGrant(m_sink.AllocateCalls() + 1, 50);
        EXPECT_EQ(f->Allocate(100, &granted), nullptr);
        EXPECT_EQ(f->Held(), nullptr);
        EXPECT_EQ(m_sink.Outstanding(), 0u);

        // A new allocation gives the held buffer back; the destructor the last.
        ASSERT_NE(f->Allocate(100, &granted), nullptr);
        char* second = f->Allocate(200, &granted);
        EXPECT_EQ(f->Held(), second);
        EXPECT_EQ(m_sink.Outstanding(), 1u);
    }
    EXPECT_EQ(m_sink.Outstanding(), 0u);
    EXPECT_EQ(m_sink.RecordCount(), 2u);
    unsigned granted = 0;
    EXPECT_EQ(Make(nullptr)->Allocate(1, &granted), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Fronts, BufferContract,
    ::testing::Values([](RecordSink* s) -> std::unique_ptr<Front> { return std::make_unique<ArchiveFront>(s); },
                      [](RecordSink* s) -> std::unique_ptr<Front> { return std::make_unique<PipelayerFront>(s); }),
    [](const ::testing::TestParamInfo<MakeFront>& info) { return info.index == 0 ? "KXArchive" : "CPipelayer"; });

// A command waits for the storage side: the record is written and the sink
// flushed, and a failure of either is a failure of the command.
TEST(KXArchive, CommandBufferIsWrittenAndFlushed) {
    testfiles::LogCapture log;
    MemoryRecordSink sink;
    KXArchive archive(&sink);
    EXPECT_NE(archive.writeSyncBuffer(329, 4), 0);  // no buffer
    char* cmd = archive.allocateCmdBuffer(4);
    ASSERT_NE(cmd, nullptr);
    memcpy(cmd, "\0\0\0\1", 4);
    EXPECT_EQ(archive.writeSyncBuffer(329, 4), 0);
    EXPECT_EQ(sink.FlushCalls(), 1u);
    ASSERT_EQ(sink.RecordCount(), 1u);
    EXPECT_EQ(sink.RecordBytes(0), std::string("\0\0\0\1", 4));

    sink.FailWrite(2);
    ASSERT_NE(archive.allocateCmdBuffer(4), nullptr);
    EXPECT_NE(archive.writeSyncBuffer(329, 4), 0);
    EXPECT_EQ(sink.Outstanding(), 1u);  // held until freed
    archive.freeCmdBuffer();
    EXPECT_EQ(sink.Outstanding(), 0u);

    sink.FailFlush(2);  // the record went out, the answer did not come
    ASSERT_NE(archive.allocateCmdBuffer(4), nullptr);
    EXPECT_NE(archive.writeSyncBuffer(329, 4), 0);

    sink.ShortGrantAbove(4096);
    EXPECT_EQ(archive.allocateCmdBuffer(8192), nullptr);
    EXPECT_EQ(sink.Outstanding(), 0u);
}

}  // namespace
