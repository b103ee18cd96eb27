#include "platform/hardlinks/HardLinksTable.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/base/ScopedFd.h"

namespace {

// "file:" URI of a path: every byte outside the unreserved set and "/" is
// percent-encoded, so no byte of the path can be read as URI syntax.
std::string FileUri(const std::string& path, const char* query) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            uri.push_back(static_cast<char>(c));
        } else {
            uri.push_back('%');
            uri.push_back(kHex[c >> 4]);
            uri.push_back(kHex[c & 0x0F]);
        }
    }
    return uri + query;
}

constexpr const char* kCreateSql =
    "CREATE TABLE IF NOT EXISTS hardlinks(dev INTEGER NOT NULL, ino INTEGER NOT NULL,"
    " ctime INTEGER NOT NULL, path BLOB NOT NULL, guid TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS hardlinks_key ON hardlinks(dev, ino);";
constexpr const char* kInsertSql = "INSERT INTO hardlinks(dev, ino, ctime, path, guid) VALUES(?1, ?2, ?3, ?4, ?5)";
// The index holds (dev, ino, rowid), so this is one index seek per answer.
constexpr const char* kSearchSql =
    "SELECT rowid, path, ctime, guid FROM hardlinks INDEXED BY hardlinks_key"
    " WHERE dev = ?1 AND ino = ?2 AND rowid > ?3 ORDER BY rowid LIMIT 1";
// Answered from the index alone.
constexpr const char* kFirstRowSql =
    "SELECT rowid FROM hardlinks INDEXED BY hardlinks_key WHERE dev = ?1 AND ino = ?2 ORDER BY rowid LIMIT 1";

// Pushes the file's written pages to the disk: the table runs without
// SQLite's own syncs, so the completion mark is ordered after the rows here.
int SyncFile(const std::string& path) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    return fsync(fd.get());
}

int RemoveIfPresent(const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT)
        return 0;
    KXLOG(-1, "cannot remove %s: %s", path.c_str(), strerror(errno));
    return -1;
}

}  // namespace

void HardLinksTable::StmtDeleter::operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }

HardLinksTable::HardLinksTable() = default;

HardLinksTable::~HardLinksTable() {
    if (m_db)
        close();
}

std::string HardLinksTable::DataPath(const std::string& directory, const std::string& name) {
    return directory + "/" + name + ".dat";
}
std::string HardLinksTable::IndexPath(const std::string& directory, const std::string& name) {
    return directory + "/" + name + ".idx";
}
std::string HardLinksTable::NamePath(const std::string& directory, const std::string& name) {
    return directory + "/" + name;
}

int HardLinksTable::failed(const char* what) {
    KXLOG(-1, "hard-links table %s/%s: %s failed: %s", m_directory.c_str(), m_name.c_str(), what,
          m_db ? sqlite3_errmsg(m_db) : "not open");
    return -1;
}

int HardLinksTable::exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : failed(sql);
}

int HardLinksTable::prepare(const char* sql, Stmt& out) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    out.reset(s);
    return rc == SQLITE_OK ? 0 : failed(sql);
}

int HardLinksTable::openForWriting() {
    // A table opened for writing is unfinished until close() marks it again:
    // the cleared mark reaches the disk before any new row can. The page
    // cache is bounded (8 MiB), so a scan of millions of links does not grow
    // with its table: pages it drops are read back from the file, which the
    // system caches, and inserts keep the pace of SQLite's own default.
    if (exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA temp_store=MEMORY;"
             " PRAGMA cache_size=-8192") != 0 ||
        exec(kCreateSql) != 0 || exec("PRAGMA user_version=0") != 0)
        return -1;
    if (SyncFile(DataPath(m_directory, m_name)) != 0)
        return failed("sync");
    if (prepare(kInsertSql, m_insert) != 0 || exec("BEGIN") != 0)
        return -1;
    m_inTransaction = true;
    return 0;
}

int HardLinksTable::setDirectory(const std::string& directory, bool readMode, const std::string& name) {
    if (m_db)
        close();
    m_directory = directory;
    m_name = name;
    m_readMode = readMode;
    if (directory.empty() || name.empty() || name.find('/') != std::string::npos) {
        KXLOG(-1, "hard-links table: bad directory [%s] or name [%s]", directory.c_str(), name.c_str());
        return -1;
    }
    const int flags = SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                      (readMode ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const std::string uri = FileUri(DataPath(directory, name), readMode ? "?immutable=1" : "");
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(uri.c_str(), &db, flags, nullptr);
    m_db = db;
    if (rc != SQLITE_OK) {
        failed("open");
        sqlite3_close(db);
        m_db = nullptr;
        return -1;
    }
    if ((!readMode && openForWriting() != 0) || (readMode && checkComplete() != 0) ||
        prepare(kSearchSql, m_search) != 0 || prepare(kFirstRowSql, m_firstRow) != 0) {
        close();
        return -1;
    }
    m_uncommitted = 0;
    m_haveCursor = false;
    m_lastRow = 0;
    return 0;
}

int HardLinksTable::insert(uint64_t device, uint64_t inode, int64_t ctime, const std::string& path,
                           const std::string& guid) {
    if (!m_db || m_readMode || path.size() > static_cast<size_t>(INT32_MAX))
        return failed("insert");
    sqlite3_stmt* s = m_insert.get();
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(device));
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(inode));
    sqlite3_bind_int64(s, 3, ctime);
    sqlite3_bind_blob(s, 4, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 5, guid.data(), static_cast<int>(guid.size()), SQLITE_STATIC);
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE)
        return failed("insert");
    m_lastRow = sqlite3_last_insert_rowid(m_db);
    if (++m_uncommitted >= kCommitInterval) {
        if (exec("COMMIT") != 0)
            return -1;
        m_inTransaction = false;
        if (exec("BEGIN") != 0)
            return -1;
        m_inTransaction = true;
        m_uncommitted = 0;
    }
    return 0;
}

