// The identity of a device or special path as the snapshot code compares
// them: a local device by its device number, a network path ("server:/path")
// or anything else by its text.
#pragma once

#include <cstdint>
#include <string>

namespace FlrSnapOS {

class RDEV {
public:
    enum Kind : uint32_t { kLocal = 0, kNetwork = 1, kOther = 2 };

    RDEV() { init(std::string()); }
    explicit RDEV(const std::string& special) { init(special); }
    void init(const std::string& special);

    bool empty() const { return m_empty; }
    uint32_t kind() const { return m_kind; }
    const std::string& getSpecial() const { return m_special; }
    uint64_t device() const { return m_device; }  // st_rdev of a local path; 0 when it cannot be read
    const std::string& server() const { return m_server; }
    const std::string& path() const { return m_path; }
    const std::string& volume() const { return m_volume; }
    const std::string& rest() const { return m_rest; }
    // Local: the last path component; network: the component after ".snapshot/".
    const std::string& getSnapShortName() const { return m_shortName; }

private:
    bool m_empty = true;
    uint32_t m_kind = kOther;
    std::string m_special;
    uint64_t m_device = 0;
    std::string m_server;
    std::string m_path;
    std::string m_volume;
    std::string m_rest;
    std::string m_shortName;
};

// Same kind, and: local devices with the same device number, both known
// (two paths that cannot be read are not the same device); other kinds with
// the same text.
bool operator==(const RDEV& a, const RDEV& b);
inline bool operator!=(const RDEV& a, const RDEV& b) { return !(a == b); }

}  // namespace FlrSnapOS
