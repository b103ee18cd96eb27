// The reader's path operations: the ordinary calls, or the long-path
// handler's when the job backs up paths longer than the system takes.
#include "platform/KxLog.h"
#include "platform/KxLongPathHandler.h"
#include "platform/UtfFileOps.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"

KxLongPathHandler* CFileReader::GetLongPathHandler() {
    if (!m_longPathFetched) {
        m_longPathFetched = true;
        m_longPathHandler = KxLongPathHandler::GetHandler();
        if (m_longPathHandler == nullptr) {
            KXLOG(-1, "Long paths can not be handled by this job, will be reported as failures.");
            m_ctx->SetLongPathBackup(false);
        }
    }
    return m_longPathHandler;
}

int CFileReader::lstatPath(const char* path, struct stat* st) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return h ? h->lstat_long(path, st) : lstat_utf(path, st);
}

int CFileReader::openPath(const char* path, int flags) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return h ? h->open_long(path, flags) : m_ctx->FileOps().open(path, flags);
}

int CFileReader::lstat(const char* path, struct stat* st) {
    m_userName.clear();
    m_groupName.clear();
    return lstatPath(path, st);
}

int CFileReader::readlink(const char* path, char* buf, size_t size) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return static_cast<int>(h ? h->readlink_long(path, buf, size) : readlink_utf(path, buf, size));
}

int CFileReader::utime(const char* path, const struct utimbuf* times) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return h ? h->utime_long(path, times) : utime_utf(path, times);
}

DIR* CFileReader::opendir(const char* path) {
    KxLongPathHandler* h = m_ctx->IsLongPathBackup() ? GetLongPathHandler() : nullptr;
    return h ? h->opendir_long(path) : opendir_utf(path);
}

int CFileReader::closedir(DIR* dir) {
    return closedir_utf(dir);
}
