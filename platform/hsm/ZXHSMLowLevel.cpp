#include "platform/hsm/ZXHSMLowLevel.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/base/NoDestructor.h"
#include "platform/base/TestControl.h"
#include "platform/text/PathUtil.h"

namespace {

// The registry behind the stand-in. One lock guards it: the low level may be
// asked from several threads of a host program even though the backup itself
// runs one thread per process.
struct TestState {
    std::mutex lock;
    std::set<std::string> tieredMounts;  // trailing slashes removed
    std::map<std::string, std::vector<char>> stubs;
    std::map<std::string, std::string> failures;
    bool fsfDriverLoaded = false;
    bool fssxInstalled = false;
    bool useCache = false;
};

TestState& State() {
    static ruxen::NoDestructor<TestState> s;  // used at exit
    return *s;
}

}  // namespace

// ---- test state ------------------------------------------------------------

void ZXHSMTestState::AddTieredMount(const std::string& mountPoint) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    if (!mountPoint.empty())
        s.tieredMounts.insert(PathUtil::StripTrailingSlashes(mountPoint));
}

void ZXHSMTestState::RemoveTieredMount(const std::string& mountPoint) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.tieredMounts.erase(PathUtil::StripTrailingSlashes(mountPoint));
}

std::string ZXHSMTestState::FindTieredMount(const std::string& path) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    const std::string* best = nullptr;
    long bestLen = -1;
    for (const std::string& m : s.tieredMounts) {
        long len = PathUtil::CoverLength(m, path);
        if (len > bestLen) {
            bestLen = len;
            best = &m;
        }
    }
    return best ? *best : std::string();
}

void ZXHSMTestState::MarkStub(const std::string& path, const std::vector<char>& stubBytes) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.stubs[path] = stubBytes;
}

void ZXHSMTestState::UnmarkStub(const std::string& path) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.stubs.erase(path);
}

bool ZXHSMTestState::GetStub(const std::string& path, std::vector<char>* stubBytes) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.stubs.find(path);
    if (it == s.stubs.end())
        return false;
    if (stubBytes)
        *stubBytes = it->second;
    return true;
}

void ZXHSMTestState::SetFailure(const std::string& path, const std::string& errorText) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.failures[path] = errorText;
}

bool ZXHSMTestState::GetFailure(const std::string& path, std::string* errorText) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.failures.find(path);
    if (it == s.failures.end())
        return false;
    if (errorText)
        *errorText = it->second;
    return true;
}

void ZXHSMTestState::SetFSFDriverLoaded(bool on) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.fsfDriverLoaded = on;
}

void ZXHSMTestState::SetFSSXInstalled(bool on) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.fssxInstalled = on;
}

void ZXHSMTestState::Reset() {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.tieredMounts.clear();
    s.stubs.clear();
    s.failures.clear();
    s.fsfDriverLoaded = false;
    s.fssxInstalled = false;
    s.useCache = false;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("tiered-storage stand-in", &ZXHSMTestState::Reset);
}  // namespace

// ---- service helper ----------------------------------------------------------

void ZXHSMServiceHelper::setUseCache(bool on) {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.useCache = on;
}

bool ZXHSMServiceHelper::getUseCache() {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.useCache;
}

bool ZXHSMServiceHelper::IsFSFDriverLoaded() {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.fsfDriverLoaded;
}

bool IsFSSXInstalled() {
    TestState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.fssxInstalled;
}

// ---- low level ---------------------------------------------------------------

ZXHSMLowLevel::ZXHSMLowLevel(const std::string& mountPoint) : m_mountPoint(mountPoint) {}

ZXHSMLowLevel::~ZXHSMLowLevel() {}

int ZXHSMLowLevel::checkInjectedFailure(const char* path) {
    if (!path) {
        m_lastError = "null path";
        return -1;
    }
    std::string text;
    if (ZXHSMTestState::GetFailure(path, &text)) {
        m_lastError = text;
        return -1;
    }
    return 0;
}

int ZXHSMLowLevel::isSXRFS(const char* path) {
    if (!path || !*path)
        return 0;
    const std::string tiered = ZXHSMTestState::FindTieredMount(path);
    if (tiered.empty())
        return 0;
    // A mount below the tiered-storage directory holds the path instead.
    return PathUtil::CoverLength(tiered, path) >= PathUtil::CoverLength(m_mountPoint, path) ? 1 : 0;
}

int ZXHSMLowLevel::isStub(const char* path) {
    if (checkInjectedFailure(path) < 0)
        return -1;
    if (ZXHSMTestState::GetStub(path, nullptr))
        return 1;
    // A real low level asks the file itself; a file that is not there is an
    // error, not "no stub".
    struct stat st;
    if (::lstat(path, &st) != 0) {
        int e = errno;
        m_lastError = std::string("cannot examine '") + path + "': " + strerror(e);
        errno = e;
        return -1;
    }
    return 0;
}

int ZXHSMLowLevel::backupStub(const char* path, std::vector<char>& stubData) {
    stubData.clear();
    if (checkInjectedFailure(path) < 0)
        return -1;
    if (!ZXHSMTestState::GetStub(path, &stubData)) {
        m_lastError = std::string("'") + path + "' is not a stub";
        return -1;
    }
    return 0;
}

int ZXHSMLowLevel::getSnapStubData(const char* path, std::vector<char>& stubData) {
    stubData.clear();
    if (checkInjectedFailure(path) < 0)
        return -1;
    if (!ZXHSMTestState::GetStub(path, &stubData)) {
        m_lastError = std::string("'") + path + "' is not a stub";
        return 1;
    }
    return 0;
}

ZXHSMLowLevelCXFS::ZXHSMLowLevelCXFS(const std::string& mountPoint) : ZXHSMLowLevel(mountPoint) {}

ZXHSMLowLevelCXFS::~ZXHSMLowLevelCXFS() {}

int ZXHSMLowLevelCXFS::getStubData(const char* path, bool& isStub, std::vector<char>& data, off_t /*size*/) {
    isStub = false;
    data.clear();
    int rc = ZXHSMLowLevel::isStub(path);
    if (rc < 0)
        return -1;
    if (rc == 0)
        return 0;
    if (!ZXHSMTestState::GetStub(path, &data)) {
        // Unmarked between the two questions.
        data.clear();
        return 0;
    }
    isStub = true;
    return 0;
}
