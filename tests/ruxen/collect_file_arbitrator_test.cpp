#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <set>

#include "ruxen/CCollectFileArbitrator.h"
#include "support/FakeLvm.h"
#include "support/MntTabFile.h"
#include "support/TestFiles.h"

namespace {

using std::string;
using std::vector;

struct Holds : HardLinkHoldQuery {
    std::function<bool(int32_t)> held = [](int32_t) { return false; };
    bool ProcessingHardLinkCollect(int32_t n) override { return held(n); }
};

// Mounts m0..m3 of the temporary directory on four block devices (the
// volume fake's) and m4 on a plain file; a collect file per mount whose
// item is the mount directory.
class ArbiterTest : public ::testing::Test {
protected:
    void SetUp() override {
        string table;
        for (int d = 0; d < 5; ++d) {
            ASSERT_EQ(mkdir(Mount(d).c_str(), 0755), 0);
            testfiles::WriteWholeFile(Collect(d), Mount(d) + "\n");
            table += Device(d) + " " + Mount(d) + " ext4 rw 0 0\n";
        }
        testfiles::WriteWholeFile(Device(4), "");
        mnt = std::make_unique<testfiles::MntTabFile>(table);
    }
    string Mount(int d) const { return dir / ("m" + std::to_string(d)); }
    string Device(int d) const { return d < 4 ? blk[d] : Mount(4) + "/dev"; }
    string Collect(int d) const { return Mount(d) + "/CollectTot.kxf"; }

