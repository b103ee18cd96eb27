// Recording hard-linked paths and looking them up, each beside a peer that
// does the same work into the same kind of sink with no layer of ours:
//
//   BM_InsertEntryInHCollectFile   1,000,000 paths (4 links per file, 4
//                                  collect files) through the manager: H
//                                  collect lines and hard-links table rows
//   BM_PeerInsert                  the same lines with stdio into the same
//                                  files and the same rows through one
//                                  prepared SQLite insert in one transaction
//   BM_SearchFirst                 HardLinksTable::searchFirst on the
//                                  finished 1,000,000-row table, read mode
//   BM_PeerSearch                  the same indexed query through SQLite,
//                                  the file opened as the table opens it
//                                  (read-only, immutable: no locks)
//
// The cost per link of a large hard-link group against small ones, through
// the tools, is bench/hardlink_groups.sh.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchRatio.h"
#include "hardlinks/HCollectLine.h"
#include "hardlinks/HardLinkManager.h"
#include "platform/agent/KxLog.h"
#include "platform/text/FileNameEscape.h"

namespace {

constexpr int kPaths = 1000000;
constexpr int kLinks = 4;
constexpr int kCollectFiles = 4;

std::string NewDir() {
    char tmpl[] = "/tmp/hardlinks_benchXXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    return tmpl;
}

void RemoveDir(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0)
        abort();
}

struct stat StatOf(int i) {
    struct stat st {};
    st.st_ino = 1000000 + i / kLinks;
    st.st_dev = 64768;
    st.st_ctime = 1700000000 + i;
    st.st_size = 4096;
    return st;
}

std::string PathOf(int i) { return "/data/projects/dir" + std::to_string(i % 997) + "/file " + std::to_string(i); }

std::vector<std::string> AllPaths() {
    std::vector<std::string> paths(kPaths);
    for (int i = 0; i < kPaths; ++i)
        paths[i] = PathOf(i);
    return paths;
}

// Times `write(dir, paths)` into a fresh directory per iteration.
template <class Write>
void TimeInserts(benchmark::State& state, Write write) {
    const std::vector<std::string> paths = AllPaths();
    for (auto _ : state) {
        state.PauseTiming();
        std::string dir = NewDir();
        state.ResumeTiming();
        write(dir, paths);
        state.PauseTiming();
        RemoveDir(dir);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kPaths);
}

void BM_InsertEntryInHCollectFile(benchmark::State& state) {
    KxLog::UseFile("/dev/null");
    HardLinkManager::EnableHardLinkFeature();
    TimeInserts(state, [](const std::string& dir, const std::vector<std::string>& paths) {
        HardLinkManager mgr;
        mgr.initHardLinkManager(dir, "CollectTot");
        for (int i = 0; i < kPaths; ++i)
            mgr.InsertEntryInHCollectFile(1 + i % kCollectFiles, paths[i], "", StatOf(i));
        mgr.Cleanup();
        HardLinkManager::closeHLTableClass();
    });
}

