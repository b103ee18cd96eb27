// The stream pass reading items through the file reader: AppleDouble
// companions, direct I/O, tiered-storage stubs and the time rule, checked
// on the records that reach the archive.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "errorpolicy/ErrorController.h"
#include "platform/DlpBackupReader.h"
#include "platform/FileNameEscape.h"
#include "platform/HookFiles.h"
#include "platform/KXArchive.h"
#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "platform/MemoryRecordSink.h"
#include "platform/ReparseData.h"
#include "platform/ZXHSMLowLevel.h"
#include "platform/ZXHeaderByteOrder.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"
#include "ruxen/StreamBackupPass.h"
#include "ruxen/ZXFileHeader.h"
#include "support/AppleDoubleBuilder.h"
#include "support/TestFiles.h"

namespace {

using testfiles::ADEntry;
using testfiles::buildAppleDouble;
using testfiles::companionOf;
using testfiles::pattern;
using testfiles::TempDir;
using testfiles::WriteWholeFile;

// What one item put on the stream.
struct ItemRecords {
    ZXFileHeader header;
    std::string data;  // data records, holes as zeros
    uint32_t endType = 0;
    std::vector<uint32_t> types;
};

class ReaderDataPath : public ::testing::Test {
protected:
    void SetUp() override {
        KXPlatformInfo::resetForTest();
        HookFiles::SetDirectoryForTest(m_hooks.path());
        ZXHSMTestState::Reset();
        DlpBackupReader::ResetForTest();
        ErrorController::resetForTest();
        KxLog::StartCapture();
    }
    void TearDown() override {
        KxLog::StopCapture();
        HookFiles::SetDirectoryForTest("");
        KXPlatformInfo::resetForTest();
        ZXHSMTestState::Reset();
        DlpBackupReader::ResetForTest();
        ErrorController::resetForTest();
    }

    // Backs up `paths` through `file` and splits the records by item.
    std::vector<ItemRecords> Run(RuxenFile& file, const std::vector<std::string>& paths,
                                 StreamBackupPass::Result expect = StreamBackupPass::kCollectDone) {
        std::string text;
        for (const std::string& p : paths)
            text += ruxen::escapeFileName(p.c_str()) + "\n";
        CollectFileReader reader;
        reader.OpenMemory("collect", text);
        StreamBackupPass pass(file, nullptr);
        EXPECT_EQ(pass.RunDataLoop(reader), expect);
        std::vector<ItemRecords> items;
        for (size_t i = 0; i < m_sink.RecordCount(); ++i) {
            uint32_t type = m_sink.RecordType(i);
            std::string_view bytes = m_sink.RecordBytes(i);
            if (type == PL_FS_HEADER) {
                items.emplace_back();
                memcpy(&items.back().header, bytes.data(), std::min(bytes.size(), sizeof(ZXFileHeader)));
                ConvertZXFileHeaderByteOrder(&items.back().header);
            }
            if (items.empty()) {
                ADD_FAILURE() << "record " << type << " before any header";
                continue;
            }
            ItemRecords& it = items.back();
            it.types.push_back(type);
            if (type == PL_FS_DATA)
                it.data.append(bytes.data(), bytes.size());
            else if (type == PL_FS_HOLE) {
                uint32_t n;
                memcpy(&n, bytes.data(), 4);
                it.data.append(ntohl(n), '\0');
            } else if (type == PL_FS_EOF || type == PL_FS_EOF_FAILED)
                it.endType = type;
        }
        return items;
    }

    TempDir m_dir{"reader_path_test"};
    TempDir m_hooks{"reader_path_hooks"};
    MemoryRecordSink m_sink;
    KXArchive m_archive{&m_sink};
};

TEST_F(ReaderDataPath, MacPropertiesFollowTheDataOnlyWhenACompanionExists) {
    const std::string withCompanion = m_dir / "doc", plain = m_dir / "plain";
    const std::string data = pattern(5000, 1), rsrc = pattern(1000, 2), finder = pattern(32, 3);
    WriteWholeFile(withCompanion, data);
    WriteWholeFile(companionOf(withCompanion), buildAppleDouble({{2, rsrc}, {9, finder}}));
    WriteWholeFile(plain, pattern(777, 4));

    RuxenFile file(&m_archive);
    file.SetBackupMacProperties(true);
    std::vector<ItemRecords> items = Run(file, {withCompanion, plain});
    ASSERT_EQ(items.size(), 2u);

    const ItemRecords& a = items[0];
    EXPECT_EQ(a.header.h_filesize, 5000u + 1000u + 92u);
    EXPECT_EQ(a.header.h_datasize, 5000u);
    EXPECT_EQ(a.header.h_isHFS, 0x11u);  // companion, no HFS properties entry
    EXPECT_TRUE(a.header.portable_flags & ZXFLAG_APPLE_DOUBLE);
    EXPECT_EQ(a.endType, PL_FS_EOF);
    ASSERT_EQ(a.data.size(), 5000u + 1000u + 92u);
    EXPECT_TRUE(a.data.compare(0, 5000, data) == 0);
    EXPECT_TRUE(a.data.compare(5000, 1000, rsrc) == 0);
    EXPECT_EQ(a.data.substr(6000, 60), std::string(60, '\0'));
    EXPECT_TRUE(a.data.compare(6060, 32, finder) == 0);

    // No companion: the file ends at its data, with no properties block.
    const ItemRecords& b = items[1];
    EXPECT_EQ(b.header.h_filesize, 777u);
    EXPECT_EQ(b.header.h_isHFS, 0u);
    EXPECT_FALSE(b.header.portable_flags & ZXFLAG_APPLE_DOUBLE);
    EXPECT_EQ(b.data, pattern(777, 4));
    EXPECT_EQ(b.endType, PL_FS_EOF);
}

TEST_F(ReaderDataPath, SparseDataForkBeforeTheMacProperties) {
    const std::string path = m_dir / "sparse";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string head = pattern(4096, 5);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), 4096);
    ASSERT_EQ(ftruncate(fd, 8 << 20), 0);  // ends in a hole
    close(fd);
    const std::string rsrc = pattern(300, 6);
    WriteWholeFile(companionOf(path), buildAppleDouble({{2, rsrc}}));

    RuxenFile file(&m_archive);
    file.SetBackupMacProperties(true);
    std::vector<ItemRecords> items = Run(file, {path});
    ASSERT_EQ(items.size(), 1u);
    const ItemRecords& it = items[0];
    ASSERT_EQ(it.data.size(), (8u << 20) + 300u + 92u);
    EXPECT_TRUE(it.data.compare(0, 4096, head) == 0);
    EXPECT_EQ(it.data.find_first_not_of('\0', 4096), (8u << 20));
    EXPECT_TRUE(it.data.compare(8u << 20, 300, rsrc) == 0);
    EXPECT_NE(std::find(it.types.begin(), it.types.end(), PL_FS_HOLE), it.types.end());
}

