// Logical volumes for tests of the callers of LVM::getByLVDevice: devices
// set here answer with their volume group (or throw); any other device is
// not a logical volume. The fake is the process's provider while it lives.
// Callers match a volume to its device by device number, so tests name real
// block-device nodes (BlockDevices) as volumes.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/KxException.h"
#include "platform/LVM.h"

namespace testfiles {

class FakeLvm : public LVM::Provider {
public:
    FakeLvm() { LVM::SetProviderForTest(this); }
    ~FakeLvm() override { LVM::SetProviderForTest(nullptr); }

    void Set(const std::string& device, const LVM::VG& vg, bool fail = false) { m_devices[device] = {fail, vg}; }
    // `device` is volume "lv" of group "vg" lying on "/dev/pv_<letter>" for
    // each letter of `pvs`.
    void SetVolume(const std::string& device, const std::string& pvs) {
        LVM::VG vg;
        vg.name = "vg";
        vg.lvs["lv"].devicePath = device;
        for (char c : pvs) {
            vg.lvs["lv"].pvs.push_back(std::string(1, c));
            vg.pvs[std::string(1, c)].devicePath = "/dev/pv_" + std::string(1, c);
        }
        Set(device, vg);
    }
    void Clear() { m_devices.clear(); }

    std::unique_ptr<LVM::Engine> getByLVDevice(const std::string& device) override {
        auto it = m_devices.find(device);
        if (it == m_devices.end())
            return nullptr;
        if (it->second.first)
            throw KxException("LVM", "fake failure", __FILE__, 5);
        return std::make_unique<Engine>(it->second.second);
    }

private:
    struct Engine : LVM::Engine {
        explicit Engine(LVM::VG g) : vg(std::move(g)) {}
        LVM::VG getVG() override { return vg; }
        LVM::VG vg;
    };
    std::map<std::string, std::pair<bool, LVM::VG>> m_devices;
};

// Up to `n` block-device nodes of /dev with distinct device numbers.
inline std::vector<std::string> BlockDevices(size_t n) {
    std::vector<std::string> out;
    std::set<dev_t> seen;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir("/dev"), closedir);
    for (struct dirent* e; d && out.size() < n && (e = readdir(d.get())) != nullptr;) {
        std::string path = std::string("/dev/") + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && seen.insert(st.st_rdev).second)
            out.push_back(path);
    }
    return out;
}

}  // namespace testfiles
