// The hard-links table ("hardLinks.dat", an SQLite database) is read from
// the job directory, which the scan program, a split and merge, or anyone
// who may write there made: the input is that file. It is opened as a
// stream opens it (read mode, through the manager), every row is walked,
// and the group of each key met is read as header sending reads it (its
// first row, then the next ones, and the first row's number). No input may
// crash the reader or keep it going; nothing is left beside the file, which
// goes after each input.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/hardlinks/HardLinksTable.h"

// SQLite pages are 4 KiB: room for a table of a few pages, its index and
// its header's page count, past which libFuzzer adds nothing new.
RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string& dir = fuzzsupport::ScratchDir();
    const std::string file = HardLinksTable::DataPath(dir, kHardLinksTableName);
    fuzzsupport::WriteInput(file, data, size);

    if (HardLinksTablePtr table = HardLinkManager::getHLTableClass(dir, true)) {
        std::vector<std::pair<uint64_t, uint64_t>> keys;
        table->forEachRow([&](uint64_t device, uint64_t inode, int64_t, const std::string&, const std::string&) {
            if (keys.size() < 64)
                keys.emplace_back(device, inode);
        });
        keys.emplace_back(0, 0);  // a key that may have no row
        for (const auto& key : keys) {
            std::string path, guid;
            int64_t ctime = 0, row = 0;
            if (table->searchFirst(key.first, key.second, path, ctime, guid) == 1) {
                while (table->searchNext(path, ctime) == 1) {
                }
            }
            table->firstRow(key.first, key.second, row);
        }
    }
    HardLinkManager::closeHLTableClass();
    // Read mode opens the file immutable: no journal or other file is made,
    // so the directory is empty once the file is gone.
    if (unlink(file.c_str()) != 0 || rmdir(dir.c_str()) != 0 || mkdir(dir.c_str(), 0700) != 0)
        abort();
    return 0;
}
