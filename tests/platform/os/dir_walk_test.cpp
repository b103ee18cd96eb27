// The walk to an item's directory: which links it follows, where it starts
// again, paths beyond PATH_MAX; with openat2 and one component at a time.
// And the cache of the item's directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/base/ScopedFd.h"
#include "platform/base/TestControl.h"
#include "platform/os/DirWalk.h"
#include "platform/os/ParentDirCache.h"
#include "support/DeepPath.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

constexpr uid_t kOther = 65534;

struct stat StatOf(int fd) {
    struct stat st;
    EXPECT_EQ(0, fstat(fd, &st));
    return st;
}

// Whether `fd` is the directory at `path` (of any length, no link in it).
bool SameDir(int fd, const std::string& path) {
    ScopedFd other(ruxen::OpenDirectory(path, nullptr));
    if (!other.valid())
        return false;
    struct stat a = StatOf(fd), b = StatOf(other.get());
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class DirWalkTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        ruxen::testcontrol::UseOpenat2(GetParam());
        ASSERT_EQ(0, mkdir((m_dir / "real").c_str(), 0755));
        ASSERT_EQ(0, mkdir((m_dir / "real/sub").c_str(), 0755));
        WriteWholeFile(m_dir / "real/sub/file", "x");
        m_deep = MakeDeepDir(m_dir / "real/sub");
        ASSERT_FALSE(m_deep.empty());
        const std::pair<const char*, std::string> links[] = {
            {"rootlink", "real"},
            {"abs", m_dir / "real"},
            {"real/up", "../real/sub"},
            {"loop1", "loop2"},
            {"loop2", "loop1"},
            {"userlink", "real"},
            {"real/sub/to_user", "../../userlink"},
        };
        for (const auto& l : links)
            ASSERT_EQ(0, symlink(l.second.c_str(), (m_dir / l.first).c_str())) << l.first;
        m_asRoot = geteuid() == 0;
        if (m_asRoot) {
            ASSERT_EQ(0, lchown((m_dir / "userlink").c_str(), kOther, kOther));
        }
    }
    void TearDown() override { ruxen::testcontrol::UseOpenat2(true); }

    TempDir m_dir{"dir_walk"};
    std::string m_deep;
    bool m_asRoot = false;
};

// Links of root or the running user are followed (relative, absolute, with
// "..", far beyond PATH_MAX); another user's link fails with ELOOP and is
// named, also when reached through a followed link; a trusted prefix is
// followed whoever owns its links.
TEST_P(DirWalkTest, FollowsOnlyLinksOfRootOrTheRunningUser) {
    const std::string deepRest = m_deep.substr((m_dir / "real/sub").size());
    ruxen::TrustedPrefixes trusted;
    trusted.Add(m_dir / "userlink");
    struct Case {
        std::string dir;
        std::string same;  // the directory reached; "" when the walk fails
        int err;
        std::string refused;
        const ruxen::TrustedPrefixes* trusted;
    } cases[] = {
        {m_dir / "real/sub", m_dir / "real/sub", 0, "", nullptr},
        {m_dir / "rootlink/sub", m_dir / "real/sub", 0, "", nullptr},
        {m_dir / "abs/sub", m_dir / "real/sub", 0, "", nullptr},
        {m_dir / "real/up", m_dir / "real/sub", 0, "", nullptr},
        {m_dir / "rootlink/sub" + deepRest, m_deep, 0, "", nullptr},
        {m_dir / "real/sub/file", "", ENOTDIR, "", nullptr},
        {m_dir / "real/none/sub", "", ENOENT, "", nullptr},
        {m_dir / "loop1/sub", "", ELOOP, "", nullptr},
        {m_dir / "userlink/sub", "", ELOOP, m_dir / "userlink", nullptr},
        {m_dir / "real/sub/to_user/sub", "", ELOOP, "../../userlink", nullptr},
        {m_dir / "userlink/sub" + deepRest, "", ELOOP, m_dir / "userlink", nullptr},
        {m_dir / "userlink/sub", m_dir / "real/sub", 0, "", &trusted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir.substr(0, 200));
        if (!c.refused.empty() && !m_asRoot)
            continue;  // only root gives a link to another user
        ruxen::WalkRefusal why;
        ScopedFd fd(ruxen::OpenDirectory(c.dir, &why, c.trusted));
        if (c.err != 0) {
            EXPECT_FALSE(fd.valid());
            EXPECT_EQ(c.err, errno);
            EXPECT_EQ(c.refused, why.link);
            EXPECT_EQ(c.refused.empty() ? 0 : kOther, why.owner);
            EXPECT_EQ(c.err == ELOOP && c.refused.empty(), why.tooManyLinks);
            continue;
        }
        ASSERT_TRUE(fd.valid()) << strerror(errno);
        EXPECT_TRUE(SameDir(fd.get(), c.same));
    }
}

