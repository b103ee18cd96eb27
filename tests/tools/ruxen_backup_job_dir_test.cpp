// ruxen-backup over a job directory: every collect file once, each regular
// collect file of a split group only after the group's hard-link collect
// file; the README's road (ruxen-collect --job-dir, then every documented
// form of ruxen-backup --job-dir, through the verifier); members whose
// group's data is in no stream, failed and listed; and directories a backup
// would take wrongly, refused before any output exists.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/hardlinks/HardLinksTable.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenMessages.h"
#include "support/ChildLock.h"
#include "support/ProcessState.h"
#include "support/RunProgram.h"
#include "support/StreamCheck.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

TEST(RuxenBackupJobDir, EveryCollectFileOnceRegularFilesAfterTheirHardLinkFiles) {
    for (const char* classic : {"Y", "N"}) {
        SCOPED_TRACE(std::string("classic=") + classic);
        TempDir dir("ruxen_job_dir");
        const std::string job = dir / "job", tree = dir / "tree";
        ASSERT_EQ(0, mkdir(job.c_str(), 0755));
        ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
        // Collect file n lists n files; the hard-link collect files 1 and 4
        // hold the most data.
        for (int n = 1; n <= 6; ++n) {
            std::string lines;
            for (int k = 0; k < n; ++k) {
                const std::string f = tree + "/f" + std::to_string(n) + "_" + std::to_string(k);
                WriteWholeFile(f, pattern(n == 1 || n == 4 ? 4 << 20 : 100, n + k));
                lines += f + "\n";
            }
            WriteWholeFile(job + "/CollectTot" + std::to_string(n) + ".kxf", lines);
        }
        WriteWholeFile(job + "/Merged_split_config", "H1 2 3 \nH4 5 \n6 \n");
        WriteWholeFile(job + "/split_config", "1 2 3\n4 5 5\n6\n");
        HardLinksTable table;
        ASSERT_EQ(0, table.setDirectory(job, false, kHardLinksTableName));
        ASSERT_EQ(0, table.close());
        WriteWholeFile(dir / "registry", std::string("[FileSystemAgent]\nHLINK=Y\nsCLASSIC_ARBITRATION=") + classic +
                                             "\n");
        ProgramOptions log;
        log.env = {"RUXEN_LOG_LEVEL=2", "RUXEN_LOG_FILE=" + (dir / "log")};
        ProgramResult r = RunProgram(dir.path(), "ruxen-backup",
                                     {"--registry", dir / "registry", "--streams", "2", "--job-dir", job, "--archive",
                                      dir / "out"},
                                     log);
        ASSERT_EQ(0, r.exitCode) << r.err;
        uint64_t items = 0;
        for (const char* s : {".1", ".2"}) {
            StreamCheck c = CheckArchiveFile(dir / "out" + s);
            EXPECT_TRUE(c.Ok()) << c.lines;
            items += c.matched;
        }
        EXPECT_EQ(21u, items) << "every file of every collect file once";

        // The parent's own lines: which stream took and finished what, in order.
        std::map<int, int> taken, finished;
        std::istringstream lines(ReadWholeFile(dir / "log"));
        int order = 0;
        const std::string takes = " takes collect file ", ends = " finished collect file ";
        for (std::string line; std::getline(lines, line); ++order) {
            size_t at;
            if ((at = line.find(takes)) != std::string::npos)
                EXPECT_TRUE(taken.emplace(atoi(line.c_str() + at + takes.size()), order).second) << line;
            else if ((at = line.find(ends)) != std::string::npos)
                finished[atoi(line.c_str() + at + ends.size())] = order;
        }
        EXPECT_EQ(6u, taken.size());
        for (const auto& [regular, hardLink] : std::map<int, int>{{2, 1}, {3, 1}, {5, 4}}) {
            ASSERT_TRUE(finished.count(hardLink) && taken.count(regular));
            EXPECT_LT(finished[hardLink], taken[regular]) << regular << " before H" << hardLink;
        }
    }
}