TEST_F(ReaderDataPath, DirectIOReadsTheSameBytes) {
    KXPlatformInfo::setValue("FileSystemAgent", "nUseDirectIO", "1");
    const std::string big = m_dir / "big", small = m_dir / "small", sparse = m_dir / "holes";
    WriteWholeFile(big, pattern(3 * 1024 * 1024 + 123, 7));
    WriteWholeFile(small, pattern(10, 8));
    int fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string tail = pattern(5000, 9);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), 40 << 20), 5000);
    close(fd);

    RuxenFile file(&m_archive);
    ASSERT_TRUE(file.GetReaderContext().ShouldUseDirectIO());
    std::vector<ItemRecords> items = Run(file, {big, small, sparse});
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[0].data == pattern(3 * 1024 * 1024 + 123, 7));
    EXPECT_EQ(items[1].data, pattern(10, 8));
    ASSERT_EQ(items[2].data.size(), (40u << 20) + 5000u);
    EXPECT_TRUE(items[2].data.compare(40u << 20, 5000, tail) == 0);
    for (const ItemRecords& it : items)
        EXPECT_EQ(it.endType, PL_FS_EOF);
}

TEST_F(ReaderDataPath, StubsSendTheirOwnBytesUnderTheFilesSize) {
    ZXHSMTestState::AddTieredMount(m_dir.path());
    const std::string stubPath = m_dir / "stub", plain = m_dir / "plain";
    WriteWholeFile(stubPath, pattern(3000, 10));
    WriteWholeFile(plain, pattern(2000, 11));
    ReparseData rd;
    rd.kind = 2;
    rd.appGuid = "APP";
    rd.dataGuid = "DATA";
    rd.appId = 7;
    rd.recordedSize = 123456;
    const std::vector<char> stub = BuildStubData(rd);
    ZXHSMTestState::MarkStub(stubPath, stub);

    RuxenFile file(&m_archive);
    file.SetTurboMode(true);  // driver-less stub handling
    std::vector<ItemRecords> items = Run(file, {stubPath, plain});
    ASSERT_EQ(file.GetReaderContext().GetUseDriver(), 2);
    ASSERT_EQ(items.size(), 2u);
    const ItemRecords& s = items[0];
    EXPECT_EQ(s.header.h_filesize, 123456u);  // the recorded size
    EXPECT_TRUE(s.header.portable_flags & ZXFLAG_STUB);
    EXPECT_TRUE(s.header.portable_flags & ZXFLAG_WENDAX_STUB_WITH_GUID);
    EXPECT_TRUE(s.header.h_platform_flags & ZX_HDR_FLAG_STUB);
    EXPECT_EQ(s.data, std::string(stub.begin(), stub.end()));
    EXPECT_EQ(s.endType, PL_FS_EOF);

    const ItemRecords& p = items[1];
    EXPECT_FALSE(p.header.portable_flags & ZXFLAG_STUB);
    EXPECT_FALSE(p.header.h_platform_flags & ZX_HDR_FLAG_STUB);
    EXPECT_EQ(p.data, pattern(2000, 11));
}

TEST_F(ReaderDataPath, AccessTimeIsPutBackButNotTheModificationTime) {
    const std::string path = m_dir / "timed";
    WriteWholeFile(path, pattern(100, 12));
    struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    RuxenFile file(&m_archive);
    file.SetPreserveAccessTimes(true);
    std::vector<ItemRecords> items = Run(file, {path});
    ASSERT_EQ(items.size(), 1u);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 1500000000);
    EXPECT_EQ(st.st_mtime, 1600000000);
}

TEST_F(ReaderDataPath, FifoGetsAHeaderWithoutDataAndDoesNotHang) {
    // Nobody writes to the FIFO: an open or read that blocked would hang
    // the stream, so an alarm fails the test instead of the whole run.
    const std::string fifo = m_dir / "fifo", after = m_dir / "after";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    WriteWholeFile(after, "after");
    RuxenFile file(&m_archive);
    alarm(20);
    std::vector<ItemRecords> items = Run(file, {fifo, after});
    alarm(0);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_TRUE(S_ISFIFO(items[0].header.h_mode));
    EXPECT_EQ(items[0].header.h_filesize, 0u);
    EXPECT_EQ(items[0].data, "");
    EXPECT_EQ(items[0].endType, PL_FS_EOF);
    EXPECT_EQ(items[1].data, "after");
}

}  // namespace
