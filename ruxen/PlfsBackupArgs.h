// The job's arguments as the parent sends them to each child once, and the
// decoded form the job object works with.
//
// plfsBackupArgs, 2800 bytes, numbers in host byte order:
//
//   offset  size  field
//   0       4     magic "RXBA"
//   4       4     version (kPlfsBackupArgsVersion)
//   8       4     stream number, from 1
//   12      4     stream count
//   16      4     collect files of the job
//   20      4     switches (kArgMacProperties, kArgPreserveAtime, kArgFlaProps,
//                 kArgNoPrefetch)
//   24      4     application type
//   28      84    zero
//   112     896   archive path, NUL-terminated
//   1008    896   failures file path ("" none)
//   1904    896   results file path ("" none)
//
// The paths are the job's; each stream writes to its own copy of them
// (StreamOutputPath). A path that does not fit its field is refused, never
// cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Export.h"

constexpr char kPlfsBackupArgsMagic[4] = {'R', 'X', 'B', 'A'};
constexpr uint32_t kPlfsBackupArgsVersion = 1;
constexpr uint32_t kArgMacProperties = 0x1;
constexpr uint32_t kArgPreserveAtime = 0x2;
constexpr uint32_t kArgFlaProps = 0x4;  // file-level properties for the resource report
constexpr uint32_t kArgNoPrefetch = 0x8;  // no prefetch of cold items (CollectPrefetcher)

struct plfsBackupArgs {
    char magic[4];
    uint32_t version;
    int32_t streamNumber;
    int32_t streamCount;
    int32_t collectCount;
    uint32_t switches;
    uint32_t appType;
    uint8_t reserved[84];
    char archivePath[896];
    char failuresPath[896];
    char resultsPath[896];
};

static_assert(sizeof(plfsBackupArgs) == 2800, "plfsBackupArgs is 2800 bytes");
static_assert(offsetof(plfsBackupArgs, streamNumber) == 8 && offsetof(plfsBackupArgs, appType) == 24 &&
                  offsetof(plfsBackupArgs, archivePath) == 112 && offsetof(plfsBackupArgs, failuresPath) == 1008 &&
                  offsetof(plfsBackupArgs, resultsPath) == 1904,
              "plfsBackupArgs field offsets");

// The job's options as the host program parsed them, and the stream they
// are for.
struct BackupArgs {
    int streamNumber = 0;  // 1.. in a child; 0 in the single-process run
    int streamCount = 1;   // 1: the single-process run
    int collectCount = 0;
    uint32_t appType = 0;
    bool macProperties = false;
    bool preserveAtime = false;
    bool flaProps = false;  // the subclient's data collection for the resource report
    bool noPrefetch = false;  // no prefetch of cold items
    std::string archivePath;   // "-": standard output (single-process run)
    std::string failuresPath;  // "" none
    std::string resultsPath;   // "" none
};

// The output file of stream `stream` of `count` for the job's `path`: the
// path itself for a single stream, a character device (/dev/null) or no
// path (""), else path + "." + stream.
RUXEN_EXPORT std::string StreamOutputPath(const std::string& path, int stream, int count);

// false with a message when a path does not fit its field.
bool EncodeBackupArgs(const BackupArgs& in, plfsBackupArgs& out, std::string* error);
// false with a message for a block this version cannot take: wrong magic
// or version, a path without its NUL, an empty archive path, a stream
// number outside 1..count, a negative collect count, unknown switches.
bool DecodeBackupArgs(const plfsBackupArgs& in, BackupArgs& out, std::string* error);
