// Block-level volume items: extents under every kind of buffer grant, header
// fields, and the alternative view to the pipeline and to the index.
#include "ruxen/RuxenVolume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/CPipelayer.h"
#include "platform/IndexingConnection.h"
#include "platform/KXArchive.h"
#include "platform/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using Sizes = std::vector<size_t>;

// A volume sender through the archive client or the pipeline layer.
struct Volume {
    MemoryRecordSink sink;
    std::unique_ptr<KXArchive> archive;
    std::unique_ptr<CPipelayer> layer;
    std::unique_ptr<RuxenVolume> volume;
    explicit Volume(bool pipeline) {
        if (pipeline) {
            layer = std::make_unique<CPipelayer>(&sink);
            volume = std::make_unique<RuxenVolume>(layer.get());
        } else {
            archive = std::make_unique<KXArchive>(&sink);
            volume = std::make_unique<RuxenVolume>(archive.get());
        }
    }
    Sizes RecordSizes() const {
        Sizes s;
        for (size_t i = 0; i < sink.RecordCount(); ++i)
            s.push_back(sink.RecordBytes(i).size());
        return s;
    }
    std::string Data() const {
        std::string d;
        for (size_t i = 0; i < sink.RecordCount(); ++i)
            d += sink.RecordBytes(i);
        return d;
    }
};

TEST(RuxenVolume, ExtentsGoInWholeBlocksOfWhatIsGranted) {
    testfiles::ProcessStateGuard state;
    const std::string bytes = testfiles::pattern(10000);
    enum Grant { kExact, kOver16k, kShort1000, kWriteFails };
    struct Case {
        const char* what;
        Grant grant;
        int length;
        bool ok;
        Sizes sizes;
    } cases[] = {
        {"4096-byte grants", kExact, 10000, true, {4096, 4096, 1808}},
        {"16384-byte grants", kOver16k, 10000, true, {10000}},
        {"1000-byte grants", kShort1000, 10000, false, {}},
        {"second write fails", kWriteFails, 10000, false, {4096}},
        {"nothing", kExact, 0, true, {}},
        {"negative length", kExact, -1, false, {}},
    };
    for (bool pipeline : {false, true}) {
        for (const Case& c : cases) {
            Volume v(pipeline);
            if (c.grant == kOver16k)
                v.sink.OverGrant(16384);
            else if (c.grant == kShort1000)
                v.sink.ShortGrantAbove(1000);
            else if (c.grant == kWriteFails)
                v.sink.FailWrite(2);
            unsigned char* data = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()));
            EXPECT_EQ(c.ok, v.volume->SendExtent(data, c.length)) << c.what << pipeline;
            EXPECT_EQ(c.sizes, v.RecordSizes()) << c.what << pipeline;
            EXPECT_EQ(bytes.substr(0, v.Data().size()), v.Data()) << c.what << pipeline;
            EXPECT_EQ(0u, v.sink.Outstanding()) << c.what << pipeline;
            EXPECT_LE(v.sink.AllocateCalls(), 3u) << c.what << pipeline;  // a short grant ends the loop
        }
    }
    Volume v(false);
    EXPECT_FALSE(v.volume->SendExtent(nullptr, 10));
    EXPECT_EQ(0u, v.sink.AllocateCalls());
}

TEST(RuxenVolume, HeaderFields) {
    testfiles::ProcessStateGuard state;
    Volume v(true);
    v.volume->SetClientOS(7);
    ZXFileHeader h;
    ASSERT_TRUE(v.volume->FormatFileHeader("/vol/x", 0x10000, 5, false, &h));
    ASSERT_TRUE(v.volume->SendFileHeader(&h, nullptr));
    // Through the pipeline layer: the fixed part, the name and its NUL.
    const std::string expected("\0\0\0\x03\0\0\x50\xc0\0\0\0\0\0\0\0\x06"  // version, magic, nlink, namelen
                               "\0\0\0\0\0\0\x80\0"                       // mode: a file
                               "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
                               "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"           // file size 0 for a file
                               "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
                               "\0\0\0\0\0\x01\0\0"                       // data size
                               "\0\0\0\0\0\0\0\0\0\0\0\x2f\0\0\0\x03"
                               "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x07"  // client OS 7
                               "/vol/x\0",
                               139);
    ASSERT_EQ(1u, v.sink.RecordCount());
    EXPECT_EQ(expected, v.sink.RecordBytes(0));

    ASSERT_TRUE(v.volume->FormatFileHeader("/vol", 3, 5, true, &h));
    EXPECT_EQ(0x4000u, h.h_mode);
    EXPECT_EQ(5u, h.h_filesize);
    EXPECT_EQ(1ull << 44, h.h_platform_flags);
    // A name is never cut: 1024 characters fit, 2000 do not.
    ASSERT_TRUE(v.volume->FormatFileHeader(("/" + std::string(1023, 'v')).c_str(), 0, 0, false, &h));
    EXPECT_EQ(1024u, h.h_namelen);
    EXPECT_FALSE(v.volume->FormatFileHeader(("/" + std::string(1999, 'v')).c_str(), 0, 0, false, &h));
    EXPECT_FALSE(v.volume->FormatFileHeader("/vol", 0, 0, false, nullptr));
    EXPECT_FALSE(v.volume->SendFileHeader(nullptr, nullptr));
}