int HardLinksTable::stepRow(std::string& path, int64_t& ctime, std::string* guid) {
    sqlite3_stmt* s = m_search.get();
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(m_curDevice));
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(m_curInode));
    sqlite3_bind_int64(s, 3, m_lastRowid);
    int rc = sqlite3_step(s);
    int result = 0;
    if (rc == SQLITE_ROW) {
        m_lastRowid = sqlite3_column_int64(s, 0);
        const void* blob = sqlite3_column_blob(s, 1);
        path.assign(blob ? static_cast<const char*>(blob) : "", static_cast<size_t>(sqlite3_column_bytes(s, 1)));
        ctime = sqlite3_column_int64(s, 2);
        if (guid) {
            const unsigned char* g = sqlite3_column_text(s, 3);
            guid->assign(g ? reinterpret_cast<const char*>(g) : "", static_cast<size_t>(sqlite3_column_bytes(s, 3)));
        }
        result = 1;
    } else if (rc != SQLITE_DONE) {
        result = failed("search");
    }
    sqlite3_reset(s);
    return result;
}

int HardLinksTable::searchFirst(uint64_t device, uint64_t inode, std::string& path, int64_t& ctime, std::string& guid) {
    m_haveCursor = false;
    if (!m_db)
        return failed("searchFirst");
    m_curDevice = device;
    m_curInode = inode;
    m_lastRowid = INT64_MIN;
    int rc = stepRow(path, ctime, &guid);
    m_haveCursor = rc >= 0;
    return rc;
}

int HardLinksTable::searchNext(std::string& path, int64_t& ctime) {
    if (m_db && !m_haveCursor) {
        KXLOG(-1, "hard-links table %s/%s: searchNext without a searchFirst", m_directory.c_str(), m_name.c_str());
        return -1;
    }
    if (!m_db)
        return failed("searchNext");
    return stepRow(path, ctime, nullptr);
}

int HardLinksTable::firstRow(uint64_t device, uint64_t inode, int64_t& row) {
    if (!m_db)
        return failed("firstRow");
    sqlite3_stmt* s = m_firstRow.get();
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(device));
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(inode));
    const int rc = sqlite3_step(s);
    int result = 0;
    if (rc == SQLITE_ROW) {
        row = sqlite3_column_int64(s, 0);
        result = 1;
    } else if (rc != SQLITE_DONE) {
        result = failed("firstRow");
    }
    sqlite3_reset(s);
    return result;
}

int HardLinksTable::forEachRow(const RowVisitor& visit) {
    if (!m_db)
        return failed("forEachRow");
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT dev, ino, ctime, path, guid FROM hardlinks ORDER BY rowid", -1, &raw,
                           nullptr) != SQLITE_OK)
        return failed("prepare scan");
    Stmt s(raw);
    int rc;
    std::string path, guid;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const void* blob = sqlite3_column_blob(raw, 3);
        path.assign(blob ? static_cast<const char*>(blob) : "", static_cast<size_t>(sqlite3_column_bytes(raw, 3)));
        const unsigned char* g = sqlite3_column_text(raw, 4);
        guid.assign(g ? reinterpret_cast<const char*>(g) : "");
        visit(static_cast<uint64_t>(sqlite3_column_int64(raw, 0)), static_cast<uint64_t>(sqlite3_column_int64(raw, 1)),
              sqlite3_column_int64(raw, 2), path, guid);
    }
    return rc == SQLITE_DONE ? 0 : failed("scan");
}

int HardLinksTable::checkComplete() {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &raw, nullptr) != SQLITE_OK)
        return failed("reading the completion mark");
    Stmt s(raw);
    if (sqlite3_step(raw) != SQLITE_ROW)
        return failed("reading the completion mark");
    if (sqlite3_column_int64(raw, 0) != kCompleteMark) {
        KXLOG(-1, "hard-links table %s/%s: not complete (no completion mark): the scan that wrote it did not finish",
              m_directory.c_str(), m_name.c_str());
        return -1;
    }
    return 0;
}

int HardLinksTable::close() {
    if (!m_db)
        return failed("close");
    int result = 0;
    if (m_inTransaction) {
        // The last commit: the rows, synced, then the completion mark,
        // synced, so that a reader never takes a cut table for a whole one.
        char mark[48];
        snprintf(mark, sizeof mark, "PRAGMA user_version=%ld", static_cast<long>(kCompleteMark));
        if (exec("COMMIT") != 0)
            result = -1;
        else if (SyncFile(DataPath(m_directory, m_name)) != 0 || exec(mark) != 0 ||
                 SyncFile(DataPath(m_directory, m_name)) != 0)
            result = failed("marking the table complete");
    }
    m_inTransaction = false;
    m_insert.reset();
    m_search.reset();
    m_firstRow.reset();
    if (sqlite3_close(m_db) != SQLITE_OK)
        result = failed("close");
    m_db = nullptr;
    m_haveCursor = false;
    return result;
}

int HardLinksTable::removeTable() {
    if (m_name.empty())
        return failed("removeTable");
    int result = m_db ? close() : 0;
    for (const std::string& p :
         {DataPath(m_directory, m_name), IndexPath(m_directory, m_name), NamePath(m_directory, m_name)})
        if (RemoveIfPresent(p) != 0)
            result = -1;
    return result;
}
