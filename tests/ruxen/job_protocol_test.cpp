// The parent-child protocol byte by byte: the argument block's layout, the
// name-mapping records, and the child's side fed through socket pairs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "mapping/FSTAVNameMapper.h"
#include "mapping/OBJServerTAVNameMapper.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/SnapMapRecord.h"
#include "support/ChildWire.h"
#include "support/ProcessState.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

BackupArgs StreamArgs() {
    BackupArgs a;
    a.streamNumber = 2;
    a.streamCount = 3;
    a.collectCount = 5;
    a.appType = 124;
    a.macProperties = true;
    a.archivePath = "/out/a";
    a.resultsPath = "/r";
    a.zonarkId = 2;
    a.appId = 7;
    a.snapEngine = 5;
    a.snapJobId = "42";
    a.proxyMapPath = "/m";
    a.nativeSnap = a.errorsNotTolerated = true;
    a.jobDir = "/job";
    a.longPath = true;
    a.catalog = a.noPrefetch = a.snapToTape = true;
    a.jobId = 123456789;
    return a;
}

TEST(BackupArgsBlock, LayoutRoundTripAndRefusals) {
    const std::string b = ArgsBlock(StreamArgs());
    ASSERT_EQ(3400u, b.size());
    EXPECT_EQ(std::string("RXBA\4\0\0\0\2\0\0\0\3\0\0\0\5\0\0\0\x99\7\0\0\x7c\0\0\0"
                          "\2\0\0\0\7\0\0\0\5\0\0\0\x15\xcd\x5b\x07\0\0\0\0",
                          48),
              b.substr(0, 48));
    EXPECT_EQ(std::string(64, '\0'), b.substr(48, 64));
    EXPECT_EQ(std::string("/out/a\0", 7), b.substr(112, 7));
    EXPECT_EQ('\0', b[648]);
    EXPECT_EQ(std::string("/r\0", 3), b.substr(1184, 3));
    EXPECT_EQ(std::string("/job\0", 5), b.substr(1720, 5));
    EXPECT_EQ('\0', b[2256]);
    EXPECT_EQ(std::string("42\0", 3), b.substr(2800, 3));
    EXPECT_EQ('\0', b[2832]);
    EXPECT_EQ(std::string("/m\0", 3), b.substr(2864, 3));

    plfsBackupArgs block;
    memcpy(&block, b.data(), sizeof block);
    BackupArgs back;
    std::string error;
    ASSERT_TRUE(DecodeBackupArgs(block, back, &error)) << error;
    EXPECT_EQ(ArgsBlock(back), b);
    EXPECT_TRUE(back.macProperties && !back.preserveAtime && back.longPath && back.nativeSnap &&
                back.errorsNotTolerated && !back.mountDetails && !back.ddbSubclient && back.catalog &&
                back.noPrefetch && back.snapToTape && back.jobId == 123456789);

    const std::function<void(plfsBackupArgs&)> spoil[] = {
        [](plfsBackupArgs& x) { x.magic[0] = 'r'; },
        [](plfsBackupArgs& x) { x.version = 1; },
        [](plfsBackupArgs& x) { x.streamNumber = 0; },
        [](plfsBackupArgs& x) { x.streamNumber = 4; },
        [](plfsBackupArgs& x) { x.collectCount = -1; },
        [](plfsBackupArgs& x) { x.switches = 0x800; },
        [](plfsBackupArgs& x) { x.snapJobId[0] = '\0'; },  // a snapshot-to-tape job without its snapshots
        [](plfsBackupArgs& x) { memset(x.snapJobId, '4', sizeof x.snapJobId); },
        [](plfsBackupArgs& x) { x.archivePath[0] = '\0'; },
        [](plfsBackupArgs& x) { memset(x.archivePath, 'a', sizeof x.archivePath); },
        [](plfsBackupArgs& x) { memset(x.resultsPath, 'a', sizeof x.resultsPath); },
        [](plfsBackupArgs& x) { memset(x.indexPath, 'a', sizeof x.indexPath); },
    };
    for (size_t i = 0; i < sizeof spoil / sizeof spoil[0]; ++i) {
        plfsBackupArgs bad = block;
        spoil[i](bad);
        EXPECT_FALSE(DecodeBackupArgs(bad, back, &error)) << i;
    }
    // A path is refused, never cut.
    BackupArgs longPath = StreamArgs();
    longPath.failuresPath = "/" + std::string(kArgPathSize - 2, 'f');
    EXPECT_TRUE(EncodeBackupArgs(longPath, block, &error));
    longPath.failuresPath += "f";
    EXPECT_FALSE(EncodeBackupArgs(longPath, block, &error));
    EXPECT_NE(std::string::npos, error.find("does not fit"));

    EXPECT_EQ("/o/a", StreamOutputPath("/o/a", 0, 3));
    EXPECT_EQ("/o/a.2", StreamOutputPath("/o/a", 2, 3));
    EXPECT_EQ("/o/a", StreamOutputPath("/o/a", 1, 1));
    EXPECT_EQ("/dev/null", StreamOutputPath("/dev/null", 2, 3));
    EXPECT_EQ("", StreamOutputPath("", 2, 3));  // no failures file stays none
}