    testfiles::TempDir dir{"arbiter_test"};
    testfiles::FakeLvm lvm;
    vector<string> blk = lvm.BlockDevices(4);
    std::unique_ptr<testfiles::MntTabFile> mnt;
    EvEvent event{"ruxenParent"};
    Holds holds;
};

// A child is on the groups of at most one device and reads exactly the
// volumes of those groups, each once.
void ExpectConsistent(const vector<DiskGroup_t>& groups) {
    std::map<int, std::set<string>> names, reads;
    for (const DiskGroup_t& g : groups)
        for (int c : g.children) {
            names[c].insert(g.name);
            for (const PVList_t& pv : g.pvList)
                reads[c].insert(pv.name);
        }
    for (auto& n : names)
        EXPECT_EQ(n.second.size(), 1u) << "child " << n.first << " holds several disk groups";
    for (const DiskGroup_t& g : groups)
        for (const PVList_t& pv : g.pvList) {
            std::multiset<int> on(pv.children.begin(), pv.children.end());
            for (int c : on)
                EXPECT_EQ(on.count(c) * reads[c].count(pv.name), 1u) << "child " << c << " on " << pv.name;
            for (auto& r : reads)
                EXPECT_EQ(on.count(r.first), r.second.count(pv.name)) << "child " << r.first << " off " << pv.name;
        }
}

TEST_F(ArbiterTest, DiskGroupChoiceHoldsAndCatalogBindings) {
    struct Group { int mount; const char* pvs; int files; };  // pvs "" for a plain device
    // Group i holds collect numbers 10*(i+1)+1 on; each child makes one request.
    struct Case {
        const char* name;
        vector<Group> groups;
        vector<int> children, expect;
        std::set<int> held = {};
        std::map<int, int> archives = {};  // catalog-only when not empty
    };
    const Case cases[] = {
        {"pass 1 takes a group nobody reads", {{0, "a", 2}, {1, "b", 2}}, {11, 12, 11}, {11, 21, 12}},
        {"pass 1 passes over shared volumes", {{0, "a", 1}, {1, "a", 1}, {2, "b", 1}}, {11, 12}, {11, 31}},
        {"pass 2: fewest children although a volume is shared", {{0, "a", 1}, {1, "ab", 1}}, {11, 12}, {11, 21}},
        {"pass 2: least busy volume, earlier of a tie",
         {{0, "a", 2}, {1, "b", 2}, {2, "c", 2}, {3, "a", 2}}, {11, 12, 13, 14, 15}, {11, 21, 31, 41, 22}},
        {"plain devices", {{0, "", 1}, {1, "", 1}}, {11, 12}, {11, 21}},
        {"exhaustion within a request, then nothing left", {{0, "a", 1}, {1, "b", 1}}, {11, 11, 11, 12}, {11, 21, 0, 0}},
        {"same-named groups go to one child", {{0, "a", 1}, {0, "a", 1}, {1, "b", 1}}, {11, 12, 11, 12}, {11, 31, 21, 0}},
        {"held file passed over, next group tried, then wait",
         {{0, "a", 2}, {1, "b", 2}}, {11, 12, 11}, {22, -1, -1}, {11, 12, 21}},
        {"hard-link file listed after the files it holds", {{0, "a", 3}}, {11, 11}, {13, -1}, {11, 12}},
        {"catalog-only: a bound file is left for its child",
         {{0, "a", 3}}, {11, 12, 12, 11, 12, 11}, {11, 12, -1, 13, 0, 0}, {}, {{11, 7}, {12, 8}, {13, 7}}},
        {"catalog-only: a file of no archive binds nobody",
         {{0, "a", 2}, {1, "b", 1}}, {11, 12, 12, 11, 11, 12}, {11, 12, -1, 21, 0, 0}, {}, {{11, 7}, {21, 7}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lvm.Clear();
        for (const Group& g : c.groups)
            if (*g.pvs)
                lvm.SetVolume(blk[g.mount], g.pvs);
        holds.held = [&](int32_t n) { return c.held.count(n) != 0; };
        CCollectFileArbitrator arb(event, &holds, false);
        ASSERT_EQ(arb.IsInitialized(), 1u);
        for (size_t i = 0; i < c.groups.size(); ++i) {
            vector<CollectFile_t> list;
            for (int k = 1; k <= c.groups[i].files; ++k)
                list.push_back(CollectFile_t{int(10 * i + 10 + k), -1, int(10 * i + 10 + k) * 100, 0, 0});
            string path = Collect(c.groups[i].mount);
            ASSERT_TRUE(arb.addCollect(list, 0, path).IsSuccess());
        }
        std::map<int, int> ids = c.archives, types, bound;
        bool catalog = !c.archives.empty();
        for (size_t i = 0; i < c.children.size(); ++i) {
            RestartInfo_t a{-5, -5, c.children[i], 0, 0, -5, -5};
            int got = arb.getNextCollectForChild(a, ids, types, bound, catalog);
            EXPECT_EQ(got, c.expect[i]) << "request " << i;
            if (got >= 0) {
                EXPECT_EQ(a.collectNumber, got);
                EXPECT_EQ(a.offset, got * 100);
            }
            ExpectConsistent(arb.diskGroups());
        }
        EXPECT_EQ(ids.size(), c.archives.size());
        EXPECT_TRUE(types.empty());
    }
}

TEST_F(ArbiterTest, PlacingACollectFileOnItsDevice) {
    const string m0 = Mount(0);
    testfiles::WriteWholeFile(m0 + "/a%b", "");
    ASSERT_EQ(symlink("gone", (m0 + "/dangling").c_str()), 0);
    LVM::VG vg;  // blk[0] is volume "b", on p and q
    vg.name = "vg";
    vg.lvs["a"] = LVM::LV{"a", "", blk[1], {"x"}};
    vg.lvs["b"] = LVM::LV{"b", "", blk[0], {"p", "unknown", "q"}};
    for (const char* n : {"x", "p", "q"})
        vg.pvs[n].devicePath = string("/dev/") + n;
    LVM::VG noLv = vg, noGroup = vg;
    noLv.lvs.erase("b");
    noGroup.name.clear();
    const string& b0 = blk[0];
    struct Case {  // in a body "@" is m0, "!" m4, "^" the unmounted temporary directory
        const char *name, *body;
        const LVM::VG* vg;
        bool lvmFails;
        int errnum, win32;
        string device;
        vector<string> pvs;
    };
    const Case cases[] = {
        {"missing collect file", nullptr, nullptr, false, ENOENT, 0, "", {}},
        {"a collect file that cannot be read", "", nullptr, false, EISDIR, 0, "", {}},
        {"empty", "", nullptr, false, 0, 774, "", {}},
        {"no item line", "-DATASIZE\n\nrelative/path\n", nullptr, false, 0, 774, "", {}},
        {"no item exists", "@/gone\n@/gone2\n", nullptr, false, 0, 774, "", {}},
        {"gone items are passed over", "@/gone\n@/a%25b\n", nullptr, false, 0, 0, b0, {b0}},
        {"a dangling link is an item", "@/dangling\n", nullptr, false, 0, 0, b0, {b0}},
        {"no mount holds the item", "^\n", nullptr, false, 0, 0, "", {}},
        {"volumes of the logical volume, unknown names passed over", "@\n", &vg, false, 0, 0, b0, {"/dev/p", "/dev/q"}},
        {"no logical volume matches the device", "@\n", &noLv, false, 0, 0, b0, {}},
        {"in no volume group", "@\n", &noGroup, false, 0, 0, b0, {b0}},
        {"the volume library fails", "@\n", &vg, true, 0, 0, b0, {b0}},
        {"only block devices are logical volumes", "!\n", &vg, false, 0, 0, Device(4), {Device(4)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        string path = c.errnum == EISDIR ? dir.path() : dir / "collect";
        unlink(path.c_str());
        if (c.body && c.errnum != EISDIR) {
            string body = c.body;
            for (size_t p; (p = body.find_first_of("@!^")) != string::npos;)
                body.replace(p, 1, body[p] == '@' ? m0 : body[p] == '!' ? Mount(4) : dir.path());
            testfiles::WriteWholeFile(path, body);
        }
        lvm.Clear();
        if (c.vg)
            lvm.Set(c.device, *c.vg, c.lvmFails);
        CCollectFileArbitrator arb(event, nullptr, false);
        vector<CollectFile_t> list{{1, -1, 0, 0, 0}, {1, -1, 0, 0, 0}, {0, -1, 0, 0, 0}};
        CTyError err = arb.addCollect(list, 3, path);
        EXPECT_EQ(err.ErrNo(), c.errnum) << err.Message();
        EXPECT_EQ(err.Win32Code(), c.win32) << err.Message();
        if (err.IsError())
            continue;
        ASSERT_EQ(arb.diskGroups().size(), 1u);
        EXPECT_EQ(arb.diskGroups()[0].collectFiles.size(), 1u);  // 1 once, never 0
        EXPECT_EQ(arb.diskGroups()[0].name, c.device);
        vector<string> pvs;
        for (const PVList_t& pv : arb.diskGroups()[0].pvList)
            pvs.push_back(pv.name);
        EXPECT_EQ(pvs, c.pvs);
    }
}

// A child that is gone leaves its disk group, its volumes and its
// archives: a file bound to it goes to another child instead of waiting.
TEST_F(ArbiterTest, ReleasedChildLeavesGroupsAndArchives) {
    lvm.Clear();
    lvm.SetVolume(blk[0], "a");
    CCollectFileArbitrator arb(event, nullptr, false);
    vector<CollectFile_t> list{{11, -1, 0, 0, 0}, {12, -1, 0, 0, 0}};
    string path = Collect(0);
    ASSERT_TRUE(arb.addCollect(list, 0, path).IsSuccess());
    std::map<int, int> ids{{11, 7}, {12, 7}}, types, bound;
    bool catalog = true;
    RestartInfo_t a{0, 0, 101, 0, 0, 0, 0}, b{0, 0, 102, 0, 0, 0, 0};
    EXPECT_EQ(11, arb.getNextCollectForChild(a, ids, types, bound, catalog));
    EXPECT_EQ(-1, arb.getNextCollectForChild(b, ids, types, bound, catalog));
    arb.releaseChild(101, bound);
    EXPECT_TRUE(bound.empty());
    EXPECT_TRUE(arb.diskGroups()[0].children.empty() && arb.diskGroups()[0].pvList[0].children.empty());
    EXPECT_EQ(12, arb.getNextCollectForChild(b, ids, types, bound, catalog));
}

// Whole jobs at random: groups on shared and on the same devices, children
// taking turns, regular files held until the hard-link files of their split
// group are done, archives bound to children. Every collect number is handed
// out once, to the child its archive is bound to, and every child ends.
TEST_F(ArbiterTest, RandomJobsHandOutEveryCollectOnce) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        lvm.Clear();
        for (int d = 0; d < 4; ++d)
            if (pick(4) != 0)
                lvm.SetVolume(blk[d], string("abcde").substr(pick(5), 1 + pick(2)));
        CCollectFileArbitrator arb(event, &holds, false);
        std::map<int, int> split, ids, types, bound, handedTo, archiveChild;
        std::set<int> hardLink, done;
        bool catalog = pick(2) != 0;
        const int splits = 1 + pick(6);
        int total = 0;
        for (int g = 1 + pick(8); g > 0; --g) {
            vector<CollectFile_t> list;
            for (int k = 1 + pick(6); k > 0; --k) {
                list.push_back(CollectFile_t{++total, -1, 0, 0, 0});
                split[total] = pick(splits);
                if (pick(4) == 0)
                    hardLink.insert(total);
                if (catalog && pick(5) != 0)
                    ids[total] = 1 + pick(3);
            }
            string path = Collect(pick(4));
            ASSERT_TRUE(arb.addCollect(list, 0, path).IsSuccess());
        }
        holds.held = [&](int32_t n) {
            return !hardLink.count(n) && std::any_of(hardLink.begin(), hardLink.end(), [&](int h) {
                return split[h] == split[n] && !done.count(h);
            });
        };
        struct Child { int pid, working = 0, steps = 0; bool ended = false; };
        vector<Child> children;
        for (int c = 1 + pick(5); c > 0; --c)
            children.push_back(Child{100 + c});
        for (size_t ended = 0, idle = 0; ended < children.size();) {
            ASSERT_LT(idle, 10000u) << "children wait for ever";
            Child& ch = children[pick(static_cast<int>(children.size()))];
            if (ch.ended || (ch.working && --ch.steps > 0))
                continue;
            done.insert(ch.working);
            RestartInfo_t a{0, 0, ch.pid, 0, 0, 0, 0};
            int got = ch.working = arb.getNextCollectForChild(a, ids, types, bound, catalog);
            idle = got == -1 ? idle + 1 : 0;
            ch.ended = got == 0;
            ended += got == 0;
            ch.steps = 1 + pick(3);
            if (got > 0) {
                ASSERT_TRUE(handedTo.emplace(got, ch.pid).second) << got << " handed out twice";
                if (ids.count(got)) {
                    EXPECT_EQ(archiveChild.emplace(ids[got], ch.pid).first->second, ch.pid);
                }
            }
            ExpectConsistent(arb.diskGroups());
        }
        EXPECT_EQ(static_cast<int>(handedTo.size()), total);
    }
}

}  // namespace
