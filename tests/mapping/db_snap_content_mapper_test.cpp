#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "mapping/DBSnapContentMapper.h"
#include "platform/agent/ApplicationRegistry.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "platform/snapshot/DBPathTranslator.h"
#include "platform/snapshot/TavSnapUtilDb.h"
#include "support/SnapFixture.h"

namespace {

// /db/alt and /db/data share one snapshot mount, so two files land on one
// mount path.
const char kDbVolumes[] =
    "vol\t1\t/db/data\t/snap/dbdata\t0\t1\t0\td1\n"
    "vol\t2\t/db/logs\t/snap/dblogs\t0\t2\t0\td2\n"
    "vol\t3\t/db/alt\t/snap/dbdata\t0\t3\t0\td3\n";
const char kDbFiles[] =
    "1\t/db/data/f1.dbf\t0\n"
    "1\t/db/data/f2.dbf\t0\n"
    "2\t/db/logs/redo1.log\t1\n"
    "3\t/db/alt/f1.dbf\t0\n";

class DBSnapContentMapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::StartLogCapture();
        fixture_.write(30, ".snap", kDbVolumes);
        fixture_.write(30, ".dbfiles", kDbFiles);
    }
    void TearDown() override {
        ruxen::testcontrol::ResetApplicationRegistry();
        ruxen::testcontrol::StopLogCapture();
    }
    bool init(DBSnapContentMapper& m, unsigned long appType, int engine = 4, const char* job = "30",
              const std::string& token = "tok") {
        return m.initialize(job, 1, engine, false, 2u, "host*phys", 17ul, appType, token);
    }

    testfiles::SnapFixture fixture_;
};