struct RecordCase {
    const char* name;
    std::string bytes;
    int result;
    int err;
    size_t pairs;
};

// What the child makes of the records its parent sends.
TEST(MappingRecords, ReceivedThroughASocketPair) {
    const RecordCase cases[] = {
        {"NoRecords", I32(0), 0, 0, 0},
        {"NegativeCount", I32(-1), -1, EPROTO, 0},
        {"HugeCount", I32(kMaxSnapMapRecords + 1), -1, EPROTO, 0},
        {"TwoRecords", I32(2) + MapRecord("/home", "/snap/h") + MapRecord("/", "/snap/r"), 0, 0, 2},
        {"OldPathUnended", I32(1) + std::string(1024, 'a') + std::string(1024, '\0'), -1, EPROTO, 0},
        {"NewPathUnended", I32(1) + std::string(1024, '\0') + std::string(1024, 'b'), -1, EPROTO, 0},
        {"EndMidRecord", I32(2) + MapRecord("/a", "/b") + std::string(100, 'x'), -1, ENODATA, 1},
        {"EndInCount", std::string("\1\0", 2), -1, ENODATA, 0},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessStateGuard state;
        SocketPair cmd;
        cmd.Feed(c.bytes);
        RuxenBase job(BackupArgs{}, {});
        job.attachParent(cmd.b.get(), -1);
        FSTAVNameMapper mapper;
        errno = 0;
        EXPECT_EQ(c.result, job.receiveMappingInfo(&mapper));
        EXPECT_EQ(c.err, c.result ? errno : 0);
        EXPECT_EQ(c.pairs, mapper.pairs().size());
    }
}

// The parent writes exactly the records the child reads back; a path that
// does not fit a record stops the whole table before its count.
TEST(MappingRecords, SentAsWrittenOrNotAtAll) {
    ProcessStateGuard state;
    kx_contenttosnapmnt content;
    content.vSnapdevmntpath = {{"/", "/snap/root", "dev1"}, {"/home", "/snap/home", "dev2"}};
    RuxenBase sender(BackupArgs{}, {});
    sender.setSnapshotContent({content}, true);
    SocketPair wire;
    ChildInfo_t child;
    child.cmdFd = std::move(wire.a);
    ASSERT_EQ(0, sender.sendMappingInfo(child));
    const std::string sent = wire.Drain();
    EXPECT_EQ(I32(2) + MapRecord("/", "/snap/root") + MapRecord("/home", "/snap/home"), sent);

    SocketPair back;
    back.Feed(sent);
    RuxenBase receiver(BackupArgs{}, {});
    receiver.attachParent(back.b.get(), -1);
    FSTAVNameMapper mapper;
    ASSERT_EQ(0, receiver.receiveMappingInfo(&mapper));
    EXPECT_EQ("/snap/home/u/f", mapper.mapName("/home/u/f", nullptr));
    EXPECT_EQ("/snap/root/etc", mapper.mapName("/etc", nullptr));

    content.vSnapdevmntpath.push_back({"/" + std::string(1022, 'l'), "/snap/l", "dev3"});  // 1023 fits
    sender.setSnapshotContent({content}, true);
    EXPECT_EQ(0, sender.sendMappingInfo(child));
    EXPECT_EQ(4u + 3 * 2048, wire.Drain().size());
    content.vSnapdevmntpath.back().sSnapMntpath = "/" + std::string(1023, 's');
    sender.setSnapshotContent({content}, true);
    EXPECT_EQ(-1, sender.sendMappingInfo(child));
    EXPECT_EQ("", wire.Drain());
    sender.setSnapshotContent({content}, false);  // not a name-mapping job
    EXPECT_EQ(0, sender.sendMappingInfo(child));
    EXPECT_EQ(I32(0), wire.Drain());
}

