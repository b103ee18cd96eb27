// The file data reader: turns one item into the byte stream that the
// per-file backup object sends. One reader belongs to each per-file object and
// is reused item after item:
//
//   initialize(path, &st, hfs, preserveTimes)   closes the previous item, prepares this one
//   isLocked()                                  mandatory-lock test (regular files)
//   getTotalSize()                              bytes the item will yield
//   read() / seek()                             the item's bytes
//   closeFile()                                 ends the item (preservers run here)
//
// The item stream is, in order: the data fork; then, only for a regular file
// that has an AppleDouble companion (isHFS() & 1), the resource fork and the
// 92-byte HFS properties block. A tiered-storage stub yields its stub bytes
// instead of the file's data. Only items whose contents are read are opened:
// regular files, FIFOs when the context backs up FIFO contents, and devices
// (or links to them) when it says the job reads raw devices. Directories,
// links, sockets, other FIFOs and device nodes are prepared without a handle.
//
// The data fork of a plain file is read until read(2) answers 0, so a file
// that grew after the caller's stat yields the grown bytes: the caller sends
// the size it declared and stops there. When an AppleDouble part follows,
// the data fork ends at the data size and a data fork that ends early is an
// error, so the parts can never slide into one another.
//
// The code is split by concern: CFileReader.cpp (life cycle, open, read,
// seek, lock test), CFileReaderStub.cpp (tiered-storage stubs),
// CFileReaderAppleDouble.cpp (the AppleDouble part), CFileReaderPaths.cpp
// (path operations). Every file operation goes through the context's
// CFileReaderOps.
//
// Paths are looked up relative to a descriptor of the item's directory,
// reached by a walk that follows a link among the directories only when
// root or the running user owns it, and held while the next items share the
// directory (platform/os/ParentDirCache.h); an item below a refused link fails
// with ELOOP and LookupRefusal() names the link.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/agent/TDebuggable.h"
#include "platform/base/ScopedFd.h"
#include "platform/hsm/ReparseData.h"
#include "platform/os/InodePropPreserver.h"
#include "platform/os/ParentDirCache.h"
#include "reader/AppleDouble.h"
#include "reader/AppleDoubleCompanion.h"

class CFileReaderContext;
class DlpBackupReader;
class KxLongPathHandler;
class ReadCacheAdvise;
class ZXHSMLowLevel;

enum FILE_READER_TYPE {
    FILE_READER_STANDARD = 0,
};

// What the item header carries about the Mac properties of an item.
struct HFSHeader {
    // Bit 0: an AppleDouble companion exists; bit 4: it has no HFS
    // properties entry (0x80000001).
    uint32_t isHFS = 0;
    int64_t data_size = 0;  // bytes of the data fork
    int64_t rsrc_size = 0;  // bytes of the resource fork (entry 2), 0 when absent
};

class CFileReader : public TDebuggable {
public:
    static constexpr uint32_t kHFSHasCompanion = 0x1;
    static constexpr uint32_t kHFSNoProperties = 0x10;

    // A reader bound to the job's context.
    explicit CFileReader(const std::shared_ptr<CFileReaderContext>& context);
    // A reader with a context of its own (InitHSM already run).
    CFileReader();
    ~CFileReader() override;
    CFileReader(const CFileReader&) = delete;
    CFileReader& operator=(const CFileReader&) = delete;

    // ---- virtual operations (the destructor and debug come first)

    // Prepares one item; 0 ready, -1 failed (errno as left by the failing
    // call). The previous item is closed first.
    virtual int initialize(const char* path, struct stat* st, bool hfs, bool preserveTimes);
    virtual int getFileHandle() const { return m_fd.get(); }
    virtual void closeFile();
    // 1 locked (a write lock held elsewhere on a file marked for mandatory
    // locking, on a file system mounted with mandatory locking), 0 not
    // locked, -1 error, -2 the file vanished.
    virtual int isLocked() const;
    virtual long long getTotalSize() const;
    // Bytes delivered, 0 at the end, -1 with errno on failure.
    virtual int read(char* buf, size_t size);
    virtual bool canSeek() const;
    // lseek of the data handle (SEEK_DATA and SEEK_HOLE included): the new
    // offset, or -1 with errno and the position unchanged.
    virtual long long seek(long offset, int whence);
    // The path calls, relative to the item's directory (see above): lstat
    // and readlink never follow the last component, utime follows it as
    // utime(2) does, opendir does not.
    virtual int lstat(const char* path, struct stat* st);
    virtual int readlink(const char* path, char* buf, size_t size);
    virtual int utime(const char* path, const struct utimbuf* times);
    virtual DIR* opendir(const char* path);
    virtual int closedir(DIR* dir);
    virtual int openFile(const char* path);
    virtual FILE_READER_TYPE GetType() const { return FILE_READER_STANDARD; }
    virtual bool IsOpen() const { return m_fd.valid(); }
    virtual std::string& GetUserName() { return m_userName; }
    virtual std::string& GetGroupName() { return m_groupName; }

    // ---- stubs and identity
    bool isStub() const { return m_isStub; }
    // The stub's data GUID for a stub, else the GUID the caller set. Both
    // survive closeFile and are cleared by the next initialize.
    const std::string& GetGUID() const { return m_isStub ? m_stubGUID : m_GUID; }
    void SetGUID(const std::string& guid) { m_GUID = guid; }
    uint32_t getAppIdFromStub() const { return m_appId; }
    const std::string& GetAppGUIDFromStub() const { return m_appGUID; }
    std::string GetCommonStubFormat();

