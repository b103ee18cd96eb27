#include "platform/agent/KXPlatformInfo.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/agent/KxLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/ScopedFd.h"
#include "platform/base/TestControl.h"

namespace {

using Values = std::map<std::pair<std::string, std::string>, std::string>;

struct Registry {
    std::mutex mu;
    bool envRead = false;
    std::string envError;  // why the RUXEN_REGISTRY file could not be read
    Values values;
};

Registry& registry() {
    static ruxen::NoDestructor<Registry> r;  // read from exit paths
    return *r;
}

const char kBlank[] = " \t\r\n";

// s[begin, end) without blanks at either end; never looks outside the range.
std::string trimmed(const std::string& s, size_t begin, size_t end) {
    while (begin < end && strchr(kBlank, s[begin]) && s[begin] != '\0')
        ++begin;
    while (end > begin && strchr(kBlank, s[end - 1]) && s[end - 1] != '\0')
        --end;
    return s.substr(begin, end - begin);
}

bool readWholeFile(const std::string& path, std::string& text, std::string& error) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        error = "cannot open registry file " + path + ": " + strerror(errno);
        return false;
    }
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = "cannot read registry file " + path + ": " + strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// Messages found while the registry lock is held; they are logged after it
// is released, so that the log writer may itself read the registry.
using Notes = std::vector<std::string>;

void note(Notes& notes, const std::string& path, size_t lineNo, const std::string& what) {
    notes.push_back("registry file " + path + " line " + std::to_string(lineNo) + ": " + what);
}

void logNotes(const Notes& notes) {
    for (const std::string& n : notes)
        KXLOG(-1, "%s", n.c_str());
}

// Parses the text of a registry file into values; bad lines are noted and
// skipped.
void parseInto(const std::string& path, const std::string& text, Values& values, Notes& notes) {
    std::string section;
    bool inSection = false;
    size_t lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = (nl == std::string::npos) ? text.size() : nl;
        ++lineNo;
        size_t begin = pos;
        pos = (nl == std::string::npos) ? text.size() : nl + 1;

        std::string line = trimmed(text, begin, end);
        if (memchr(line.data(), '\0', line.size())) {
            // Whatever else it holds, a line that opens a section starts a
            // new one: its keys must not fall into the previous section.
            size_t first = line.find_first_not_of(std::string(" \t\0", 3));
            bool sectionLine = first != std::string::npos && line[first] == '[';
            note(notes, path, lineNo,
                 sectionLine ? "NUL byte in section line, skipped with its keys" : "NUL byte in line, skipped");
            if (sectionLine)
                inSection = false;
            continue;
        }
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            std::string name;
            if (line.back() == ']')
                name = trimmed(line, 1, line.size() - 1);
            if (name.empty()) {
                note(notes, path, lineNo, "malformed section line \"" + line + "\", skipped with its keys");
                inSection = false;
                continue;
            }
            section = name;
            inSection = true;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            note(notes, path, lineNo, "no \"=\" in \"" + line + "\", skipped");
            continue;
        }
        std::string key = trimmed(line, 0, eq);
        if (key.empty()) {
            note(notes, path, lineNo, "empty key in \"" + line + "\", skipped");
            continue;
        }
        if (!inSection) {
            note(notes, path, lineNo, "key " + key + " outside a section, skipped");
            continue;
        }
        values[std::make_pair(section, key)] = trimmed(line, eq + 1, line.size());
    }
}

bool loadLocked(Registry& r, const std::string& path, std::string* error, Notes& notes) {
    std::string text;
    std::string why;
    if (!readWholeFile(path, text, why)) {
        if (error)
            *error = why;
        return false;
    }
    Values parsed;
    parseInto(path, text, parsed, notes);
    for (auto& kv : parsed)
        r.values[kv.first] = std::move(kv.second);
    return true;
}

void ensureEnvLocked(Registry& r, Notes& notes) {
    if (r.envRead)
        return;
    r.envRead = true;
    const char* path = getenv("RUXEN_REGISTRY");
    if (!path || !*path)
        return;
    std::string error;
    if (!loadLocked(r, path, &error, notes)) {
        r.envError = "the registry file named by RUXEN_REGISTRY cannot be read: " + error;
        notes.push_back(error + "; registry values keep their defaults");
    }
}