// The job's name map file reaches every stream's name mapper, in this
// process or as records to each child.
TEST(MappingRecords, NameMapFileReachesEveryStream) {
    for (int streams : {1, 2}) {
        ProcessStateGuard state;
        TempDir dir("name_map");
        BackupArgs a;
        a.streamCount = streams;
        a.archivePath = "/dev/null";
        a.nameMapPath = dir / "names";
        WriteWholeFile(a.nameMapPath, "/home\t/snap/h\n");
        const std::string seen = dir / "seen";
        WriteWholeFile(seen, "");
        WriteWholeFile(dir / "c", "");
        RuxenBase job(a, {dir / "c", dir / "c"});
        job.setStreamFunction([&](RuxenBase& j, const BackupArgs&, const RuxenBase::NextCollect& next) {
            const std::string mapped = j.nameMapper()->mapName("/home/f", nullptr) + "\n";
            FILE* f = fopen(seen.c_str(), "a");
            fputs(mapped.c_str(), f);
            fclose(f);
            while (next() > 0) {
            }
            return StreamRun{};
        });
        EXPECT_EQ(0, streams > 1 ? job.parent() : job.singleProcess());
        EXPECT_EQ(streams > 1 ? "/snap/h/f\n/snap/h/f\n" : "/snap/h/f\n", ReadWholeFile(seen));
    }
}

struct ChildCase {
    const char* name;
    std::string input;            // what the parent sends
    int status;                   // child()'s exit status
    std::vector<int> handed;      // what the stream's `next` answered
    std::string messages;         // what the child sends
};

// The child's side in this process: a stream that takes every collect file
// it is given, and reports one item and 7 bytes per file.
TEST(ChildSide, AnswersEveryInput) {
    BackupArgs a = StreamArgs();
    a.streamNumber = 1;
    const std::string block = ArgsBlock(a);
    BackupArgs other = a;
    other.collectCount = 4;
    const std::string noMap = I32(0);
    const ChildCase cases[] = {
        {"TwoFilesThenNone", block + I32(1) + MapRecord("/home", "/snap/h") + Assignment(2) + Assignment(5) +
                                 Assignment(0),
         0, {2, 5, 0}, Message(1, 0) + Message(1, 2) + Message(1, 5) + EndMessage(2, 2, 14, 0)},
        {"BlockCut", block.substr(0, 1000), 1, {}, EndMessage(-2, 0, 0, 0)},
        {"OtherCollectCount", ArgsBlock(other) + noMap + Assignment(0), 1, {}, EndMessage(-2, 0, 0, 0)},
        {"MappingCut", block + I32(1) + std::string(10, '/'), 1, {}, EndMessage(-2, 0, 0, 0)},
        {"AssignmentCut", block + noMap + Assignment(3).substr(0, 10), 1, {-1}, Message(1, 0) + EndMessage(-2, 0, 0, 0)},
        {"NoSuchCollect", block + noMap + Assignment(6), 1, {-1}, Message(1, 0) + EndMessage(-2, 0, 0, 0)},
        {"FinishedFileGiven", block + noMap + Assignment(3, kRestartFinished), 1, {-1},
         Message(1, 0) + EndMessage(-2, 0, 0, 0)},
        {"ParentGoneMidStream", block + noMap + Assignment(4), 1, {4, -1},
         Message(1, 0) + Message(1, 4) + EndMessage(-2, 1, 7, 0)},
    };
    for (const ChildCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessStateGuard state;
        SocketPair cmd, msg;
        cmd.Feed(c.input);
        RuxenBase job(a, {"c1", "c2", "c3", "c4", "c5"});
        std::vector<int> handed;
        job.setStreamFunction([&](RuxenBase&, const BackupArgs& args, const RuxenBase::NextCollect& next) {
            EXPECT_EQ(1, args.streamNumber);
            StreamRun run;
            for (int n = 1; n > 0;) {
                handed.push_back(n = next());
                run.totals.items += n > 0;
            }
            run.totals.bytes = 7 * run.totals.items;
            run.failed = handed.back() < 0;
            return run;
        });
        EXPECT_EQ(c.status, job.child(cmd.b.get(), msg.a.get()));
        msg.a.Close();
        EXPECT_EQ(c.handed, handed);
        EXPECT_EQ(c.messages, msg.Drain());
        if (c.status == 0) {  // an object-store job: the plug-in's mapper, filled from the records
            EXPECT_NE(nullptr, dynamic_cast<OBJServerTAVNameMapper*>(job.nameMapper()));
            EXPECT_EQ("/snap/h/u", job.nameMapper()->mapName("/home/u", nullptr));
        }
    }
}

}  // namespace
