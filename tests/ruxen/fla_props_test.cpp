// File-level properties: the fields of the record for names, mounts, stubs
// and owners, what the process-wide caches save, and every failure giving
// its buffer back.
#include <gtest/gtest.h>

#include <sys/statfs.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/TestControl.h"
#include "platform/index/IdxMetadata.h"
#include "platform/os/SystemLookups.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"
#include "support/MemoryItem.h"
#include "support/MntTabFile.h"
#include "support/ProcessState.h"

namespace {

using namespace testfiles;
using IdxMetadata::FsData;

struct FlaFixture : ::testing::Test {
    void SetUp() override {
        ruxen::testcontrol::ResetFlaState();
        WriteWholeFile(dir / "item", "12345");
        ASSERT_EQ(0, mkdir((dir / "mnt").c_str(), 0755));
        ASSERT_EQ(0, mkdir((dir / "net").c_str(), 0755));
    }
    void TearDown() override { ruxen::testcontrol::ResetFlaState(); }

    // Sends the properties of the opened item under the header name `name`
    // and decodes them.
    FsData Send(MemoryItem& m, const std::string& name, bool stub) {
        ZXFileHeader& h = m.file.GetHeaderForUpdate();
        strcpy(h.h_filename, name.c_str());
        h.h_platform_flags = stub ? (h.h_platform_flags | ZX_HDR_FLAG_STUB) : (h.h_platform_flags & ~ZX_HDR_FLAG_STUB);
        m.sink.ClearRecords();
        EXPECT_TRUE(m.file.SendFLAProps()) << name;
        IdxMetadata::IdxMetaData msg;
        const char* why = "no record";
        EXPECT_TRUE(m.sink.RecordCount() == 1 && m.sink.RecordType(0) == PL_FS_IDX_METADATA &&
                    IdxMessage::Decode(m.sink.RecordBytes(0).data(), m.sink.RecordBytes(0).size(), &msg, &why))
            << why;
        return *msg.getSrmData()->getFsData();
    }
    static uint64_t BlockSize(const std::string& path) {
        struct statfs st;
        return statfs(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.f_bsize) : 0;
    }

    ProcessStateGuard state;
    TempDir dir;
    MntTabFile mounts{"/dev/vda / ext4 rw 0 0\n"
                      "tmpfs " + dir.path() + "/mnt/ tmpfs rw 0 0\n"
                      "/dev/vdb /nonexistent/gone ext4 rw 0 0\n"
                      "srv:/e " + dir.path() + "/net nfs rw 0 0\n"};
};

TEST_F(FlaFixture, FieldsOfNamesMountsOwnersAndStubs) {
    MemoryItem m;
    ASSERT_TRUE(m.Open(dir / "item"));
    const std::string d = dir.path();
    const uint64_t rootBlock = BlockSize("/"), mntBlock = BlockSize(d + "/mnt");
    struct Case {
        std::string name;
        bool stub;
        const char* ext;
        std::string mount;
        uint64_t size;
    } cases[] = {
        {d + "/mnt/a.tar.gz", false, "gz", d + "/mnt/", 5},
        {d + "/mnt/noext", true, "", d + "/mnt/", mntBlock},
        {d + "/mnt/sub/trail.", true, "", d + "/mnt/", mntBlock},  // asked once
        {d + "/mntx/d.ir/file", false, "", "/", 5},
        {"/top.txt", true, "txt", "/", rootBlock},
        {"/x.abcdefghijklmnopqrstuvwxy", false, "abcdefghijklmnopqrst", "/", 5},
        {"/x." + std::string(19, 'a') + "\xc3\xa9", false, "aaaaaaaaaaaaaaaaaaa", "/", 5},  // never half a character
        {"/nonexistent/gone/f", true, "", "/nonexistent/gone/", 512},  // statfs fails
        {d + "/net/f", true, "", d + "/net/", BlockSize(d + "/net")},
    };
    for (const Case& c : cases) {
        FsData fs = Send(m, c.name, c.stub);
        EXPECT_EQ(c.ext, fs.String(FsData::kExtension)) << c.name;
        EXPECT_EQ(c.mount, fs.String(FsData::kMountDir)) << c.name;
        EXPECT_EQ(static_cast<int64_t>(c.size), fs.Int(FsData::kSize)) << c.name;
        EXPECT_EQ(c.stub ? FsData::kFlagStub : 0, fs.Int(FsData::kFlags)) << c.name;
        EXPECT_EQ("root", fs.String(FsData::kOwnerName));
        EXPECT_EQ(static_cast<int64_t>(m.file.GetStat().st_mode), fs.Int(FsData::kMode));
    }
    EXPECT_EQ(std::string(m.file.GetHeader().h_filename), d + "/net/f");  // the header keeps its name
    EXPECT_EQ(4u, SystemLookups::GetCounts().statfs);  // each mount once, when a stub first needs it

    // An owner without a name is "unknown" and asked again for the next
    // item; a found one was asked once. A sparse file is marked before its
    // holes are read.
    ASSERT_EQ(0, chown((dir / "item").c_str(), 4000000, 4000001));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(m.Open(dir / "item"));
        FsData fs = Send(m, dir / "item", false);
        EXPECT_EQ("unknown", fs.String(FsData::kOwnerName));
        EXPECT_EQ("unknown", fs.String(FsData::kGroupName));
        EXPECT_EQ(4000001, fs.Int(FsData::kGroupId));
    }
    EXPECT_EQ(3u, SystemLookups::GetCounts().users);
    EXPECT_EQ(3u, SystemLookups::GetCounts().groups);
    WriteSparse(dir / "sparse", 1 << 20, {{0, "x"}});
    if (ReportsHoles(dir.path()) && m.Open(dir / "sparse")) {
        EXPECT_EQ(FsData::kFlagSparse, Send(m, dir / "sparse", false).Int(FsData::kFlags));
    }
}

