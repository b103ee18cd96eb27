// The mount table is read from a file the kernel (or, in tests, anyone)
// writes. Feed arbitrary bytes to the reader as a mount-table file: no input
// may crash it, no entry may carry a cut or relative directory, and the
// lookups of both mount tables must agree with a brute-force longest match.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "FuzzSupport.h"
#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/os/KxMntTab.h"
#include "platform/text/PathUtil.h"
#include "zxhsm/ZXHSMCommon/ZXHSMMntTab.h"

namespace {

std::string g_path;

void setUp() {
    KxLog::UseFile("/dev/null");  // skipped lines are logged at the failure level
    g_path = fuzzsupport::ScratchFile("mounts");
    ruxen::testcontrol::SetMountTablePath(g_path.c_str());
}

bool writeInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(g_path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

// The longest covering mount point, the later of equal ones, by brute force.
long expectedIndex(const std::vector<KxMntTab::Entry>& table, const std::string& path) {
    long best = -1;
    size_t bestLen = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string key = PathUtil::StripTrailingSlashes(table[i].mountPoint);
        bool covers;
        if (key == "/")
            covers = !path.empty() && path[0] == '/';
        else
            covers = path.compare(0, key.size(), key) == 0 && (path.size() == key.size() || path[key.size()] == '/');
        if (covers && (best < 0 || key.size() >= bestLen)) {
            best = static_cast<long>(i);
            bestLen = key.size();
        }
    }
    return best;
}

}  // namespace

// Past the mount-table reader's line bound of 1 MiB.
RUXEN_FUZZ_MAX_LEN((1u << 20) + 64)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_path.empty())
        setUp();
    if (!writeInput(data, size))
        abort();

    char err[64];
    KxMntEntry* list = kxReadMntTab(err, sizeof(err));
    if (list == nullptr && (strlen(err) == 0 || strlen(err) >= sizeof(err)))
        abort();  // a refusal always says why, within the buffer
    std::vector<std::string> dirs;
    for (KxMntEntry* n = list; n != nullptr; n = n->next) {
        if (strnlen(n->special, sizeof(n->special)) == sizeof(n->special) ||
            strnlen(n->dir, sizeof(n->dir)) == sizeof(n->dir) || strnlen(n->type, sizeof(n->type)) == sizeof(n->type) ||
            strnlen(n->opts, sizeof(n->opts)) == sizeof(n->opts))
            abort();  // every field is terminated inside the node
        if (n->dir[0] != '/' || (n->flag != 0 && n->flag != 1))
            abort();
        dirs.emplace_back(n->dir);
    }
    kxFreeMntTab(list);

    // Paths to look up: a few fixed ones, and each mount directory with a
    // child, a sibling sharing its prefix, and its parent.
    std::vector<std::string> paths = {"/", "/home/u/f", "/homework", "", "relative/x", "//x"};
    for (size_t i = 0; i < dirs.size() && i < 8; ++i) {
        paths.push_back(dirs[i] + "/f");
        paths.push_back(dirs[i] + "x");
        paths.push_back(dirs[i].substr(0, dirs[i].rfind('/')));
    }

    std::vector<KxMntTab::Entry> table;
    try {
        table = KxMntTab::getAll();
    } catch (const KxException&) {
        if (!dirs.empty())
            abort();  // the same file just read
        return 0;
    }
    if (table.size() != dirs.size())
        abort();
    for (const std::string& p : paths) {
        const KxMntTab::Entry* e = KxMntTab::find(table, p);
        long want = expectedIndex(table, p);
        if ((e == nullptr) != (want < 0) || (e != nullptr && e != &table[static_cast<size_t>(want)]))
            abort();
    }

    try {
        ZXHSMMntTab tab;
        if (tab.getAll().size() != table.size())
            abort();
        for (const std::string& p : paths) {
            long want = expectedIndex(table, p);
            try {
                const ZXHSMMntTab::Entry& e = tab.find(p.c_str());
                if (want < 0 || e.dir != table[static_cast<size_t>(want)].mountPoint ||
                    e.special != table[static_cast<size_t>(want)].device)
                    abort();
            } catch (const KxException&) {
                if (want >= 0)
                    abort();
            }
            tab.find(p.c_str(), "rw");
        }
    } catch (const KxException&) {
        abort();  // the table was readable a moment ago
    }
    return 0;
}
