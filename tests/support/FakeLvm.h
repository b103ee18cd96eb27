// Logical volumes for tests of the callers of LVM::getByLVDevice: devices
// set here answer with their volume group (or throw); any other device is
// not a logical volume. The fake is the process's provider while it lives.
// Callers match a volume to its device by device number (LVM::blockDevice):
// the fake's own block devices (BlockDevices) have numbers of their own, so
// that tests need no device node, as in a container; any other path is
// what stat says.
#pragma once

#include <sys/sysmacros.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/KxException.h"
#include "platform/base/TestControl.h"
#include "platform/os/LVM.h"

namespace testfiles {

class FakeLvm : public LVM::Provider {
public:
    FakeLvm() { ruxen::testcontrol::SetLvmProvider(this); }
    ~FakeLvm() override { ruxen::testcontrol::SetLvmProvider(nullptr); }

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
    // `n` block devices with distinct numbers that exist for no one else.
    std::vector<std::string> BlockDevices(size_t n) {
        std::vector<std::string> out;
        for (size_t i = 0; i < n; ++i) {
            out.push_back("/dev/fake-blk" + std::to_string(i));
            m_blocks[out.back()] = makedev(259, 4000 + static_cast<unsigned>(i));
        }
        return out;
    }
    bool blockDevice(const std::string& path, dev_t* rdev) override {
        auto it = m_blocks.find(path);
        if (it == m_blocks.end())
            return LVM::Provider::blockDevice(path, rdev);
        *rdev = it->second;
        return true;
    }

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
    std::map<std::string, dev_t> m_blocks;
};

}  // namespace testfiles