// One table of kPaths rows in `dir`, written by the peer's code.
void PeerWrite(const std::string& dir, const std::vector<std::string>& paths) {
    FILE* files[kCollectFiles];
    for (int n = 0; n < kCollectFiles; ++n) {
        files[n] = fopen((dir + "/HCollectTot" + std::to_string(n + 1) + ".kxf").c_str(), "a");
        fputs("# /\n", files[n]);
    }
    sqlite3* db = nullptr;
    sqlite3_open((dir + "/hardLinks.dat").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                 "CREATE TABLE hardlinks(dev INTEGER NOT NULL, ino INTEGER NOT NULL,"
                 " ctime INTEGER NOT NULL, path BLOB NOT NULL, guid TEXT NOT NULL);"
                 "CREATE INDEX hardlinks_key ON hardlinks(dev, ino); BEGIN",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO hardlinks VALUES(?1, ?2, ?3, ?4, '')", -1, &ins, nullptr);
    std::string esc;
    for (int i = 0; i < kPaths; ++i) {
        struct stat st = StatOf(i);
        esc.clear();
        ruxen::escapeFileNameInto(paths[i].data(), paths[i].size(), esc);
        fprintf(files[i % kCollectFiles], "# %llu %llu %lld %lld %s\n", static_cast<unsigned long long>(st.st_ino),
                static_cast<unsigned long long>(st.st_dev), static_cast<long long>(st.st_ctime),
                static_cast<long long>(st.st_size), esc.c_str());
        sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(st.st_dev));
        sqlite3_bind_int64(ins, 2, static_cast<sqlite3_int64>(st.st_ino));
        sqlite3_bind_int64(ins, 3, st.st_ctime);
        sqlite3_bind_blob(ins, 4, paths[i].data(), static_cast<int>(paths[i].size()), SQLITE_STATIC);
        if (sqlite3_step(ins) != SQLITE_DONE)
            abort();
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    for (FILE* f : files)
        if (fclose(f) != 0)
            abort();
}

void BM_PeerInsert(benchmark::State& state) { TimeInserts(state, PeerWrite); }

// The finished table both look-up benchmarks read.
const std::string& SharedTable() {
    static struct Shared {
        std::string dir = NewDir();
        Shared() {
            PeerWrite(dir, AllPaths());
            // Finished as the table's own writer finishes it: readers take
            // only a table with its completion mark.
            sqlite3* db = nullptr;
            const std::string mark = "PRAGMA user_version=" + std::to_string(HardLinksTable::kCompleteMark);
            if (sqlite3_open((dir + "/hardLinks.dat").c_str(), &db) != SQLITE_OK ||
                sqlite3_exec(db, mark.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
                sqlite3_close(db) != SQLITE_OK)
                abort();
        }
        ~Shared() { RemoveDir(dir); }
    } shared;
    return shared.dir;
}

void BM_SearchFirst(benchmark::State& state) {
    KxLog::UseFile("/dev/null");
    HardLinksTable table;
    if (table.setDirectory(SharedTable(), true, "hardLinks") != 0)
        abort();
    std::mt19937 rng(1);
    std::string path, guid;
    int64_t ctime;
    for (auto _ : state) {
        struct stat st = StatOf(static_cast<int>(rng() % kPaths));
        if (table.searchFirst(st.st_dev, st.st_ino, path, ctime, guid) != 1)
            abort();
        benchmark::DoNotOptimize(path.data());
    }
}

void BM_PeerSearch(benchmark::State& state) {
    sqlite3* db = nullptr;
    const std::string uri = "file:" + SharedTable() + "/hardLinks.dat?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK)
        abort();
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT path, ctime, guid FROM hardlinks WHERE dev = ?1 AND ino = ?2"
                       " ORDER BY rowid LIMIT 1",
                       -1, &q, nullptr);
    std::mt19937 rng(1);
    std::string path;
    for (auto _ : state) {
        struct stat st = StatOf(static_cast<int>(rng() % kPaths));
        sqlite3_bind_int64(q, 1, static_cast<sqlite3_int64>(st.st_dev));
        sqlite3_bind_int64(q, 2, static_cast<sqlite3_int64>(st.st_ino));
        if (sqlite3_step(q) != SQLITE_ROW)
            abort();
        path.assign(static_cast<const char*>(sqlite3_column_blob(q, 0)),
                    static_cast<size_t>(sqlite3_column_bytes(q, 0)));
        sqlite3_reset(q);
        benchmark::DoNotOptimize(path.data());
    }
    sqlite3_finalize(q);
    sqlite3_close(db);
}

BENCHMARK(BM_InsertEntryInHCollectFile)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PeerInsert)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SearchFirst)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerSearch)->Unit(benchmark::kMicrosecond);
RUXEN_BENCH_RATIO("insert", "BM_InsertEntryInHCollectFile", "BM_PeerInsert");
RUXEN_BENCH_RATIO("search", "BM_SearchFirst", "BM_PeerSearch");

}  // namespace
