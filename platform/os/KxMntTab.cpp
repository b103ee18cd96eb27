#include "platform/os/KxMntTab.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mntent.h>
#include <sys/types.h>

#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/TestControl.h"
#include "platform/text/PathUtil.h"

namespace {

const char kDefaultMntTabPath[] = "/proc/self/mounts";

// No mount-table line comes near this; a longer one is not a mount entry and
// is skipped rather than handed to the parser with an int-sized buffer.
const size_t kMaxLineLength = 1 << 20;

std::string& mntTabPathSlot() {
    static ruxen::NoDestructor<std::string> path(kDefaultMntTabPath);
    return *path;
}

void setError(char* errbuf, int errlen, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

void setError(char* errbuf, int errlen, const char* fmt, ...) {
    if (errbuf == nullptr || errlen <= 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(errbuf, static_cast<size_t>(errlen), fmt, ap);
    va_end(ap);
}

// Copies the options into a field of `cap` bytes. When they do not fit, only
// whole options are kept: the text is cut at the last comma that fits, so a
// reader never sees a half option ("ro" out of "root=...").
void copyOptions(const char* opts, char* out, size_t cap) {
    size_t n = strlen(opts);
    if (n < cap) {
        memcpy(out, opts, n + 1);
        return;
    }
    size_t cut = cap - 1;
    while (cut > 0 && opts[cut] != ',')
        --cut;
    memcpy(out, opts, cut);
    out[cut] = '\0';
}

void copyCut(const char* in, char* out, size_t cap) {
    size_t n = strlen(in);
    if (n >= cap)
        n = cap - 1;
    memcpy(out, in, n);
    out[n] = '\0';
}

struct ListGuard {
    KxMntEntry* list;
    ~ListGuard() { kxFreeMntTab(list); }
};

}  // namespace

const std::string& kxMntTabPath() { return mntTabPathSlot(); }

void kxFreeMntTab(KxMntEntry* list) {
    while (list != nullptr) {
        KxMntEntry* next = list->next;
        free(list);
        list = next;
    }
}

KxMntEntry* kxReadMntTab(char* errbuf, int errlen) {
    if (errbuf != nullptr && errlen > 0)
        errbuf[0] = '\0';
    const std::string path = kxMntTabPath();

    FILE* fp = setmntent(path.c_str(), "r");
    if (fp == nullptr) {
        int e = errno;
        setError(errbuf, errlen, "Cannot open mount table %s: %s", path.c_str(), strerror(e));
        KXLOG(-1, "Cannot open mount table %s: %s", path.c_str(), strerror(e));
        return nullptr;
    }

    KxMntEntry* head = nullptr;
    KxMntEntry** tail = &head;
    char* line = nullptr;
    size_t lineCap = 0;
    char* work = nullptr;  // getmntent_r's buffer, always larger than the line
    size_t workCap = 0;
    long lineNo = 0;
    long skipped = 0;
    bool failed = false;

    // Each line is handed to getmntent_r on its own, with a buffer larger than
    // the line: getmntent_r silently cuts a line that does not fit its buffer,
    // and a cut directory would be a different mount point.
    for (;;) {
        ssize_t n = getline(&line, &lineCap, fp);
        if (n < 0) {
            if (!feof(fp)) {
                int e = errno;
                setError(errbuf, errlen, "Cannot read mount table %s: %s", path.c_str(), strerror(e));
                KXLOG(-1, "Cannot read mount table %s: %s", path.c_str(), strerror(e));
                failed = true;
            }
            break;
        }
        ++lineNo;
        size_t len = static_cast<size_t>(n);
        if (len > kMaxLineLength) {
            ++skipped;
            KXLOG(-1, "Skipping line %ld of mount table %s: %zu bytes long", lineNo, path.c_str(), len);
            continue;
        }
        if (memchr(line, '\0', len) != nullptr) {
            ++skipped;
            KXLOG(-1, "Skipping line %ld of mount table %s: it holds a NUL byte", lineNo, path.c_str());
            continue;
        }
        if (workCap < len + 2) {
            char* grown = static_cast<char*>(realloc(work, len + 2));
            if (grown == nullptr) {
                setError(errbuf, errlen, "Out of memory reading mount table %s", path.c_str());
                KXLOG(-1, "Out of memory reading mount table %s", path.c_str());
                failed = true;
                break;
            }
            work = grown;
            workCap = len + 2;
        }
        FILE* one = fmemopen(line, len, "r");
        if (one == nullptr) {
            int e = errno;
            setError(errbuf, errlen, "Cannot parse mount table %s: %s", path.c_str(), strerror(e));
            KXLOG(-1, "Cannot parse mount table %s: fmemopen: %s", path.c_str(), strerror(e));
            failed = true;
            break;
        }
        struct mntent m;
        struct mntent* got = getmntent_r(one, &m, work, static_cast<int>(workCap));
        fclose(one);  // m's strings live in `work`
        if (got == nullptr)
            continue;  // blank or comment line

        size_t specialLen = strlen(m.mnt_fsname);
        size_t dirLen = strlen(m.mnt_dir);
        if (specialLen >= sizeof(KxMntEntry::special)) {
            ++skipped;
            KXLOG(-1, "Skipping line %ld of mount table %s: source of %zu bytes does not fit (mounted on %s)", lineNo,
                  path.c_str(), specialLen, m.mnt_dir);
            continue;
        }
        if (dirLen >= sizeof(KxMntEntry::dir)) {
            ++skipped;
            KXLOG(-1, "Skipping line %ld of mount table %s: mount directory of %zu bytes does not fit (source %s)",
                  lineNo, path.c_str(), dirLen, m.mnt_fsname);
            continue;
        }
        if (m.mnt_dir[0] != '/') {
            ++skipped;
            KXLOG(-1, "Skipping line %ld of mount table %s: mount directory '%s' is not absolute", lineNo, path.c_str(),
                  m.mnt_dir);
            continue;
        }

        KxMntEntry* node = static_cast<KxMntEntry*>(calloc(1, sizeof(KxMntEntry)));
        if (node == nullptr) {
            setError(errbuf, errlen, "Out of memory reading mount table %s", path.c_str());
            KXLOG(-1, "Out of memory reading mount table %s", path.c_str());
            failed = true;
            break;
        }
        memcpy(node->special, m.mnt_fsname, specialLen + 1);
        memcpy(node->dir, m.mnt_dir, dirLen + 1);
        copyCut(m.mnt_type, node->type, sizeof(node->type));
        copyOptions(m.mnt_opts, node->opts, sizeof(node->opts));
        node->flag = hasmntopt(&m, MNTOPT_RO) != nullptr ? 1 : 0;
        if (strlen(m.mnt_opts) >= sizeof(node->opts))
            KXLOG(4, "Options of %s cut to '%s'", node->dir, node->opts);
        *tail = node;
        tail = &node->next;
    }

    free(work);
    free(line);
    endmntent(fp);

    if (failed) {
        kxFreeMntTab(head);
        return nullptr;
    }
    if (head == nullptr) {
        setError(errbuf, errlen, "No usable entry in mount table %s (%ld skipped)", path.c_str(), skipped);
        KXLOG(-1, "No usable entry in mount table %s (%ld skipped)", path.c_str(), skipped);
        return nullptr;
    }
    if (skipped > 0)
        KXLOG(1, "Mount table %s: %ld entries skipped", path.c_str(), skipped);
    return head;
}

std::vector<KxMntTab::Entry> KxMntTab::getAll() {
    char err[1024];
    ListGuard guard{kxReadMntTab(err, sizeof(err))};
    if (guard.list == nullptr)
        throw KxException("KxMntTab::getAll", err, "KxMntTab", __LINE__, -1);
    std::vector<Entry> all;
    for (const KxMntEntry* n = guard.list; n != nullptr; n = n->next) {
        Entry e;
        e.device = n->special;
        e.mountPoint = n->dir;
        e.fsType = n->type;
        e.options = n->opts;
        e.readOnly = n->flag != 0;
        all.push_back(std::move(e));
    }
    return all;
}

const KxMntTab::Entry* KxMntTab::find(const std::vector<Entry>& table, const std::string& path) {
    auto it = PathUtil::LongestPrefixScan(table.begin(), table.end(), path,
                                          [](const Entry& e) -> const std::string& { return e.mountPoint; });
    return it == table.end() ? nullptr : &*it;
}

bool KxMntTab::find(const std::string& path, Entry& out) {
    std::vector<Entry> all = getAll();
    const Entry* e = find(all, path);
    if (e == nullptr)
        return false;
    out = *e;
    return true;
}

void ruxen::testcontrol::SetMountTablePath(const char* path) { mntTabPathSlot() = path ? path : kDefaultMntTabPath; }

namespace {
const ruxen::testcontrol::Registration kTestReset("mount table path",
                                                  [] { ruxen::testcontrol::SetMountTablePath(nullptr); });
}  // namespace