// Three trees whose hard links cross them, collected into a job directory
// as the README says: groups over all trees, over two, within one.
class JobDirRoad : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string& d : {m_job, m_t1, m_t2, m_t3, m_t3 + "/sub"})
            ASSERT_EQ(0, mkdir(d.c_str(), 0755));
        const std::map<std::string, std::vector<std::string>> groups = {{m_t1 + "/a", {m_t2 + "/a2", m_t3 + "/sub/a3"}},
                                                                        {m_t2 + "/b", {m_t3 + "/b2"}},
                                                                        {m_t3 + "/c", {m_t3 + "/sub/c2"}},
                                                                        {m_t1 + "/d", {m_t1 + "/d2"}}};
        for (const auto& [head, links] : groups) {
            WriteWholeFile(head, pattern(70000 + m_want.size(), static_cast<unsigned>(m_want.size())));
            for (const std::string& l : links)
                ASSERT_EQ(0, link(head.c_str(), l.c_str()));
            struct stat st;
            ASSERT_EQ(0, lstat(head.c_str(), &st));
            const std::string phony = kPhonyNamePrefix + std::to_string(st.st_ino) + "_" + std::to_string(st.st_dev) +
                                      "_" + std::to_string(st.st_ctime);
            m_want.emplace(phony, "");
            for (const std::string& l : links)
                m_want.emplace(phony, l);
        }
        WriteWholeFile(m_t1 + "/plain", pattern(5000, 9));
        WriteWholeFile(m_t3 + "/sub/plain", pattern(6000, 10));
        WriteWholeFile(m_dir / "registry", "[FileSystemAgent]\nHLINK=Y\n");
        ProgramResult r = RunProgram(m_dir.path(), "ruxen-collect", {"--job-dir", m_job, m_t1, m_t2, m_t3});
        ASSERT_EQ(0, r.exitCode) << r.err;
    }

    // ruxen-backup with `args`, then ruxen-dump --verify over its streams:
    // the exit status, the backup's standard error, and what the streams
    // sent of the groups: (phony name, "") for a group's data, (phony name,
    // member) for each member name its data carries; and the items that
    // carry a file-set record, with its value.
    struct Run {
        int status;
        std::string err, verify;
        std::multiset<std::pair<std::string, std::string>> sent;
        std::map<std::string, std::string> fileSets;
    };
    Run Backup(std::vector<std::string> args, int streams) {
        args.insert(args.begin(), {"--failures", m_dir / "failures", "--archive", m_dir / "out"});
        if (streams > 1)
            args.insert(args.begin(), {"--streams", std::to_string(streams)});
        Run run;
        for (const char* s : {"", ".1", ".2"})
            for (const char* f : {"failures", "out"})
                unlink((m_dir / (f + std::string(s))).c_str());
        ProgramResult r = RunProgram(m_dir.path(), "ruxen-backup", args);
        run.status = r.exitCode;
        run.err = r.err;
        std::vector<std::string> outs;
        for (int s = streams > 1 ? 1 : 0; s <= (streams > 1 ? streams : 0); ++s)
            outs.push_back(m_dir / (s ? "out." + std::to_string(s) : "out"));
        outs.insert(outs.begin(), {"--verify", "--list"});
        r = RunProgram(m_dir.path(), "ruxen-dump", outs);
        run.verify = r.out.substr(r.out.rfind("verify:") == std::string::npos ? 0 : r.out.rfind("verify:"));
        if (r.exitCode != 0)
            run.verify = "exit " + std::to_string(r.exitCode) + ": " + run.verify;
        std::string item;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const size_t name = line.find(" HEADER type=128 length=1160 name=\""), text = line.find(" text=\"");
            if (name != std::string::npos) {
                item = line.substr(name + 35, line.find('"', name + 35) - name - 35);
                if (item.compare(0, strlen(kPhonyNamePrefix), kPhonyNamePrefix) == 0)
                    run.sent.emplace(item, "");
            } else if (line.find(" OPT_HDR2 type=149 ") != std::string::npos) {
                run.sent.emplace(item, line.substr(text + 7, line.size() - text - 8));
            } else if (line.find(" IDX_METADATA type=159 ") != std::string::npos) {
                run.fileSets.emplace(item, line.substr(line.find(" message ") + 9));
            }
        }
        return run;
    }
    std::string Failures() const {
        std::string all;
        for (const char* s : {"", ".1", ".2"})
            if (access((m_dir / ("failures" + std::string(s))).c_str(), F_OK) == 0)
                all += ReadWholeFile(m_dir / ("failures" + std::string(s)));
        return all;
    }
    std::vector<std::string> CollectFiles() const {
        std::vector<std::string> c;
        for (int n = 1; access((m_job + "/CollectTot" + std::to_string(n) + ".kxf").c_str(), F_OK) == 0; ++n)
            c.push_back(m_job + "/CollectTot" + std::to_string(n) + ".kxf");
        return c;
    }

    TempDir m_dir{"ruxen_job_road", SyncFreeBase()};
    const std::string m_job = m_dir / "job", m_t1 = m_dir / "t1", m_t2 = m_dir / "t2", m_t3 = m_dir / "t3";
    std::multiset<std::pair<std::string, std::string>> m_want;  // as Run::sent
};

