// The job's arguments as the parent sends them to each child once, and the
// decoded form the job object works with.
//
// plfsBackupArgs, 3400 bytes, numbers in host byte order:
//
//   offset  size  field
//   0       4     magic "RXBA"
//   4       4     version (kPlfsBackupArgsVersion)
//   8       4     stream number, from 1
//   12      4     stream count
//   16      4     collect files of the job
//   20      4     switches (kArgMacProperties ... kArgErrorsNotTolerated, kArgCatalog,
//                 kArgNoPrefetch, kArgSnapToTape)
//   24      4     application type
//   28      4     zonark id of the application
//   32      4     application id
//   36      4     snapshot engine
//   40      8     job id (0: none given)
//   48      64    zero
//   112     536   archive path, NUL-terminated
//   648     536   failures file path ("" none)
//   1184    536   results file path ("" none)
//   1720    536   job results directory ("" none)
//   2256    536   index file path ("" none)
//   2792    8     zero
//   2800    32    snapshot job id ("" none: not a snapshot job)
//   2832    32    replication job id ("" none)
//   2864    536   proxy map file path ("" none)
//
// The paths are the job's; each stream writes to its own copy of them
// (StreamOutputPath). A path that does not fit its field is refused, never
// cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/Export.h"

constexpr char kPlfsBackupArgsMagic[4] = {'R', 'X', 'B', 'A'};
constexpr uint32_t kPlfsBackupArgsVersion = 4;
constexpr uint32_t kArgMacProperties = 0x1;
constexpr uint32_t kArgPreserveAtime = 0x2;
constexpr uint32_t kArgFlaProps = 0x4;  // file-level properties for the resource report
constexpr uint32_t kArgLongPath = 0x8;
constexpr uint32_t kArgNativeSnap = 0x10;
constexpr uint32_t kArgMountDetails = 0x20;
constexpr uint32_t kArgDdbSubclient = 0x40;
constexpr uint32_t kArgErrorsNotTolerated = 0x80;
constexpr uint32_t kArgCatalog = 0x100;     // catalog only: entries to the index file, no data
constexpr uint32_t kArgNoPrefetch = 0x200;  // no prefetch of cold items (CollectPrefetcher)
constexpr uint32_t kArgSnapToTape = 0x400;  // a snapshot-to-tape job (needs a snapshot job id)
constexpr size_t kArgPathSize = 536;

struct plfsBackupArgs {
    char magic[4];
    uint32_t version;
    int32_t streamNumber;
    int32_t streamCount;
    int32_t collectCount;
    uint32_t switches;
    uint32_t appType;
    uint32_t zonarkId;
    uint32_t appId;
    int32_t snapEngine;
    uint64_t jobId;
    uint8_t reserved[64];
    char archivePath[kArgPathSize];
    char failuresPath[kArgPathSize];
    char resultsPath[kArgPathSize];
    char jobDir[kArgPathSize];
    char indexPath[kArgPathSize];
    uint8_t reserved2[8];
    char snapJobId[32];
    char replicationJobId[32];
    char proxyMapPath[kArgPathSize];
};

static_assert(sizeof(plfsBackupArgs) == 3400, "plfsBackupArgs is 3400 bytes");
static_assert(offsetof(plfsBackupArgs, zonarkId) == 28 && offsetof(plfsBackupArgs, snapEngine) == 36 &&
                  offsetof(plfsBackupArgs, jobId) == 40 && offsetof(plfsBackupArgs, reserved) == 48 &&
                  offsetof(plfsBackupArgs, snapJobId) == 2800 && offsetof(plfsBackupArgs, replicationJobId) == 2832 &&
                  offsetof(plfsBackupArgs, proxyMapPath) == 2864,
              "plfsBackupArgs mapping field offsets");
static_assert(offsetof(plfsBackupArgs, streamNumber) == 8 && offsetof(plfsBackupArgs, appType) == 24 &&
                  offsetof(plfsBackupArgs, archivePath) == 112 && offsetof(plfsBackupArgs, failuresPath) == 648 &&
                  offsetof(plfsBackupArgs, resultsPath) == 1184 && offsetof(plfsBackupArgs, jobDir) == 1720 &&
                  offsetof(plfsBackupArgs, indexPath) == 2256,
              "plfsBackupArgs field offsets");

// The job's options as the host program parsed them, and the stream they
// are for.
struct BackupArgs {
    int streamNumber = 0;  // 1.. in a child; 0 in the single-process run
    int streamCount = 1;   // 1: the single-process run
    int collectCount = 0;
    unsigned long long jobId = 0;  // the job's id (0: none given)
    uint32_t appType = 0;
    bool macProperties = false;
    bool preserveAtime = false;
    bool flaProps = false;  // the subclient's data collection for the resource report
    bool longPath = false;  // long paths go under substitute names
    bool catalog = false;   // headers and metadata to the index file only
    bool noPrefetch = false;
    std::string archivePath;   // "-": standard output (single-process run)
    std::string failuresPath;  // "" none
    std::string resultsPath;   // "" none
    std::string jobDir;        // the job results directory ("" none)
    std::string indexPath;     // the index file ("" none)

    // The job's application and how its recorded paths map to local ones.
    uint32_t zonarkId = 0;  // with appId: "zonark:application"
    uint32_t appId = 0;
    std::string snapJobId;  // "" none; else a snapshot job
    int32_t snapEngine = 0;
    // A snapshot-to-tape job (with snapJobId): its collect files name the
    // paths where the scan found the snapshots, and "hwsnapInfo.kxf" in the
    // collect directory (SnapMappingFile) says where they were mounted then.
    bool snapToTape = false;
    std::string proxyMapPath;      // "recorded<TAB>local" lines ("" none)
    std::string nameMapPath;       // "old<TAB>new" lines; the parent sends them as mapping records
    std::string replicationJobId;  // "" none
    bool nativeSnap = false;       // "nativeSnapMapInfo.kxf" beside the first collect file
    bool mountDetails = false;     // the mount points go into the headers
    bool ddbSubclient = false;     // a deduplication-database subclient
    bool errorsNotTolerated = false;
};

// The output file of stream `stream` of `count` for the job's `path`: the
// path itself for a single stream, a character device (/dev/null) or no
// path (""), else path + "." + stream.
RUXEN_EXPORT std::string StreamOutputPath(const std::string& path, int stream, int count);

// false with a message when a path does not fit its field.
bool EncodeBackupArgs(const BackupArgs& in, plfsBackupArgs& out, std::string* error);
// false with a message for a block this version cannot take: wrong magic
// or version, a path without its NUL, an empty archive path, a stream
// number outside 1..count, a negative collect count, unknown switches, a
// snapshot-to-tape job without a snapshot job id.
bool DecodeBackupArgs(const plfsBackupArgs& in, BackupArgs& out, std::string* error);
