// Block-level volume items: extents under every kind of buffer grant, header
// fields, and the alternative view to the pipeline and to the index.
#include "platform/base/TestControl.h"
#include "ruxen/RuxenVolume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/archive/CPipelayer.h"
#include "platform/index/IndexingConnection.h"
#include "platform/archive/KXArchive.h"
#include "platform/archive/MemoryRecordSink.h"
#include "ruxen/PipelineRecordTypes.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using Sizes = std::vector<size_t>;

// A volume sender through the archive client or the pipeline layer.
struct Volume {
    MemoryRecordSink sink;
    KXArchive archive{&sink};
    CPipelayer layer{&sink};
    RuxenVolume viaArchive{&archive}, viaLayer{&layer};
    RuxenVolume* volume;
    explicit Volume(bool pipeline) : volume(pipeline ? &viaLayer : &viaArchive) {}
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
            v.sink.OverGrant(c.grant == kOver16k ? 16384 : 0);
            v.sink.ShortGrantAbove(c.grant == kShort1000 ? 1000 : 0);
            v.sink.FailWrite(c.grant == kWriteFails ? 2 : 0);
            unsigned char* in = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()));
            EXPECT_EQ(c.ok, v.volume->SendExtent(in, c.length)) << c.what << pipeline;
            Sizes sizes;
            std::string data;
            for (size_t i = 0; i < v.sink.RecordCount(); ++i) {
                sizes.push_back(v.sink.RecordBytes(i).size());
                data += v.sink.RecordBytes(i);
            }
            EXPECT_EQ(c.sizes, sizes) << c.what << pipeline;
            EXPECT_EQ(bytes.substr(0, data.size()), data) << c.what << pipeline;
            EXPECT_EQ(0u, v.sink.Outstanding()) << c.what << pipeline;
            EXPECT_LE(v.sink.AllocateCalls(), 3u) << c.what << pipeline;  // a short grant ends the loop
        }
    }
    Volume v(false);
    EXPECT_FALSE(v.volume->SendExtent(nullptr, 10));
    EXPECT_EQ(0u, v.sink.AllocateCalls());
}

// The six items, in order: name, mode, file size, data size, platform and
// portable flags.
std::vector<std::string> ExpectedView() {
    const std::string g = std::string("/") + RuxenVolume::kViewFolder;
    return {"/ 4000 0 0 0 0",
            g + " 4000 0 0 8000000000 200",
            g + "/VOLUMEVIEW 4000 0 0 8000000000 200",
            g + "/EXTENTVIEW 4000 0 0 8000000000 200",
            g + "/EXTENTVIEW/dev/sdb1 4000 77 66 100000000000 0",
            g + "/VOLUMEVIEW/dev/sdb1 4000 77 66 100000000000 0"};
}

std::string ItemOf(std::string_view netHeader) {
    ZXFileHeader h;
    memcpy(static_cast<void*>(&h), netHeader.data(), std::min(netHeader.size(), sizeof h));
    ConvertZXFileHeaderToNetOrder(&h, &h);  // the conversion is its own inverse
    char text[64];
    snprintf(text, sizeof text, " %llx %llu %llu %llx %x", static_cast<unsigned long long>(h.h_mode),
             static_cast<unsigned long long>(h.h_filesize), static_cast<unsigned long long>(h.h_datasize),
             static_cast<unsigned long long>(h.h_platform_flags), h.portable_flags);
    return h.h_filename + std::string(text);
}

TEST(RuxenVolume, HeaderFields) {
    testfiles::ProcessStateGuard state;
    Volume v(true);
    ZXFileHeader h;
    ASSERT_TRUE(v.volume->FormatFileHeader("/vol/x", 0x10000, 5, false, &h));
    ASSERT_TRUE(v.volume->SendFileHeader(&h, nullptr));
    // Through the pipeline layer: the fixed part, the name and its NUL; a
    // file's size is 0, its data size the one given.
    ASSERT_EQ(1u, v.sink.RecordCount());
    EXPECT_EQ(139u, v.sink.RecordBytes(0).size());
    EXPECT_EQ("/vol/x 8000 0 65536 0 0", ItemOf(v.sink.RecordBytes(0)));
    // A name is never cut: 1024 characters fit, 2000 do not.
    ASSERT_TRUE(v.volume->FormatFileHeader(("/" + std::string(1023, 'v')).c_str(), 0, 0, false, &h));
    EXPECT_EQ(1024u, h.h_namelen);
    EXPECT_FALSE(v.volume->FormatFileHeader(("/" + std::string(1999, 'v')).c_str(), 0, 0, false, &h));
    EXPECT_FALSE(v.volume->FormatFileHeader("/vol", 0, 0, false, nullptr));
    EXPECT_FALSE(v.volume->SendFileHeader(nullptr, nullptr));
}

TEST(RuxenVolume, AlternativeViewToThePipelineOrToTheIndex) {
    testfiles::ProcessStateGuard state;
    Volume v(false);
    ASSERT_TRUE(v.volume->SendAlternativeView("/dev/sdb1", 66, 77, nullptr));
    std::vector<std::string> items;
    for (size_t i = 0; i + 1 < v.sink.RecordCount(); i += 2) {
        EXPECT_EQ(PL_FS_HEADER, v.sink.RecordType(i));
        EXPECT_EQ(PL_FS_EOF, v.sink.RecordType(i + 1));
        items.push_back(ItemOf(v.sink.RecordBytes(i)));
    }
    EXPECT_EQ(ExpectedView(), items);

    // With a connection: six index entries, nothing on the pipeline.
    ruxen::testcontrol::ResetIndexingConnections();
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
    EXPECT_EQ(ExpectedView(), items);
    ruxen::testcontrol::ResetIndexingConnections();
}

TEST(RuxenVolume, AlternativeViewStopsAtItsFirstFailure) {
    testfiles::ProcessStateGuard state;
    struct Case {
        std::string volume;
        uint64_t failWrite, failAllocation;
        size_t records;
    } cases[] = {
        {"/dev/sdb1", 5, 0, 4},                     // the third header's write
        {"/dev/sdb1", 0, 4, 3},                     // the second end of item's buffer
        {"/" + std::string(1999, 'v'), 0, 0, 8},  // too long for the volume's headers
        {"", 0, 0, 0},
    };
    for (const Case& c : cases) {
        Volume v(false);
        v.sink.FailWrite(c.failWrite);
        v.sink.FailAllocation(c.failAllocation);
        EXPECT_FALSE(v.volume->SendAlternativeView(c.volume, 1, 1, nullptr)) << c.records;
        EXPECT_EQ(c.records, v.sink.RecordCount() + v.sink.Outstanding());
    }
}

}  // namespace
