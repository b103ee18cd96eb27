#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/os/KxMntTab.h"
#include "support/LogCapture.h"
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

// Entries in file order with escapes decoded; find takes the covering mount
// by PathUtil's rule (tested there), of equal mount points the later one.
TEST(KxMntTabTest, ReadsEntriesInOrderAndFindsTheMountThatHidesTheOthers) {
    MntTabFile file(kBasic);
    std::vector<KxMntEntry> all = readAll();
    ASSERT_EQ(all.size(), 7u);
    const char* want[][4] = {
        {"/dev/sda1", "/", "ext4", "rw,relatime"}, {"/dev/sdc1", "/home/u", "xfs", "ro,noatime"},
        {"server:/export dir", "/mnt/with blank", "nfs4", "rw,vers=4.2"}, {"tmpfs", "/tmp/tab\tand\\back", "tmpfs", "rw"},
    };
    const KxMntEntry* got[] = {&all[0], &all[3], &all[4], &all[5]};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(std::string(got[i]->special) + "|" + got[i]->dir + "|" + got[i]->type + "|" + got[i]->opts,
                  std::string(want[i][0]) + "|" + want[i][1] + "|" + want[i][2] + "|" + want[i][3]);
    }
    EXPECT_EQ(all[0].flag, 0);
    EXPECT_EQ(all[3].flag, 1);  // "ro"

    std::vector<KxMntTab::Entry> table = KxMntTab::getAll();
    ASSERT_EQ(table.size(), all.size());
    EXPECT_TRUE(table[3].readOnly);
    EXPECT_EQ(KxMntTab::find(table, "/home/x")->device, "/dev/sdd1");  // over-mounted
    KxMntTab::Entry found;
    ASSERT_TRUE(KxMntTab::find("/mnt/with blank/f", found));
    EXPECT_EQ(found.device, "server:/export dir");
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
    testfiles::LogCapture capture;
    std::vector<KxMntEntry> all = readAll();
    std::string log = capture.Take();

    ASSERT_EQ(all.size(), 4u);
    EXPECT_STREQ(all[0].dir, "/");
    EXPECT_EQ(std::string(all[1].dir), exactDir);
    EXPECT_EQ(std::string(all[2].dir), "/esc/" + std::string(300, ' '));
    EXPECT_EQ(all[2].flag, 1);
    EXPECT_STREQ(all[3].dir, "/last");
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

    // An option named "ro..." is not the read-only option.
    MntTabFile other("/dev/a / ext4 rw,rootcontext=x,errors=ro 0 0\n");
    all = readAll();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].flag, 0);
}

TEST(KxMntTabTest, UnreadableOrEmptyTableIsAnError) {
    ruxen::testcontrol::SetMountTablePath("/nonexistent/dir/mounts");
    std::string err;
    EXPECT_TRUE(readAll(&err).empty());
    EXPECT_NE(err.find("/nonexistent/dir/mounts"), std::string::npos) << err;
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
    EXPECT_EQ(kxReadMntTab(nullptr, 0), nullptr);  // no error buffer is fine
    EXPECT_THROW(KxMntTab::getAll(), KxException);
    KxMntTab::Entry entry;
    EXPECT_THROW(KxMntTab::find("/", entry), KxException);
    ruxen::testcontrol::SetMountTablePath(nullptr);
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
    ruxen::testcontrol::SetMountTablePath(nullptr);
    std::vector<KxMntTab::Entry> table = KxMntTab::getAll();
    ASSERT_FALSE(table.empty());
    KxMntTab::Entry e;
    ASSERT_TRUE(KxMntTab::find(RUXEN_SOURCE_DIR, e));
    EXPECT_EQ(std::string(RUXEN_SOURCE_DIR).compare(0, e.mountPoint.size(), e.mountPoint), 0);
}

}  // namespace
