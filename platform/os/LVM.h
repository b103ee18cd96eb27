// Logical volumes: which volume group a device-mapper device belongs to,
// the group's logical volumes and the physical volumes under each.
//
// The default provider reads sysfs and nothing else (no device is opened,
// no LVM tool is run). Under its root (normally "/sys"):
//
//   dev/block/MAJ:MIN          the device, by number
//   class/block/NAME/dev       "MAJ:MIN" of a block device or partition
//   class/block/NAME/size      its size in 512-byte sectors
//   class/block/NAME/dm/uuid   "LVM-" + 32-character volume-group uuid +
//                              32-character logical-volume uuid (+ "-cow",
//                              "-real", ... for volumes LVM keeps to itself)
//   class/block/NAME/dm/name   "VG-LV", a "-" inside either name doubled
//   class/block/NAME/slaves/   the devices the volume lies on
//
// A device is a logical volume when its dm/uuid begins with "LVM-". Its
// group's logical volumes are every device-mapper device whose uuid carries
// the same group uuid; the physical volumes of a volume are its slaves,
// followed down through volumes of the same group (snapshot origins, pool
// data) to the first device that is not one of them.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace LVM {

struct PV {
    std::string name;        // kernel name ("sda2"), the key in VG::pvs
    std::string devNum;      // "8:2"
    std::string devicePath;  // "/dev/sda2"
    std::string size;        // 512-byte sectors, as sysfs gives it
};

struct LV {
    std::string name;              // "lv0", the key in VG::lvs
    std::string dmName;            // "vg0-lv0"
    std::string devicePath;        // "/dev/mapper/vg0-lv0"
    std::vector<std::string> pvs;  // keys of VG::pvs, in slave order
};

struct VG {
    std::string device;  // the device asked about
    std::string devNum;
    std::string dmName;
    std::string dmUuid;
    std::string name;  // the volume group; empty when the device is in none
    std::string uuid;
    std::map<std::string, LV> lvs;
    std::map<std::string, PV> pvs;
};

class Engine {
public:
    virtual ~Engine() = default;
    // The volume group of the device. Throws KxException when sysfs cannot
    // be read or names the volume in a form that does not parse.
    virtual VG getVG() = 0;
};

class Provider {
public:
    virtual ~Provider() = default;
    // An engine for a logical-volume device, or null for any other device
    // (not a block device, not device-mapper, not LVM, or not there).
    virtual std::unique_ptr<Engine> getByLVDevice(const std::string& device) = 0;
    // Whether `path` is a block device, and its device number: what stat
    // says, unless a test provider names devices of its own.
    virtual bool blockDevice(const std::string& path, dev_t* rdev);
};

class SysfsProvider : public Provider {
public:
    explicit SysfsProvider(std::string sysfsRoot = "/sys", std::string devRoot = "/dev");
    std::unique_ptr<Engine> getByLVDevice(const std::string& device) override;
    // The same for a device number (what stat gives for the device).
    std::unique_ptr<Engine> getByDevNum(unsigned major, unsigned minor, const std::string& device);

private:
    std::string m_sys;
    std::string m_dev;
};

// Through the process's provider (the sysfs one unless replaced).
std::unique_ptr<Engine> getByLVDevice(const std::string& device);
bool blockDevice(const std::string& path, dev_t* rdev);

// Splits a device-mapper name "VG-LV" (each "-" in a name doubled) into its
// two names. False when there is no single "-".
bool SplitDmName(const std::string& dmName, std::string* vg, std::string* lv);

}  // namespace LVM