// Looks a value up; answers false when the key is absent.
bool lookup(const char* section, const char* key, std::string& value) {
    if (!section || !key)
        return false;
    Registry& r = registry();
    Notes notes;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        ensureEnvLocked(r, notes);
        auto it = r.values.find(std::make_pair(std::string(section), std::string(key)));
        if (it != r.values.end()) {
            value = it->second;
            found = true;
        }
    }
    logNotes(notes);
    return found;
}

bool equalsNoCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0 && a.size() == strlen(b);
}

}  // namespace

bool KXPlatformInfo::getString(const char* section, const char* key, std::string& out) {
    std::string value;
    if (!lookup(section, key, value))
        return false;
    out = std::move(value);
    return true;
}

bool KXPlatformInfo::getNumber(const char* section, const char* key, long& out) {
    std::string value;
    if (!lookup(section, key, value))
        return false;
    const char* s = value.c_str();
    size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    bool hex = s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X');
    // strtol would skip blanks after a sign and take "0x" with a following
    // sign; demand a digit right where the number begins.
    size_t firstDigit = hex ? i + 2 : i;
    bool digitFirst =
        hex ? isxdigit(static_cast<unsigned char>(s[firstDigit])) != 0 : (s[firstDigit] >= '0' && s[firstDigit] <= '9');
    errno = 0;
    char* end = nullptr;
    long v = digitFirst ? strtol(s, &end, hex ? 16 : 10) : 0;
    if (!digitFirst || errno == ERANGE || end != s + value.size()) {
        KXLOG(-1, "registry value %s/%s = \"%s\" is not a number, ignored", section, key, s);
        return false;
    }
    out = v;
    return true;
}

long KXPlatformInfo::getNumberWithin(const char* section, const char* key, long lo, long hi, long fallback) {
    long v = fallback;
    if (!getNumber(section, key, v))
        return fallback;
    if (v >= lo && v <= hi)
        return v;
    KXLOG(-1, "Registry key '%s' = %ld is not from %ld to %ld; using %ld", key, v, lo, hi, fallback);
    return fallback;
}

bool KXPlatformInfo::getBool(const char* section, const char* key, bool& out) {
    std::string value;
    if (!lookup(section, key, value))
        return false;
    for (const char* yes : {"y", "yes", "true", "1"}) {
        if (equalsNoCase(value, yes)) {
            out = true;
            return true;
        }
    }
    for (const char* no : {"n", "no", "false", "0"}) {
        if (equalsNoCase(value, no)) {
            out = false;
            return true;
        }
    }
    KXLOG(-1, "registry value %s/%s = \"%s\" is not a yes/no value, ignored", section, key, value.c_str());
    return false;
}

bool KXPlatformInfo::loadFile(const std::string& path, std::string* error) {
    Registry& r = registry();
    Notes notes;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        ensureEnvLocked(r, notes);
        ok = loadLocked(r, path, error, notes);
    }
    logNotes(notes);
    return ok;
}

bool KXPlatformInfo::loadEnvironmentFile(std::string* error) {
    Registry& r = registry();
    Notes notes;
    std::string why;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        ensureEnvLocked(r, notes);
        why = r.envError;
    }
    logNotes(notes);
    if (why.empty())
        return true;
    if (error)
        *error = why;
    return false;
}

void KXPlatformInfo::setValue(const std::string& section, const std::string& key, const std::string& value) {
    Registry& r = registry();
    Notes notes;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        ensureEnvLocked(r, notes);
        r.values[std::make_pair(section, key)] = value;
    }
    logNotes(notes);
}

void KXPlatformInfo::removeValue(const std::string& section, const std::string& key) {
    Registry& r = registry();
    Notes notes;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        ensureEnvLocked(r, notes);
        r.values.erase(std::make_pair(section, key));
    }
    logNotes(notes);
}

// Every value forgotten; the environment is read again on the next use.
void ruxen::testcontrol::ResetRegistry() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.values.clear();
    r.envRead = false;
    r.envError.clear();
}

namespace {
const ruxen::testcontrol::Registration kTestReset("registry", &ruxen::testcontrol::ResetRegistry);
}  // namespace