// Name, mode, sizes and hidden marks of the six items, in order.
struct ViewItem {
    std::string name;
    uint64_t mode, filesize, datasize, platform;
    uint32_t portable;
};

std::vector<ViewItem> ExpectedView() {
    const std::string g = std::string("/") + RuxenVolume::kViewFolder;
    const uint64_t hidden = 1ull << 39, dir = 1ull << 44;
    return {{"/", 0x4000, 0, 0, 0, 0},
            {g, 0x4000, 0, 0, hidden, 0x200},
            {g + "/VOLUMEVIEW", 0x4000, 0, 0, hidden, 0x200},
            {g + "/EXTENTVIEW", 0x4000, 0, 0, hidden, 0x200},
            {g + "/EXTENTVIEW/dev/sdb1", 0x4000, 77, 66, dir, 0},
            {g + "/VOLUMEVIEW/dev/sdb1", 0x4000, 77, 66, dir, 0}};
}

ViewItem ItemOf(std::string_view netHeader) {
    ZXFileHeader h;
    memcpy(static_cast<void*>(&h), netHeader.data(), std::min(netHeader.size(), sizeof h));
    ConvertZXFileHeaderToNetOrder(&h, &h);  // the conversion is its own inverse
    return {h.h_filename, h.h_mode, h.h_filesize, h.h_datasize, h.h_platform_flags, h.portable_flags};
}

void ExpectView(const std::vector<ViewItem>& got) {
    std::vector<ViewItem> want = ExpectedView();
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(want[i].name, got[i].name);
        EXPECT_EQ(want[i].mode, got[i].mode) << i;
        EXPECT_EQ(want[i].filesize, got[i].filesize) << i;
        EXPECT_EQ(want[i].datasize, got[i].datasize) << i;
        EXPECT_EQ(want[i].platform, got[i].platform) << i;
        EXPECT_EQ(want[i].portable, got[i].portable) << i;
    }
}

TEST(RuxenVolume, AlternativeViewToThePipelineOrToTheIndex) {
    testfiles::ProcessStateGuard state;
    Volume v(false);
    ASSERT_TRUE(v.volume->SendAlternativeView("/dev/sdb1", 66, 77, nullptr));
    std::vector<ViewItem> items;
    for (size_t i = 0; i < v.sink.RecordCount(); i += 2) {
        EXPECT_EQ(PL_FS_HEADER, v.sink.RecordType(i));
        ASSERT_EQ(PL_FS_EOF, v.sink.RecordType(i + 1));
        EXPECT_EQ(0u, v.sink.RecordBytes(i + 1).size());
        items.push_back(ItemOf(v.sink.RecordBytes(i)));
    }
    ExpectView(items);

    // With a connection: six index entries, nothing on the pipeline.
    IndexingConnection::ResetForTest();
    MemoryRecordSink indexSink;
    IndexingConnection conn(&indexSink);
    const ArchiveFileId_t afile{1, 2, 3};
    ASSERT_EQ(0, conn.initialize(2, 3, 33, 1, "tok", "/p", "ix", 0));
    ASSERT_EQ(0, conn.sendAfileInfo(&afile, false));
    Volume w(false);
    ASSERT_TRUE(w.volume->SendAlternativeView("/dev/sdb1", 66, 77, &conn));
    EXPECT_EQ(0u, w.sink.AllocateCalls());
    items.clear();
    for (size_t i = 2; i < indexSink.RecordCount(); ++i) {
        EXPECT_EQ(static_cast<uint32_t>(IDX_FILE), indexSink.RecordType(i));
        items.push_back(ItemOf(indexSink.RecordBytes(i).substr(4)));  // after the connection number
    }
    ExpectView(items);
    IndexingConnection::ResetForTest();
}

TEST(RuxenVolume, AlternativeViewStopsAtItsFirstFailure) {
    testfiles::ProcessStateGuard state;
    struct Case {
        const char* what;
        std::string volume;
        uint64_t failWrite, failAllocation;
        size_t records;
    } cases[] = {
        {"third header", "/dev/sdb1", 5, 0, 4},
        {"second end of item", "/dev/sdb1", 0, 4, 3},
        {"a volume path too long for a header", "/" + std::string(1999, 'v'), 0, 0, 8},
        {"no volume path", "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        Volume v(false);
        v.sink.FailWrite(c.failWrite);
        v.sink.FailAllocation(c.failAllocation);
        EXPECT_FALSE(v.volume->SendAlternativeView(c.volume, 1, 1, nullptr)) << c.what;
        EXPECT_EQ(c.records, v.sink.RecordCount()) << c.what;
        EXPECT_EQ(0u, v.sink.Outstanding()) << c.what;
    }
}

}  // namespace
