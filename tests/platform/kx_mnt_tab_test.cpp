#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/KxException.h"
#include "platform/KxLog.h"
#include "platform/KxMntTab.h"
#include "support/MntTabFile.h"
#include "support/TestFiles.h"

namespace {

using testfiles::MntTabFile;

std::vector<KxMntEntry> readAll(std::string* err = nullptr) {
    char errbuf[1024];
    KxMntEntry* list = kxReadMntTab(errbuf, sizeof(errbuf));
    if (err)
        *err = list ? "" : errbuf;
    std::vector<KxMntEntry> out;
    while (list) {
        KxMntEntry* next = list->next;
        out.push_back(*list);
        out.back().next = nullptr;
        free(list);
        list = next;
    }
    return out;
}

std::vector<std::string> splitOptions(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ','))
        out.push_back(item);
    return out;
}

const std::string kBasic =
    "/dev/sda1 / ext4 rw,relatime 0 0\n"
    "proc /proc proc rw,nosuid,nodev 0 0\n"
    "# a comment line\n"
    "\n"
    "/dev/sdb1 /home ext4 rw 0 0\n"
    "/dev/sdc1 /home/u xfs ro,noatime 0 0\n"
    "server:/export\\040dir /mnt/with\\040blank nfs4 rw,vers=4.2 0 0\n"
    "tmpfs /tmp/tab\\011and\\134back tmpfs rw 0 0\n"
    "/dev/sdd1 /home ext4 rw,relatime 0 0\n";

TEST(KxMntTabTest, ReadsEntriesInOrderWithEscapesDecoded) {
    MntTabFile file(kBasic);
    std::vector<KxMntEntry> all = readAll();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_STREQ(all[0].special, "/dev/sda1");
    EXPECT_STREQ(all[0].dir, "/");
    EXPECT_STREQ(all[0].type, "ext4");
    EXPECT_STREQ(all[0].opts, "rw,relatime");
    EXPECT_EQ(all[0].flag, 0);
    EXPECT_STREQ(all[3].dir, "/home/u");
    EXPECT_EQ(all[3].flag, 1);  // "ro"
    EXPECT_STREQ(all[4].special, "server:/export dir");
    EXPECT_STREQ(all[4].dir, "/mnt/with blank");
    EXPECT_STREQ(all[4].type, "nfs4");
    EXPECT_STREQ(all[5].dir, "/tmp/tab\tand\\back");
    EXPECT_STREQ(all[6].special, "/dev/sdd1");

    std::vector<KxMntTab::Entry> table = KxMntTab::getAll();
    ASSERT_EQ(table.size(), all.size());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].device, all[i].special);
        EXPECT_EQ(table[i].mountPoint, all[i].dir);
        EXPECT_EQ(table[i].fsType, all[i].type);
        EXPECT_EQ(table[i].options, all[i].opts);
        EXPECT_EQ(table[i].readOnly, all[i].flag != 0);
    }
}

TEST(KxMntTabTest, FindTakesLongestWholeComponentMountAndLaterOfEqual) {
    MntTabFile file(kBasic);
    std::vector<KxMntTab::Entry> table = KxMntTab::getAll();
    auto deviceOf = [&](const std::string& p) -> std::string {
        const KxMntTab::Entry* e = KxMntTab::find(table, p);
        return e ? e->device : "<none>";
    };
    EXPECT_EQ(deviceOf("/home/u/f"), "/dev/sdc1");
    EXPECT_EQ(deviceOf("/home/u"), "/dev/sdc1");
    EXPECT_EQ(deviceOf("/home/x"), "/dev/sdd1");  // over-mounted: the later entry
    EXPECT_EQ(deviceOf("/home"), "/dev/sdd1");
    EXPECT_EQ(deviceOf("/home/"), "/dev/sdd1");
    EXPECT_EQ(deviceOf("/homework"), "/dev/sda1");
    EXPECT_EQ(deviceOf("/home/uu"), "/dev/sdd1");
    EXPECT_EQ(deviceOf("/mnt/with blank/f"), "server:/export dir");
    EXPECT_EQ(deviceOf("/mnt/with"), "/dev/sda1");
    EXPECT_EQ(deviceOf("/proc/self"), "proc");
    EXPECT_EQ(deviceOf("/"), "/dev/sda1");
    EXPECT_EQ(deviceOf(""), "<none>");
    EXPECT_EQ(deviceOf("relative/path"), "<none>");

    KxMntTab::Entry e;
    ASSERT_TRUE(KxMntTab::find("/home/u/f", e));
    EXPECT_EQ(e.mountPoint, "/home/u");
    EXPECT_TRUE(e.readOnly);

    std::vector<KxMntTab::Entry> noRoot(table.begin() + 1, table.end());
    EXPECT_EQ(KxMntTab::find(noRoot, "/etc/passwd"), nullptr);
}