// Every documented form: each group's data exactly once, in whichever
// stream, under its phony name with its other members' names, and the
// streams verify together (every member names a group whose data is there).
TEST_F(JobDirRoad, EveryDocumentedFormSendsEachGroupOnceAndNamesEveryMember) {
    EXPECT_EQ("H1 2 \nH3 4 \nH5 6 \n", ReadWholeFile(m_job + "/Merged_split_config"));
    for (bool named : {false, true}) {
        for (int streams : {1, 2}) {
            for (bool hlink : {false, true}) {
                SCOPED_TRACE(std::string(named ? "collect files named" : "--job-dir alone") + ", streams " +
                             std::to_string(streams) + (hlink ? ", HLINK=Y" : ""));
                std::vector<std::string> args = {"--job-dir", m_job};
                if (hlink)
                    args.insert(args.begin(), {"--registry", m_dir / "registry"});
                if (named)
                    for (const std::string& c : CollectFiles())
                        args.push_back(c);
                Run r = Backup(args, streams);
                EXPECT_EQ(0, r.status) << r.err;
                EXPECT_EQ("", Failures());
                EXPECT_EQ(0u, r.verify.find("verify: 19 items, 6 compared, 6 matched, 0 mismatched")) << r.verify;
                EXPECT_EQ(m_want, r.sent);
            }
        }
    }
}

// A hard-link collect file holding every line of its groups, each group's
// lines together (as a split that keeps all records writes it): the data
// and the member names of a group go out once, with its first line, and
// each later line is a member naming it, not the whole group again.
TEST_F(JobDirRoad, EveryLineOfAGroupInItsHardLinkCollectFileSendsTheGroupOnce) {
    const std::map<std::string, std::vector<std::string>> others = {{m_t1 + "/a", {m_t2 + "/a2", m_t3 + "/sub/a3"}},
                                                                    {m_t1 + "/d", {m_t1 + "/d2"}}};
    std::string every;
    std::istringstream lines(ReadWholeFile(m_job + "/CollectTot1.kxf"));
    for (std::string line; std::getline(lines, line);) {
        every += line + "\n";
        const size_t path = line.find(" /");
        if (line != "# /")
            for (const std::string& o : others.at(line.substr(path + 1)))
                every += line.substr(0, path + 1) + o + "\n";
    }
    WriteWholeFile(m_job + "/CollectTot1.kxf", every);
    Run r = Backup({"--job-dir", m_job}, 1);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", Failures());
    EXPECT_NE(std::string::npos, r.verify.find(" 6 matched, 0 mismatched, 0 failed")) << r.verify;
    EXPECT_EQ(m_want, r.sent);
}

