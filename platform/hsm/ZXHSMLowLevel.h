// The tiered-storage low level: per-mount objects that tell whether a file
// lies on tiered storage, whether it is a stub and what its stub bytes are,
// and the service helper. (The per-job context that finds the object of a
// path is zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h.)
//
// On this host no tiered-storage driver and no data-migration agent exist.
// Everything here answers from a process-wide registry that tests fill
// (ZXHSMTestState): which directories are tiered-storage mounts, which files
// are stubs and what their stub bytes are, and which paths fail with which
// error text. With the registry empty no path lies on a tiered-storage file
// system and the service helper reports nothing installed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Driver modes of the tiered-storage context (the reader context chooses one
// per job).
enum {
    ZXHSM_ARCHIVER_DRIVER = 1,
    ZXHSM_DRIVER_LESS = 2,
    ZXHSM_LUSTRE_DRIVER = 4,
    ZXHSM_HADOOP_DRIVER = 5,
    ZXHSM_ARCHIVE_DELETE = 6,
};

// The low-level object of one mount of the system mount table.
class ZXHSMLowLevel {
public:
    explicit ZXHSMLowLevel(const std::string& mountPoint);
    virtual ~ZXHSMLowLevel();

    ZXHSMLowLevel(const ZXHSMLowLevel&) = delete;
    ZXHSMLowLevel& operator=(const ZXHSMLowLevel&) = delete;

    // The file-system test: > 0 when `path`, which lies on this object's
    // mount, lies on tiered storage: a registered tiered-storage directory
    // covers it on whole components and no deeper mount hides it. 0
    // otherwise.
    virtual int isSXRFS(const char* path);

    // < 0 error (getLastError tells why; a missing file is an error), 0 the
    // file is not a stub, > 0 it is.
    virtual int isStub(const char* path);

    // Fills `stubData` with the stub's own bytes. 0 on success, < 0 on error
    // (also when the file is not a stub); `stubData` is cleared first.
    virtual int backupStub(const char* path, std::vector<char>& stubData);

    // The stub-data fetch for snapshot copies: 0 and the bytes when the file
    // is a stub; non-zero (the reason in getLastError) otherwise, including
    // "not a stub". `stubData` is cleared first.
    virtual int getSnapStubData(const char* path, std::vector<char>& stubData);

    // The reason of the last failure of this object ("" before any).
    const std::string& getLastError() const { return m_lastError; }

    // The mount directory of the system mount this object serves.
    const std::string& getMountPoint() const { return m_mountPoint; }

protected:
    // Answers -1 and sets the last error when a failure is registered for
    // the path; else 0.
    int checkInjectedFailure(const char* path);
    void setLastError(const std::string& text) { m_lastError = text; }

private:
    std::string m_mountPoint;
    std::string m_lastError;
};

// The form handed out when the archiver driver is in use (driver mode 1).
class ZXHSMLowLevelCXFS : public ZXHSMLowLevel {
public:
    explicit ZXHSMLowLevelCXFS(const std::string& mountPoint);
    ~ZXHSMLowLevelCXFS() override;

    // One call for both answers: `isStub` tells whether the file is a stub
    // and, when it is, `data` receives the stub bytes (else it is emptied).
    // `size` is the file's size as the caller saw it (a driver uses it to
    // check the stub; the stand-in ignores it). 0 on success, < 0 on error.
    int getStubData(const char* path, bool& isStub, std::vector<char>& data, off_t size);
};

// The tiered-storage service library's switches and queries.
class ZXHSMServiceHelper {
public:
    // The service library's cache switch (stored only).
    static void setUseCache(bool on);
    static bool getUseCache();

    // Whether the tiered-storage file-system driver is loaded (test state;
    // false on this host).
    static bool IsFSFDriverLoaded();
};

// Whether the data-migration agent is installed (test state; false on this
// host).
bool IsFSSXInstalled();

// The process-wide test state behind everything above. Paths are matched as
// given (no normalisation beyond trailing slashes of mount points).
class ZXHSMTestState {
public:
    // Registers `mountPoint` as a tiered-storage directory (it need not be a
    // mount of its own).
    static void AddTieredMount(const std::string& mountPoint);
    static void RemoveTieredMount(const std::string& mountPoint);
    // The longest registered tiered-storage mount covering `path` on whole
    // components; "" when none.
    static std::string FindTieredMount(const std::string& path);

    // Marks `path` as a stub whose own bytes are `stubBytes`.
    static void MarkStub(const std::string& path, const std::vector<char>& stubBytes);
    static void UnmarkStub(const std::string& path);
    // Answers whether `path` is marked and, when it is, its bytes.
    static bool GetStub(const std::string& path, std::vector<char>* stubBytes);

    // Every low-level call on `path` fails with `errorText` as last error.
    static void SetFailure(const std::string& path, const std::string& errorText);
    static bool GetFailure(const std::string& path, std::string* errorText);

    static void SetFSFDriverLoaded(bool on);
    static void SetFSSXInstalled(bool on);

    // Forgets every registration and resets every flag to false (the cache
    // switch included).
    static void Reset();
};