TEST_F(FlaFixture, SkippedAndAlternateReaderBlockSizes) {
    KXPlatformInfo::setValue(kFileSystemAgentSection, kRegSkipNonLocalMountDetails, "");
    MemoryItem m;
    ASSERT_TRUE(m.Open(dir / "item"));
    EXPECT_EQ(512, Send(m, dir / "net/f", true).Int(FsData::kSize));
    ruxen::testcontrol::ResetFlaState();
    m.file.SettingsForUpdate().alternateReader = 1;
    EXPECT_EQ(0x4000000, Send(m, "/x", true).Int(FsData::kSize));
    EXPECT_EQ(512, Send(m, dir / "mnt/x", true).Int(FsData::kSize));
    EXPECT_EQ(0u, SystemLookups::GetCounts().statfs);
}

TEST_F(FlaFixture, PairsAndEveryFailureGiveTheirBufferBack) {
    MemoryItem m;
    ASSERT_TRUE(m.Open(dir / "item"));
    char value[] = "v1";
    ASSERT_TRUE(m.file.SendFLAIndexingMetaDataProp(0x5FABB978, value, 0));
    EXPECT_EQ(std::string("P\0\x5f\xab\xb9\x78\0\0\0\x02v1", 12), m.Record(0));

    std::string big(4096, 'v');
    EXPECT_FALSE(m.file.SendFLAIndexingMetaDataProp(0, value, 0));
    EXPECT_FALSE(m.file.SendFLAIndexingMetaDataProp(-3, value, 0));
    EXPECT_FALSE(m.file.SendFLAIndexingMetaDataProp(7, &big[0], 0));
    EXPECT_TRUE(m.file.SendFLAIndexingMetaDataProp(7, &big[1], 0));  // 4095 bytes fit
    for (int fault = 0; fault < 4; ++fault) {
        m.sink.FailAllocation(fault % 2 == 0 ? m.sink.AllocateCalls() + 1 : 0);
        m.sink.FailWrite(fault % 2 == 1 ? m.sink.WriteCalls() + 1 : 0);
        EXPECT_FALSE(fault < 2 ? m.file.SendFLAProps() : m.file.SendFLAIndexingMetaDataProp(7, value, 0));
        EXPECT_EQ(0u, m.sink.Outstanding());
    }
    EXPECT_EQ(-1, m.file.GetFailureCode());
}

}  // namespace