// A path, its last component included, by the same rule: the kernel's name
// for it (no link, "." or ".." left), or an output opened there (a link into
// /proc is the open file it names); another user's link refused and named.
TEST_P(DirWalkTest, PathsAndOutputsOpenedByTheRule) {
    const std::string top = std::filesystem::canonical(m_dir.path()).string();
    ASSERT_EQ(0, symlink("real/sub/target", (m_dir / "ownlink").c_str()));
    ASSERT_EQ(0, symlink((m_dir / "real/sub/abs-target").c_str(), (m_dir / "real/abslink").c_str()));
    WriteWholeFile(m_dir / "real/victim", "kept");
    ASSERT_EQ(0, symlink("victim", (m_dir / "real/userout").c_str()));
    if (m_asRoot) {
        ASSERT_EQ(0, lchown((m_dir / "real/userout").c_str(), kOther, kOther));
    }
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ScopedFd readEnd(p[0]), writeEnd(p[1]);
    const struct {
        bool output;  // opened to write, else resolved
        std::string path;
        std::string reached;  // the name resolved, or the file written ("-": the pipe)
        bool created;
        int err;
        std::string refused;  // the end of the other user's link named
    } cases[] = {
        {false, m_dir / "rootlink", top + "/real", false, 0, ""},
        {false, m_dir / "rootlink/", top + "/real", false, 0, ""},
        {false, m_dir / "real/up/file", top + "/real/sub/file", false, 0, ""},
        {false, m_dir / "abs/sub/../sub/./file", top + "/real/sub/file", false, 0, ""},
        {false, "/", "/", false, 0, ""},
        {false, m_dir / "real/sub/file/", "", false, ENOTDIR, ""},
        {false, m_dir / "real/none", "", false, ENOENT, ""},
        {false, m_dir / "loop1", "", false, ELOOP, ""},
        {false, m_dir / "userlink", "", false, ELOOP, "/userlink"},
        {false, m_dir / "real/sub/to_user", "", false, ELOOP, "/userlink"},
        {true, m_dir / "real/out", m_dir / "real/out", true, 0, ""},
        {true, m_dir / "rootlink/out", m_dir / "real/out", false, 0, ""},
        {true, m_dir / "ownlink", m_dir / "real/sub/target", true, 0, ""},
        {true, m_dir / "real/abslink", m_dir / "real/sub/abs-target", true, 0, ""},
        {true, "/proc/self/fd/" + std::to_string(p[1]), "-", false, 0, ""},
        {true, m_dir / "loop1", "", false, ELOOP, ""},
        {true, m_dir / "real/", "", false, EISDIR, ""},
        {true, m_dir / "userlink/out", "", false, ELOOP, m_dir / "userlink"},
        {true, m_dir / "real/userout", "", false, ELOOP, m_dir / "real/userout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (!c.refused.empty() && !m_asRoot)
            continue;  // only root gives a link to another user
        ruxen::WalkRefusal why;
        std::string resolved = "stale";
        bool created = !c.created;
        ScopedFd fd(c.output ? ruxen::OpenFileByRule(c.path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644, &why, &created)
                             : ruxen::OpenResolved(c.path, resolved, &why));
        if (c.err != 0) {
            EXPECT_FALSE(fd.valid());
            EXPECT_EQ(c.err, errno);
            EXPECT_EQ(c.refused, why.link.substr(why.link.size() - std::min(why.link.size(), c.refused.size())));
            EXPECT_EQ(c.err == ELOOP && c.refused.empty(), why.tooManyLinks);
            continue;
        }
        ASSERT_TRUE(fd.valid()) << strerror(errno);
        if (!c.output) {
            EXPECT_EQ(c.reached, resolved);
            continue;
        }
        EXPECT_EQ(c.created, created);
        ASSERT_EQ(4, write(fd.get(), "data", 4));
        char got[8] = {};
        if (c.reached == "-") {
            EXPECT_EQ(4, read(readEnd.get(), got, sizeof got));
        }
        EXPECT_EQ("data", c.reached == "-" ? std::string(got) : ReadWholeFile(c.reached).substr(0, 4));
    }
    EXPECT_EQ("kept", ReadWholeFile(m_dir / "real/victim"));
}

// The directory is held while items share it, walked on from when the next
// lies below it, and stays the directory that was walked: a user who swaps
// it for a link afterwards changes nothing.
TEST_P(DirWalkTest, CacheHoldsTheDirectoryItWalked) {
    ruxen::ParentDirCache cache;
    int dir, again;
    const char* name;  // points into the path asked for
    const std::string file = m_dir / "real/sub/file", other = m_dir / "real/sub/other//";
    ASSERT_TRUE(cache.Parent(file.c_str(), &dir, &name));
    EXPECT_STREQ("file", name);
    ASSERT_TRUE(cache.Parent(other.c_str(), &again, &name));
    EXPECT_EQ(dir, again);
    EXPECT_STREQ("other", name);
    ASSERT_EQ(0, rename((m_dir / "real/sub").c_str(), (m_dir / "real/moved").c_str()));
    ASSERT_EQ(0, symlink("../userlink", (m_dir / "real/sub").c_str()));
    ASSERT_TRUE(cache.Parent(file.c_str(), &again, &name));
    EXPECT_EQ(0, faccessat(again, name, F_OK, AT_SYMLINK_NOFOLLOW));  // still the directory walked
    const std::string below = m_deep.substr((m_dir / "real/sub").size());
    ASSERT_TRUE(cache.Parent((m_dir / "real/sub" + below + "/x").c_str(), &again, &name)) << strerror(errno);
    EXPECT_TRUE(SameDir(again, m_dir / "real/moved" + below));

    cache.Clear();
    ASSERT_TRUE(cache.Parent("/", &dir, &name));
    EXPECT_STREQ(".", name);
    EXPECT_TRUE(SameDir(dir, "/"));
    ASSERT_TRUE(cache.Parent("relative", &dir, &name));
    EXPECT_EQ(AT_FDCWD, dir);
    if (m_asRoot) {
        ASSERT_EQ(0, lchown((m_dir / "real/sub").c_str(), kOther, kOther));
        EXPECT_FALSE(cache.Parent(file.c_str(), &dir, &name));
        EXPECT_EQ(ELOOP, errno);
        EXPECT_EQ(m_dir / "real/sub", cache.Refusal().link);
        ASSERT_TRUE(cache.Parent("/tmp", &dir, &name));
        EXPECT_FALSE(cache.Refusal().Refused());  // about the last lookup only
    }
}

INSTANTIATE_TEST_SUITE_P(Walk, DirWalkTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Openat2" : "ByComponent"; });

}  // namespace
