// ACLs and extended attributes of 2,000 small files (every 10th with an
// ACL_USER entry and a user attribute), read per item and put in the
// optional header's form, side by side with the calls an archiver makes per
// file for the same information (as tar --acls --xattrs does: access ACL,
// default ACL of directories, attribute list, each attribute).
//
//   BM_HelperByPath   KxACL::Helper::getacl by name, then toNetworkBuffer
//   BM_HelperByFd     the same through an open descriptor (open/close
//                     not counted in the helper's share: the reader has
//                     the item open anyway)
//   BM_PeerCalls      acl_get_file + acl_to_text, llistxattr + lgetxattr
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchRatio.h"
#include "platform/agent/KxLog.h"
#include "platform/os/KxACLHelper.h"

namespace {

constexpr int kFiles = 2000;

struct Tree {
    std::string dir;
    std::vector<std::string> files;
    std::vector<int> fds;
    ~Tree() {
        for (size_t k = 0; k < files.size(); ++k) {
            close(fds[k]);
            unlink(files[k].c_str());
        }
        rmdir(dir.c_str());
    }
    Tree() {
        KxLog::UseFile("/dev/null");
        char tmpl[] = "/tmp/acl_helper_benchXXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        dir = tmpl;
        acl_t acl = acl_from_text("u::rw-,u:1234:r--,g::r--,m::r--,o::r--");
        for (int k = 0; k < kFiles; ++k) {
            std::string f = std::string(tmpl) + "/f" + std::to_string(k);
            int fd = open(f.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || write(fd, "x", 1) != 1)
                abort();
            if (k % 10 == 0 && (acl_set_fd(fd, acl) != 0 || fsetxattr(fd, "user.tag", "v", 1, 0) != 0))
                abort();
            files.push_back(f);
            fds.push_back(fd);
        }
        acl_free(acl);
    }
};

Tree& T() {
    static Tree tree;  // removed at exit
    return tree;
}

void RunHelper(benchmark::State& state, bool byFd) {
    Tree& t = T();
    std::vector<char> form(KxACL::kMaxNetworkBufferSize);
    struct stat st = {};
    st.st_mode = S_IFREG | 0644;
    for (auto _ : state) {
        for (size_t k = 0; k < t.files.size(); ++k) {
            auto h = KxACL::Helper::getInstance();
            if (h->getacl(t.files[k].c_str(), false, st, byFd ? t.fds[k] : -1) != 0)
                abort();
            benchmark::DoNotOptimize(h->toNetworkBuffer(form.data(), form.size()));
        }
    }
    state.SetItemsProcessed(state.iterations() * t.files.size());
}

void BM_HelperByPath(benchmark::State& state) { RunHelper(state, false); }
void BM_HelperByFd(benchmark::State& state) { RunHelper(state, true); }

void BM_PeerCalls(benchmark::State& state) {
    Tree& t = T();
    char list[1024], value[1024];
    for (auto _ : state) {
        for (const std::string& f : t.files) {
            acl_t acl = acl_get_file(f.c_str(), ACL_TYPE_ACCESS);
            if (acl) {
                char* text = acl_to_text(acl, nullptr);
                benchmark::DoNotOptimize(text);
                acl_free(text);
                acl_free(acl);
            }
            ssize_t n = llistxattr(f.c_str(), list, sizeof(list));
            for (ssize_t p = 0; p < n; p += static_cast<ssize_t>(strlen(list + p)) + 1)
                benchmark::DoNotOptimize(lgetxattr(f.c_str(), list + p, value, sizeof(value)));
        }
    }
    state.SetItemsProcessed(state.iterations() * t.files.size());
}

BENCHMARK(BM_HelperByPath);
BENCHMARK(BM_HelperByFd);
BENCHMARK(BM_PeerCalls);
RUXEN_BENCH_RATIO("by-path", "BM_HelperByPath", "BM_PeerCalls");
RUXEN_BENCH_RATIO("by-fd", "BM_HelperByFd", "BM_PeerCalls");

}  // namespace
