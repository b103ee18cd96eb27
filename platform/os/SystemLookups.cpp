#include "platform/os/SystemLookups.h"

#include <grp.h>
#include <pwd.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/base/TestControl.h"

namespace SystemLookups {

namespace {

std::atomic<uint64_t> g_users{0}, g_groups{0}, g_statfs{0};

// Calls a getpwuid_r-style function with a buffer that grows while it is
// too small.
template <class Entry, class Call>
bool Lookup(Call call, const char* (*nameOf)(const Entry&), std::string& name, int& err) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        Entry entry;
        Entry* found = nullptr;
        err = call(&entry, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (err != 0 || !found)
            return false;
        name = nameOf(entry);
        return true;
    }
}

}  // namespace

bool UserName(uint32_t uid, std::string& name, int& err) {
    ++g_users;
    return Lookup<passwd>([uid](passwd* e, char* b, size_t n, passwd** r) { return getpwuid_r(uid, e, b, n, r); },
                          [](const passwd& e) -> const char* { return e.pw_name; }, name, err);
}

bool GroupName(uint32_t gid, std::string& name, int& err) {
    ++g_groups;
    return Lookup<group>([gid](group* e, char* b, size_t n, group** r) { return getgrgid_r(gid, e, b, n, r); },
                         [](const group& e) -> const char* { return e.gr_name; }, name, err);
}

bool BlockSize(const char* path, uint64_t& size, int& err) {
    ++g_statfs;
    struct statfs st;
    if (statfs(path, &st) != 0) {
        err = errno;
        return false;
    }
    err = 0;
    size = static_cast<uint64_t>(st.f_bsize);
    return true;
}

Counts GetCounts() {
    Counts c;
    c.users = g_users;
    c.groups = g_groups;
    c.statfs = g_statfs;
    return c;
}

}  // namespace SystemLookups

void ruxen::testcontrol::ResetLookupCounts() {
    using namespace SystemLookups;
    g_users = g_groups = g_statfs = 0;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("system look-up counts", &ruxen::testcontrol::ResetLookupCounts);
}  // namespace
