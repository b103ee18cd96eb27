// The hard-links table: every path of a file with more than one hard link,
// keyed by (device, inode), kept in the job results directory.
//
// Rows hold device, inode, change time (64-bit seconds), path (bytes, as
// the file system gives them) and a GUID string. A key has as many rows as
// the scan met paths of that file; searchFirst answers the first row
// inserted for the key (the head of its hard-link group) and searchNext walks
// the others in insertion order.
//
// Two modes. Write mode is the scan's: one open transaction committed every
// kCommitInterval rows and at close, a prepared insert, the (device, inode)
// index built from the start so that look-ups work while rows are added.
// Read mode is the streams': many processes open the finished table at once,
// read-only and without locks; it must not change while they read.
//
// On disk the table named N (in practice "hardLinks") in directory D is:
//   D/N.dat   an SQLite database: table "hardlinks" (dev, ino, ctime, path,
//             guid; dev and ino as the 64-bit patterns of the unsigned
//             numbers, path as a blob) and its index "hardlinks_key" on
//             (dev, ino); insertion order is the rowid order
//   D/N       the table's name file, empty (the job's cleanup recreates it)
//   D/N.idx   reserved: never written, removed with the table
// No journal or other side file is ever made: write mode runs without a
// rollback journal (a table cut short by a crash is rebuilt by the next
// scan), read mode opens the database as immutable.
//
// Completion mark: the database's user_version is kCompleteMark only after
// the last commit of a write-mode close() (rows synced first, then the mark,
// synced); opening for writing clears it first. Read mode refuses a table
// without it, so a scan killed while it wrote is never read as a whole one.
//
// Every operation answers -1 after close() (and before setDirectory()), and
// logs why it failed at level -1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class HardLinksTable {
public:
    static constexpr long kCommitInterval = 100000;
    // user_version of a table whose writer closed it ("RXHT").
    static constexpr int64_t kCompleteMark = 0x52584854;

    HardLinksTable();
    ~HardLinksTable();
    HardLinksTable(const HardLinksTable&) = delete;
    HardLinksTable& operator=(const HardLinksTable&) = delete;

    // Opens (write mode: creates when absent) the table `name` in
    // `directory`. 0 on success, -1 on failure (read mode: also a table
    // without its completion mark); a table that is open is closed first.
    int setDirectory(const std::string& directory, bool readMode, const std::string& name);

    // Adds a row (write mode only). 0 on success, -1 on failure.
    int insert(uint64_t device, uint64_t inode, int64_t ctime, const std::string& path, const std::string& guid);

    // 1 and the key's first row, 0 when the key has no row, -1 on failure.
    int searchFirst(uint64_t device, uint64_t inode, std::string& path, int64_t& ctime, std::string& guid);
    // 1 and the next row of the key of the last searchFirst, 0 after its last
    // row, -1 on failure or without a searchFirst.
    int searchNext(std::string& path, int64_t& ctime);

    // Rows are numbered from 1 in insertion order. 1 and the number of the
    // key's first row, 0 when the key has no row, -1 on failure; it leaves
    // the searchFirst/searchNext cursor as it was.
    int firstRow(uint64_t device, uint64_t inode, int64_t& row);
    // The number of the last row inserted through this table (0: none).
    int64_t lastRow() const { return m_lastRow; }

    // Every row in insertion order (diagnostics). 0, or -1 on failure.
    using RowVisitor = std::function<void(uint64_t device, uint64_t inode, int64_t ctime, const std::string& path,
                                          const std::string& guid)>;
    int forEachRow(const RowVisitor& visit);

    // Commits (write mode: and sets the completion mark) and closes. 0, or
    // -1 when the commit, the mark or the close failed or the table was not
    // open.
    int close();
    // Closes the table and removes its three files. 0, or -1 when a file
    // could not be removed or no table was opened.
    int removeTable();

    bool isOpen() const { return m_db != nullptr; }
    bool readMode() const { return m_readMode; }

    // The paths of the table's files.
    static std::string DataPath(const std::string& directory, const std::string& name);
    static std::string IndexPath(const std::string& directory, const std::string& name);
    static std::string NamePath(const std::string& directory, const std::string& name);

private:
    int failed(const char* what);
    int exec(const char* sql);
    int openForWriting();
    int checkComplete();
    int stepRow(std::string& path, int64_t& ctime, std::string* guid);

    struct StmtDeleter {
        void operator()(sqlite3_stmt* s) const;
    };
    using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;
    int prepare(const char* sql, Stmt& out);

    sqlite3* m_db = nullptr;
    Stmt m_insert;
    Stmt m_search;
    Stmt m_firstRow;
    int64_t m_lastRow = 0;
    bool m_readMode = false;
    bool m_inTransaction = false;
    long m_uncommitted = 0;
    std::string m_directory;
    std::string m_name;
    // searchFirst/searchNext cursor: the key and the last rowid answered.
    bool m_haveCursor = false;
    uint64_t m_curDevice = 0;
    uint64_t m_curInode = 0;
    int64_t m_lastRowid = 0;
};

using HardLinksTablePtr = std::shared_ptr<HardLinksTable>;