    // ---- Mac properties
    long long getDataSize() const { return m_oHFSHdr.data_size; }
    uint32_t isHFS() const { return m_oHFSHdr.isHFS; }
    long long getResourceSize() const { return m_oHFSHdr.rsrc_size; }
    bool IsAppleDoubleReadStarted() const { return m_appleDoubleStarted; }
    void SetAppleDoubleReadStarted(bool on) { m_appleDoubleStarted = on; }
    long long GetAppleDoubleProgress() const;
    void SetResourceFileName(const std::string& name) { m_companion.SetName(name); }
    const std::string& GetResourceFileName() const { return m_companion.Name(); }
    int GetResourceFileHandle() const { return m_companion.Fd(); }
    // The length of the first entry `type` of the companion open on
    // `handle`; -2 when there is none; -1 with errno on a bad file (no
    // header, a table shorter than its count, more than 1024 entries, a
    // length above INT_MAX).
    int getAppleDoubleSize(HFS_DATA_TYPE type, int handle);
    // Reads up to bufferSize bytes of entry `type` from dataOffset within the
    // entry; the count (0 past its end) or -1. A companion handle that became
    // invalid is reopened once per item.
    int readAppleDouble(HFS_DATA_TYPE type, int handle, size_t dataOffset, char* buffer, int bufferSize);

    // ---- flags kept for other parts of the item's road
    void SetFileSet(bool on, const std::string& name = std::string()) {
        m_fileSet = on;
        m_fileSetName = name;
    }
    bool IsFileSet() const { return m_fileSet; }
    const std::string& GetFileSetName() const { return m_fileSetName; }
    bool getIsHole() const { return m_isHole; }
    void setIsHole(bool on) { m_isHole = on; }
    bool IsUsingDirectIO() const { return m_directIO; }
    int getDumpFlag() const { return 0; }
    const std::shared_ptr<CFileReaderContext>& GetContext() const { return m_ctx; }
    long long GetPosition() const { return m_llProgress; }
    // fstat of the data handle, as it is now; -1 with errno.
    int statOpenFile(struct stat* st) const;
    // The caller's stat of the item as initialize received it.
    const struct stat& GetItemStat() const { return m_stat; }

    // ---- time preservation
    void attach(InodePropPreserverImpl* preserver);  // takes ownership
    void notify();                                   // runs and deletes them all
    size_t observerCount() const { return m_observers.size(); }

    KxLongPathHandler* GetLongPathHandler();

    // The directory of `path` by the walk (*dir, held by the reader until
    // another directory is asked for) and its last component (*name). False
    // with errno: ENAMETOOLONG for a path of PATH_MAX bytes or more unless
    // the job backs up long paths, ELOOP below a refused link.
    bool ItemDirectory(const char* path, int* dir, const char** name);
    // What stopped the last lookup that failed with ELOOP.
    const ruxen::WalkRefusal& LookupRefusal() const { return m_dirs.Refusal(); }
    // An O_PATH descriptor of the item itself, never following it (the
    // caller's): its attributes can be read through it and nothing is
    // opened. -1 with errno.
    int openItemRef(const char* path);

private:
    void Reset();
    // The job's tiered-storage object of the path (m_zxhsm); -1 (logged,
    // errno EIO) when there is none.
    int tieredObject(const char* path);
    int initStubInstalled(const char* path);
    int initStubSnapshot(const char* path);
    void parseStub(bool snapshotText);
    int initAppleDouble(bool preserveTimes);
    int lstatPath(const char* path, struct stat* st);
    int openPath(const char* path, int flags);
    // Opens a regular file under a write lease: non-blocking opens, retried
    // until the holder lets go, for at most the context's lease wait (or
    // until a stop is asked for). A descriptor, or -1 with errno
    // (EWOULDBLOCK: the lease was not released in time; EINTR: stopped).
    int openUnderLease(const char* path, int flags);
    int readStub(char* buf, size_t size);
    int readData(char* buf, size_t size);
    int readAppleDoublePart(char* buf, size_t size);
    void clearDirectIO();
    bool clearNonBlocking();
    // Whether the item's contents are read, and so whether it is opened.
    bool contentsAreRead(mode_t type) const;

    std::vector<std::unique_ptr<InodePropPreserverImpl>> m_observers;
    std::shared_ptr<CFileReaderContext> m_ctx;
    KxLongPathHandler* m_longPathHandler = nullptr;
    bool m_longPathFetched = false;
    ruxen::ParentDirCache m_dirs;

    std::string m_path;
    ScopedFd m_fd;
    struct stat m_stat;
    mode_t m_openType = 0;       // S_IFMT of the data handle
    bool m_nonBlocking = false;  // the data handle still has O_NONBLOCK
    bool m_isHole = false;

    // Stubs.
    bool m_isStub = false;
    std::string m_stubGUID;
    std::string m_GUID;
    uint32_t m_stubPos = 0;
    uint32_t m_appId = 0;
    std::string m_appGUID;
    std::vector<char> m_stubData;
    ZXHSMLowLevel* m_zxhsm = nullptr;
    StubPrime_Fields m_stubFields;
    std::string m_commonStubFormat;
    uint64_t m_recordedStubSize = 0;

    // Data fork and AppleDouble part.
    long long m_llProgress = 0;
    HFSHeader m_oHFSHdr;
    bool m_hfsRequested = false;
    bool m_directIO = false;
    bool m_appleDoubleStarted = false;
    AppleDoubleCompanion m_companion;

    bool m_fileSet = false;
    std::string m_fileSetName;
    std::string m_userName;
    std::string m_groupName;

    // Service objects of the context, fetched at initialize.
    DlpBackupReader* m_dlp = nullptr;
    ReadCacheAdvise* m_advise = nullptr;  // null while cache advice is off
};