// A member that went out naming a group whose data is in no stream is a
// failed item, listed, and its collect file is named as not wholly backed
// up: a collect file named without the hard-link collect file of its
// groups, a group whose line in its hard-link collect file failed, and a
// stream killed while it held a hard-link collect file.
TEST_F(JobDirRoad, MembersOfGroupsWhoseDataIsInNoStreamFail) {
    const std::string failLine = ":" + std::to_string(ENODATA) + "\n";
    Run r = Backup({"--job-dir", m_job, m_job + "/CollectTot6.kxf"}, 1);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(
        m_t3 + "/b2" + failLine + m_t3 + "/c" + failLine + m_t3 + "/sub/a3" + failLine + m_t3 + "/sub/c2" + failLine,
        Failures());
    EXPECT_NE(std::string::npos, r.err.find("the collect file " + m_job + "/CollectTot6.kxf was not wholly backed up"))
        << r.err;
    // Lines that cannot be appended: the summary names the list.
    r = Backup({"--failures", "/dev/full", "--job-dir", m_job, m_job + "/CollectTot6.kxf"}, 1);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("the failures file /dev/full is incomplete: writing it failed (No space left on device)"))
        << r.err;

    // The line of the group over all trees names t1/a: gone, the group's
    // data goes nowhere (a vanished item is no reported failure).
    ASSERT_EQ(0, unlink((m_t1 + "/a").c_str()));
    r = Backup({"--job-dir", m_job}, 2);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::set<std::string>{m_t2 + "/a2" + failLine, m_t3 + "/sub/a3" + failLine}), [&] {
        std::set<std::string> s;
        std::istringstream in(Failures());
        for (std::string l; std::getline(in, l);)
            s.insert(l + "\n");
        return s;
    }());
    for (const char* n : {"4", "6"})
        EXPECT_NE(std::string::npos, r.err.find(m_job + "/CollectTot" + n + ".kxf was not wholly")) << r.err;
    ASSERT_EQ(0, link((m_t2 + "/a2").c_str(), (m_t1 + "/a").c_str()));

    // The stream that takes the second tree's hard-link collect file (3) is
    // killed: its group fails (CollectTot4), and so does the member of its
    // group in the third tree.
    ProcessStateGuard state;
    BackupArgs args;
    args.streamCount = 2;
    args.jobDir = m_job;
    args.archivePath = m_dir / "killed";
    args.failuresPath = m_dir / "killed.failures";
    RuxenBase job(args, {});
    job.setStreamFunction([](RuxenBase& self, const BackupArgs& a, const RuxenBase::NextCollect& next) {
        return self.runStream(a, [&next] {
            const int n = next();
            if (n == 3)
                raise(SIGKILL);
            return n;
        });
    });
    EXPECT_EQ(1, job.parent());
    std::set<std::string> failed;
    for (const std::string& f : job.failedCollectFiles())
        failed.insert(f.substr(f.rfind('/') + 1));
    EXPECT_EQ((std::set<std::string>{"CollectTot3.kxf", "CollectTot4.kxf", "CollectTot6.kxf"}), failed);
    EXPECT_EQ(m_t3 + "/b2" + failLine,
              ReadWholeFile(m_dir / "killed.failures.1") + ReadWholeFile(m_dir / "killed.failures.2"));
}

