// The snapshot mapping file is written by another process of the job (or
// another program) and read back: any bytes must read without a crash, and
// every entry added must be an old prefix -> a current local prefix of this
// mapper, both ending in '/'. A job's reading (the file read whole and
// checked, then applied from its text) must come to what the file's own
// reading does, and accept exactly the files that reading accepts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/snapshot/StandInFixtures.h"

namespace {

std::string g_dir;
SnapFSContentMapper* g_mapper;
std::set<std::string> g_current;  // every current local prefix, with '/'

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0)
        abort();
}

void setUp() {
    KxLog::UseFile("/dev/null");
    g_dir = fuzzsupport::ScratchDir();
    const char volumes[] =
        "vol\t1\t/data\t/snap/d\t0\t1\t0\td\n"
        "vol\t2\t/\t/snap/root\t0\t2\t0\td\n"
        "vol\t3\t/dev/rdsk/c0\t/snap/raw1\t1\t3\t0\td\n"
        "vol\t4\t/dev/rdsk/c1\t/snap/raw2\t2\t4\t0\td\n";
    writeFile(g_dir + "/1.snap", reinterpret_cast<const uint8_t*>(volumes), sizeof(volumes) - 1);
    KXPlatformInfo::setValue(StandInFixtures::kSection, StandInFixtures::kDirKey, g_dir);
    g_mapper = new SnapFSContentMapper;
    if (!g_mapper->initialize("1", 1, 1, 1, false))
        abort();
    g_current = {"/snap/d/", "/snap/root/", "/snap/raw1/c0/", "/snap/raw1/", "/snap/raw2/c1/", "/snap/raw2/"};
}

}  // namespace

// Past the mapping file's line bound of 64 KiB.
RUXEN_FUZZ_MAX_LEN(128 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_mapper == nullptr)
        setUp();
    const std::string file = g_dir + "/map";
    writeFile(file, data, size);
    std::map<std::string, std::string> moved, fromText;
    const bool ok = g_mapper->loadMappingFromFile(file, moved);
    std::string text, error;
    bool exists = false;
    const bool read = SnapFSContentMapper::ReadMappingFile(file, text, exists, error);
    if (read != ok || !exists ||
        (ok && (!g_mapper->loadMappingFromText(file, &text, fromText, nullptr) || fromText != moved)))
        abort();
    for (const auto& kv : moved) {
        if (kv.first.empty() || kv.first.back() != '/' || g_current.count(kv.second) == 0 || kv.first == kv.second)
            abort();
    }
    return 0;
}