TEST_F(DBSnapContentMapperTest, ListsTranslatedFilesAndMapsExactlyThem) {
    DBSnapContentMapper m;
    std::list<std::string> files;
    std::map<unsigned long long, std::vector<NorfaSnapshotEntity>> entities;
    EXPECT_FALSE(m.populateOnDemandFileList(files, entities));  // nothing translated yet
    ASSERT_TRUE(init(m, 22));
    ASSERT_TRUE(init(m, 22));  // again: the translator is replaced, nothing leaks
    ASSERT_TRUE(m.populateOnDemandFileList(files, entities));
    EXPECT_EQ(files, (std::list<std::string>{"/snap/dbdata/f1.dbf", "/snap/dbdata/f2.dbf", "/snap/dblogs/redo1.log",
                                             "/snap/dbdata/f1.dbf"}));
    ASSERT_EQ(entities.size(), 3u);
    EXPECT_EQ(entities[1].size(), 2u);
    EXPECT_EQ(entities[1][1].srcPath, "/db/data/f2.dbf");
    EXPECT_TRUE(entities[2][0].isLogEntity);
    EXPECT_FALSE(entities[3][0].isLogEntity);

    struct Case {
        bool toLocal;
        const char* in;
        int rc;
        const char* out;
    } cases[] = {
        {false, "/snap/dbdata/f1.dbf", 0, "/db/alt/f1.dbf"},  // one mount path: the later source
        {false, "/snap/dblogs/redo1.log", 0, "/db/logs/redo1.log"},
        {false, "/snap/dbdata", 2, "/snap/dbdata"},
        {false, "/", 0, "/"},
        {true, "/db/data/f2.dbf", 0, "/snap/dbdata/f2.dbf"},
        {true, "/db/data/f1.dbf", -2, "/db/data/f1.dbf"},  // overwritten in the file map
        {true, "/db/other", -2, "/db/other"},
        {true, "/", 0, "/"},
    };
    for (const Case& c : cases) {
        std::string s;
        char buf[64];
        EXPECT_EQ(c.toLocal ? m.MakeHostPathFromProxyPath(std::string(c.in), s)
                            : m.MakeProxyPathFromHostPath(std::string(c.in), s),
                  c.rc)
            << c.in;
        EXPECT_EQ(s, c.out);
        EXPECT_EQ(c.toLocal ? m.MakeHostPathFromProxyPath(c.in, buf, sizeof(buf))
                            : m.MakeProxyPathFromHostPath(c.in, buf, sizeof(buf)),
                  c.rc)
            << c.in;
        EXPECT_STREQ(buf, c.out);
    }
    const std::string want = "/db/logs/redo1.log";
    std::vector<char> buf(want.size() + 1, 'x');
    EXPECT_EQ(m.MakeProxyPathFromHostPath("/snap/dblogs/redo1.log", buf.data(), static_cast<int>(buf.size())), 0);
    EXPECT_EQ(std::string(buf.data()), want);
    EXPECT_EQ(m.MakeProxyPathFromHostPath("/snap/dblogs/redo1.log", buf.data(), static_cast<int>(want.size())), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(buf.data(), "");
    EXPECT_EQ(m.MakeHostPathFromProxyPath("/db/other", buf.data(), 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(DBSnapContentMapperTest, ChoosesTheTranslationByApplicationType) {
    const std::map<unsigned long, std::string> want = {
        {5, "SybaseDBElementList"},
        {22, "OraElement::translatePath"},
        {80, "OraElement::translatePath"},
        {61, "TavSnapUtilDb::translatePath"},
        {135, "TavSnapUtilDb::translatePath"},
        {62, "TavSnapUtilDb::sybiqTranslatePath"},
        {103, "TavSnapUtilDb::sybiqTranslatePath"},
        {126, "TavSnapUtilDb::sybiqTranslatePath"},
        {104, "MySqlDBElementList"},
        {125, "PostGreSqlDBElementList"},
    };
    for (const auto& kv : want) {
        DBPathTranslator::LastTranslation().clear();
        DBSnapContentMapper m;
        EXPECT_TRUE(init(m, kv.first)) << kv.first;
        EXPECT_EQ(DBPathTranslator::LastTranslation(), kv.second);
        EXPECT_EQ(m.getAppType(), kv.first);
    }
    DBSnapContentMapper unknown;
    EXPECT_FALSE(init(unknown, 7));
}

TEST_F(DBSnapContentMapperTest, RefusesWhatCannotBeTranslated) {
    AppRecord cmdLine;
    cmdLine.commandLineBackup = true;
    cmdLine.instanceEngineType = 9;
    ApplicationRegistry::registerApplication(2, 17, cmdLine);
    DBSnapContentMapper m;
    ASSERT_TRUE(init(m, 135, 0));
    EXPECT_EQ(m.EngineType(), 9);  // from the application's instance

    struct Case {
        const char* name;
        const char* dbfiles;  // null: no file
        bool knownApp;
        bool hasInstance;
    } cases[] = {
        {"application unknown", kDbFiles, false, true},
        {"no instance", kDbFiles, true, false},
        {"no database files", nullptr, true, true},
        {"bad database file line", "1\t/db/data/f1\t2\n", true, true},
        {"file on no volume", "1\t/elsewhere/f\t0\n", true, true},
    };
    for (const Case& c : cases) {
        ruxen::testcontrol::ResetApplicationRegistry();
        cmdLine.hasInstance = c.hasInstance;
        if (c.knownApp)
            ApplicationRegistry::registerApplication(2, 17, cmdLine);
        testfiles::SnapFixture f;
        f.write(30, ".snap", kDbVolumes);
        if (c.dbfiles)
            f.write(30, ".dbfiles", c.dbfiles);
        DBSnapContentMapper db;
        EXPECT_FALSE(init(db, 61, 0)) << c.name;
    }
}

// The browse index names the job (the set-up's token, else the manager's)
// and each translated file; the directory-change file each source path once,
// escaped. Nothing is written for a job told to stop, a bad token, no set-up.
TEST_F(DBSnapContentMapperTest, BrowsableIndexAndDirectoryChange) {
    fixture_.write(30, ".dbfiles", "1\t/db/data/f1.dbf\t0\n2\t/db/logs/re%do\t1\n1\t/db/data/f1.dbf\t0\n");
    const std::string index = fixture_.dir() / "30.dbbrowse";
    const std::string files =
        "file\t1\t/db/data/f1.dbf\t/snap/dbdata/f1.dbf\t0\nfile\t2\t/db/logs/re%do\t/snap/dblogs/re%do\t1\n"
        "file\t1\t/db/data/f1.dbf\t/snap/dbdata/f1.dbf\t0\n";
    struct Case {
        const char* name;
        std::string token, managerToken;
        bool quit;
        int rc;
        std::string written;  // "earlier" when nothing was
    } cases[] = {
        {"token of the set-up", "tok", "30:1:2:3", false, 0, "job\t30\ttok\t2\n" + files},
        {"token of the job manager", "", "30:1:2:3", false, 0, "job\t30\t30:1:2:3\t2\n" + files},
        {"no token", "", "", false, EINVAL, "earlier"},
        {"token a line cannot hold", "t\tok", "", false, EINVAL, "earlier"},
        {"job told to stop", "tok", "", true, ECANCELED, "earlier"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DBSnapContentMapper m;
        ASSERT_TRUE(init(m, 22, 4, "30", c.token));
        KXJobCtrlClient jobs;
        jobs.setJobToken(c.managerToken);
        jobs.setQuit(c.quit);
        testfiles::WriteWholeFile(index, "earlier");
        KXBkpLevel level = 2;
        EXPECT_EQ(c.rc, m.updateBrowsableIndex(&jobs, level));
        EXPECT_EQ(c.written, testfiles::ReadWholeFile(index));
    }
    DBSnapContentMapper m;
    KXBkpLevel level = 1;
    EXPECT_EQ(EINVAL, m.updateBrowsableIndex(nullptr, level));
    const std::string dirChange = fixture_.dir() / "dirchange";
    testfiles::WriteWholeFile(dirChange, "/earlier\n");
    FILE* out = fopen(dirChange.c_str(), "a");
    EXPECT_EQ(EINVAL, m.appendBrowsablePathToDirChange(out));
    ASSERT_TRUE(init(m, 22));
    EXPECT_EQ(0, m.appendBrowsablePathToDirChange(out));
    fclose(out);
    EXPECT_EQ("/earlier\n/db/data/f1.dbf\n/db/logs/re%25do\n", testfiles::ReadWholeFile(dirChange));
    EXPECT_EQ(EINVAL, m.appendBrowsablePathToDirChange(nullptr));
    out = fopen("/dev/full", "w");
    EXPECT_EQ(ENOSPC, m.appendBrowsablePathToDirChange(out));
    fclose(out);
}

// A set-up that fails, by any form, and its retry leave the mapper off, with
// no pair of the job set up before and nothing to make browsable.
TEST_F(DBSnapContentMapperTest, FailedSetUpLeavesNoPairs) {
    const std::function<bool(DBSnapContentMapper&)> failing[] = {
        [this](DBSnapContentMapper& m) { return init(m, 22, 4, "31"); },             // no snapshots of job 31
        [this](DBSnapContentMapper& m) { return init(m, 135, 0, "31"); },            // no application for the engine
        [this](DBSnapContentMapper& m) { return init(m, 7, 4, "30"); },              // no translator for the type
        [](DBSnapContentMapper& m) { return m.initialize("31", 2, 1, -1, false); },  // engine not set
        [](DBSnapContentMapper& m) { return m.initialize("31", 2, 1, 4, false, 17, 80, 1); },  // to tape
        [](DBSnapContentMapper& m) { return m.initialize("31", 2, 1); },
    };
    for (size_t i = 0; i < sizeof(failing) / sizeof(failing[0]); ++i) {
        SCOPED_TRACE(i);
        DBSnapContentMapper m;
        std::list<std::string> files;
        std::map<unsigned long long, std::vector<NorfaSnapshotEntity>> entities;
        ASSERT_TRUE(init(m, 22));
        ASSERT_TRUE(m.populateOnDemandFileList(files, entities));
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(failing[i](m));
            EXPECT_FALSE(m.IsEnabled());
            EXPECT_TRUE(m.GetSourceToLocalMap().empty());
            std::string out;
            EXPECT_EQ(DBSnapContentMapper::kMissToRecorded, m.MakeProxyPathFromHostPath("/snap/dblogs/redo1.log", out));
            EXPECT_EQ(DBSnapContentMapper::kMissToLocal, m.MakeHostPathFromProxyPath("/db/logs/redo1.log", out));
            EXPECT_FALSE(m.populateOnDemandFileList(files, entities));
            KXBkpLevel level = 1;
            EXPECT_EQ(EINVAL, m.updateBrowsableIndex(nullptr, level));
        }
    }
}

TEST_F(DBSnapContentMapperTest, OracleToTapeLoadsThroughDatabaseUtilities) {
    DBSnapContentMapper m;
    ASSERT_TRUE(m.initialize("30", 2, 1, 4, false, 17, 80, 1));
    auto* util = dynamic_cast<TavSnapUtilDb*>(m.SnapUtil());
    ASSERT_NE(util, nullptr);
    EXPECT_TRUE(util->rmanBasedMovementToTape());
    DBSnapContentMapper other;
    ASSERT_TRUE(other.initialize("30", 2, 1, 4, false, 17, 104, 1));
    EXPECT_EQ(dynamic_cast<TavSnapUtilDb*>(other.SnapUtil()), nullptr);
}

}  // namespace