// Every item at or below a path of the job directory's file-set list carries
// the file-set record naming its set, and no other item does.
TEST_F(JobDirRoad, ItemsOfAListedFileSetCarryItsRecord) {
    WriteWholeFile(m_job + "/" + kFileSetListFile, "<App_GpfsFileSetConfigList><fileSet name=\"sub\" path=\"" + m_t3 +
                                                       "/sub/\"/></App_GpfsFileSetConfigList>");
    Run r = Backup({"--job-dir", m_job}, 2);
    ASSERT_EQ(0, r.status) << r.err;
    std::map<std::string, std::string> want;
    for (const char* item : {"/sub", "/sub/a3", "/sub/c2", "/sub/plain"})
        want[m_t3 + item] = "IdxMetaData{7=FileSetData{1=\"sub\"}}";
    EXPECT_EQ(want, r.fileSets);
}

// Directories a backup would take wrongly are refused with the reason,
// before any output is made.
TEST_F(JobDirRoad, DirectoriesABackupWouldTakeWronglyAreRefused) {
    const std::string merged = ReadWholeFile(m_job + "/Merged_split_config"),
                      split = ReadWholeFile(m_job + "/split_config");
    auto write = [&](const char* name, const std::string& text) {
        return [=] { WriteWholeFile(m_job + "/" + name, text); };
    };
    auto remove = [&](const std::string& name) { return [=] { unlink((m_job + "/" + name).c_str()); }; };
    auto mark = [&](int64_t mark) {
        return [=] {
            sqlite3* db = nullptr;
            ASSERT_EQ(SQLITE_OK, sqlite3_open((m_job + "/hardLinks.dat").c_str(), &db));
            EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, ("PRAGMA user_version=" + std::to_string(mark)).c_str(), nullptr,
                                              nullptr, nullptr));
            sqlite3_close(db);
        };
    };
    auto cutScan = [&] {  // killed (SIGXFSZ) in the middle of its first collect file
        ProgramOptions small{{}, [] {
                                 struct rlimit limit = {100, 100};
                                 setrlimit(RLIMIT_FSIZE, &limit);
                             }};
        EXPECT_NE(0, RunProgram(m_dir.path(), "ruxen-collect", {"--job-dir", m_job, m_t1}, small).exitCode);
    };
    auto scan = [&] {
        EXPECT_EQ(0, RunProgram(m_dir.path(), "ruxen-collect", {"--job-dir", m_job, m_t1, m_t2, m_t3}).exitCode);
    };
    struct Case {
        const char* name;
        std::function<void()> spoil, mend;
        const char* message;
        bool anyJob;  // refused whether or not the collect files are named
    } cases[] = {
        {"scan cut short", cutScan, scan, "CollectTot.scanning: the scan that writes it is running or was cut short",
         true},
        {"number beyond the directory", write("split_config", split + "2147483647\n"), write("split_config", split),
         "holds 6 collect files, and split_config line 4 names collect file 2147483647", false},
        {"range past the bound", write("split_config", split + "7 8 99999\n"), write("split_config", split),
         "starts a range that is too long", false},
        {"collect file no configuration names", write("CollectTot7.kxf", ""), remove("CollectTot7.kxf"),
         "CollectTot7.kxf, which neither split_config nor Merged_split_config names", false},
        {"configurations disagree", write("Merged_split_config", "H1 2 \nH3 4 6 \nH5 \n"),
         write("Merged_split_config", merged), "configurations that disagree: group 2", false},
        {"unmerged hard-link collect file", write("HCollectTot1.kxf", "# /\n"), remove("HCollectTot1.kxf"),
         "HCollectTot1.kxf, which no merge renumbered", true},
        {"merge journal", write(kMergeJournalName, ""), remove(kMergeJournalName),
         "a split or merge of it did not finish", true},
        {"no merge after the split", remove("Merged_split_config"), write("Merged_split_config", merged),
         "has no Merged_split_config after its split", true},
        {"table without its mark", mark(0), mark(HardLinksTable::kCompleteMark),
         "hard-links table that is not complete", true},
        {"file-set list that does not parse", write(kFileSetListFile, "<App_GpfsFileSetConfigList>"),
         remove(kFileSetListFile), "the file-set list of the job directory cannot be read", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil();
        for (bool named : {false, true}) {
            if (named && !c.anyJob)
                continue;  // the configurations order a job of the directory's own files
            std::vector<std::string> args = {"--job-dir", m_job};
            if (named)
                args.push_back(m_job + "/CollectTot1.kxf");
            Run r = Backup(args, 2);
            EXPECT_EQ(2, r.status);
            EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
            EXPECT_NE(0, access((m_dir / "out.1").c_str(), F_OK)) << "an output was made";
        }
        c.mend();
    }
    EXPECT_EQ(0, Backup({"--job-dir", m_job}, 2).status);
}