TEST(KxMntTabTest, SkipsWhatDoesNotFitAndNeverCutsAPath) {
    const std::string longSpecial = "/dev/" + std::string(1100, 's');
    const std::string longDir = "/long/" + std::string(1100, 'd');
    const std::string exactDir = "/" + std::string(1022, 'e');  // 1023 characters: fits
    // 300 escaped blanks: 1206 bytes in the file, 306 once decoded.
    std::string escapedDir = "/esc/";
    for (int i = 0; i < 300; ++i)
        escapedDir += "\\040";
    const std::string text = "/dev/root / ext4 rw 0 0\n" + longSpecial + " /long/special ext4 rw 0 0\n" +
                             "/dev/x " + longDir + " ext4 rw 0 0\n" + "/dev/exact " + exactDir +
                             " ext4 rw 0 0\n" + "/dev/esc " + escapedDir + " ext4 ro 0 0\n" +
                             "none none swap sw 0 0\n" + "lonely\n" + std::string("/dev/nul /nul\0x ext4 rw 0 0\n", 28) +
                             "/dev/last /last ext4 rw 0 0";  // no final line feed
    MntTabFile file(text);
    KxLog::StartCapture();
    std::vector<KxMntEntry> all = readAll();
    std::string log = KxLog::TakeCaptured();
    KxLog::StopCapture();

    ASSERT_EQ(all.size(), 4u);
    EXPECT_STREQ(all[0].dir, "/");
    EXPECT_EQ(std::string(all[1].dir), exactDir);
    EXPECT_EQ(std::string(all[2].dir), "/esc/" + std::string(300, ' '));
    EXPECT_EQ(all[2].flag, 1);
    EXPECT_STREQ(all[3].dir, "/last");
    for (const KxMntEntry& e : all) {
        EXPECT_LT(strlen(e.special), sizeof(e.special));
        EXPECT_LT(strlen(e.dir), sizeof(e.dir));
    }
    // Each skipped line is logged with its line number.
    for (const char* what : {"line 2 ", "line 3 ", "line 6 ", "line 7 ", "line 8 "})
        EXPECT_NE(log.find(what), std::string::npos) << what << "\n" << log;

    // The directory of the skipped mount is covered by its parent instead,
    // never by a cut prefix.
    std::vector<KxMntTab::Entry> table = KxMntTab::getAll();
    const KxMntTab::Entry* e = KxMntTab::find(table, longDir + "/f");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->mountPoint, "/");
}

TEST(KxMntTabTest, LongOptionsAreCutAtACommaAndTheReadOnlyFlagSeesAll) {
    std::string opts = "rw";
    for (int i = 0; i < 30; ++i)
        opts += ",lowerdir=/layer" + std::to_string(i);
    opts += ",ro";  // only past the cut
    std::string type(300, 't');
    MntTabFile file("overlay /merged " + type + " " + opts + " 0 0\n");
    std::vector<KxMntEntry> all = readAll();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].flag, 1);
    EXPECT_EQ(std::string(all[0].type), type.substr(0, 255));
    std::string kept = all[0].opts;
    EXPECT_LE(kept.size(), 255u);
    EXPECT_EQ(opts.compare(0, kept.size(), kept), 0);
    EXPECT_EQ(opts[kept.size()], ',');  // cut right before a comma: whole options only
    EXPECT_GT(kept.size(), 200u);
    std::vector<std::string> original = splitOptions(opts);
    std::set<std::string> known(original.begin(), original.end());
    for (const std::string& o : splitOptions(kept))
        EXPECT_TRUE(known.count(o)) << o;

    // An option named "ro..." is not the read-only option.
    MntTabFile other("/dev/a / ext4 rw,rootcontext=x,errors=ro 0 0\n");
    all = readAll();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].flag, 0);
}

TEST(KxMntTabTest, UnreadableOrEmptyTableIsAnError) {
    kxSetMntTabPathForTest("/nonexistent/dir/mounts");
    std::string err;
    EXPECT_TRUE(readAll(&err).empty());
    EXPECT_NE(err.find("/nonexistent/dir/mounts"), std::string::npos) << err;
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
    EXPECT_EQ(kxReadMntTab(nullptr, 0), nullptr);  // no error buffer is fine
    try {
        KxMntTab::getAll();
        ADD_FAILURE() << "no exception";
    } catch (const KxException& e) {
        EXPECT_EQ(e.code(), -1);
        EXPECT_EQ(e.context(), "KxMntTab::getAll");
        EXPECT_NE(e.text().find("/nonexistent/dir/mounts"), std::string::npos);
    }
    KxMntTab::Entry entry;
    EXPECT_THROW(KxMntTab::find("/", entry), KxException);
    kxSetMntTabPathForTest(nullptr);
    EXPECT_EQ(kxMntTabPath(), "/proc/self/mounts");

    {
        MntTabFile empty("# nothing here\n\nlonely\n");
        EXPECT_TRUE(readAll(&err).empty());
        EXPECT_NE(err.find("No usable entry"), std::string::npos) << err;
    }
    {
        // A short error buffer gets a cut message, still terminated.
        MntTabFile empty("");
        char small[8];
        memset(small, 'x', sizeof(small));
        EXPECT_EQ(kxReadMntTab(small, sizeof(small)), nullptr);
        EXPECT_EQ(strlen(small), 7u);
    }
}

TEST(KxMntTabTest, RealMountTable) {
    kxSetMntTabPathForTest(nullptr);
    std::vector<KxMntTab::Entry> table = KxMntTab::getAll();
    ASSERT_FALSE(table.empty());
    const KxMntTab::Entry* root = KxMntTab::find(table, "/");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->mountPoint, "/");
    KxMntTab::Entry e;
    ASSERT_TRUE(KxMntTab::find(RUXEN_SOURCE_DIR, e));
    EXPECT_EQ(std::string(RUXEN_SOURCE_DIR).compare(0, e.mountPoint.size(), e.mountPoint), 0);
}

}  // namespace