// A scan, split, merge or backup of a job directory another process holds
// waits, then is refused, and the directory is left alone; two scans of one
// directory at once take turns, and what they leave backs up whole.
TEST_F(JobDirRoad, AScanOrBackupWaitsForTheDirectoryItsLockHolds) {
    auto files = [&] {
        std::string all;
        for (const char* name :
             {"CollectTot1.kxf", "CollectTot2.kxf", "split_config", "Merged_split_config", "hardLinks.dat"})
            all += ReadWholeFile(m_job + "/" + name) + "\n--\n";
        return all;
    };
    const std::string before = files();
    WriteWholeFile(m_dir / "wait", "[FileSystemAgent]\nnJobDirectoryLockWaitSeconds = 0\n");
    WriteWholeFile(m_job + "/" + kJobDirectoryLockName, "");
    {
        ChildLock holder(m_job + "/" + kJobDirectoryLockName, ChildLock::kFlockExclusive);
        ASSERT_TRUE(holder.held());
        const std::string busy = "the job directory " + m_job + " is in use by another process";
        for (const auto& [program, args] : std::map<std::string, std::vector<std::string>>{
                 {"ruxen-collect", {"--job-dir", m_job, m_t1}},
                 {"ruxen-backup", {"--job-dir", m_job, "--archive", m_dir / "out"}}}) {
            ProgramResult r = RunProgram(m_dir.path(), program, args, {{"RUXEN_REGISTRY=" + (m_dir / "wait")}, {}});
            EXPECT_EQ(2, r.exitCode);
            EXPECT_NE(std::string::npos, r.err.find(busy)) << r.err;
        }
        EXPECT_NE(0, access((m_dir / "out").c_str(), F_OK));
        // The library's split and merge.
        ProcessStateGuard state;
        KXPlatformInfo::setValue(kFileSystemAgentSection, kKeyJobDirectoryLockWait, "0");
        HardLinkManager::EnableHardLinkFeature();
        HardLinkManager manager;
        manager.initHardLinkManager(m_job, "CollectTot");
        uint32_t next = 0;
        int missing = 0;
        for (int merge = 0; merge < 2; ++merge) {
            try {
                merge ? manager.MergeSplitFiles(next, missing) : manager.SplitHCollectFile(3, true, 1);
                ADD_FAILURE() << "not refused";
            } catch (const HardLinkManagerCriticalException& e) {
                EXPECT_NE(std::string::npos, std::string(e.what()).find(busy)) << e.what();
            }
        }
        EXPECT_EQ(before, files());
    }
    for (int round = 0; round < 3; ++round) {
        const pid_t first = StartProgram(m_dir.path(), "ruxen-collect", {"--job-dir", m_job, m_t1, m_t2, m_t3});
        ProgramResult second = RunProgram(m_dir.path(), "ruxen-collect", {"--job-dir", m_job, m_t1, m_t2, m_t3});
        EXPECT_EQ(0, second.exitCode) << second.err;
        EXPECT_EQ(0, FinishProgram(first, m_dir.path(), "ruxen-collect").exitCode);
        Run r = Backup({"--job-dir", m_job}, 2);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(0u, r.verify.find("verify: 19 items, 6 compared, 6 matched, 0 mismatched")) << r.verify;
        EXPECT_EQ(m_want, r.sent);
    }
}

}  // namespace
