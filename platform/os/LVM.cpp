#include "platform/os/LVM.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"
#include "platform/base/ScopedFd.h"
#include "platform/base/TestControl.h"

namespace LVM {

namespace {

constexpr char kLvmPrefix[] = "LVM-";
constexpr size_t kUuidLength = 32;
constexpr int kMaxStackDepth = 8;

// A small sysfs attribute without its trailing white space. False with
// errno when it cannot be read.
bool ReadAttr(const std::string& path, std::string* out) {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    char buf[4096];
    ssize_t n;
    do {
        n = read(fd.get(), buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '\t'))
        --n;
    out->assign(buf, static_cast<size_t>(n));
    return true;
}

// The entries of a directory but "." and ".."; none when it cannot be read.
std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path.c_str()), closedir);
    if (!d)
        return names;
    while (struct dirent* e = readdir(d.get()))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    return names;
}

[[noreturn]] void Throw(const std::string& what, int code) { throw KxException("LVM", what, __FILE__, code); }

class SysfsEngine : public Engine {
public:
    SysfsEngine(std::string sys, std::string dev, std::string device, std::string devNum, std::string uuid)
        : m_sys(std::move(sys)), m_dev(std::move(dev)) {
        m_vg.device = std::move(device);
        m_vg.devNum = std::move(devNum);
        m_vg.dmUuid = std::move(uuid);
    }

    VG getVG() override {
        VG vg = m_vg;
        std::string lvName;
        std::string base = m_sys + "/dev/block/" + vg.devNum + "/dm/name";
        if (!ReadAttr(base, &vg.dmName))
            Throw("cannot read " + base + ": " + strerror(errno), errno);
        if (!SplitDmName(vg.dmName, &vg.name, &lvName))
            Throw("device-mapper name " + vg.dmName + " names no volume group", EINVAL);
        vg.uuid = vg.dmUuid.substr(strlen(kLvmPrefix), kUuidLength);
        const std::string classDir = m_sys + "/class/block";
        for (const std::string& k : ListDir(classDir)) {
            std::string uuid, dmName;
            if (!ReadAttr(classDir + "/" + k + "/dm/uuid", &uuid) || !SameGroup(uuid, vg.uuid))
                continue;
            LV lv;
            if (!ReadAttr(classDir + "/" + k + "/dm/name", &lv.dmName) || !SplitDmName(lv.dmName, &dmName, &lv.name))
                Throw("logical volume " + k + " has no readable name", EINVAL);
            lv.devicePath = m_dev + "/mapper/" + lv.dmName;
            std::set<std::string> seen;
            AddPVs(k, vg, lv, seen, 0);
            vg.lvs[lv.name] = std::move(lv);
        }
        return vg;
    }

private:
    static bool SameGroup(const std::string& uuid, const std::string& vgUuid) {
        return uuid.compare(0, strlen(kLvmPrefix), kLvmPrefix) == 0 &&
               uuid.compare(strlen(kLvmPrefix), kUuidLength, vgUuid) == 0;
    }

    // The slaves of kernel device `k`, followed down through volumes of the
    // same group, become the physical volumes of `lv`.
    void AddPVs(const std::string& k, VG& vg, LV& lv, std::set<std::string>& seen, int depth) {
        const std::string classDir = m_sys + "/class/block/";
        for (const std::string& s : ListDir(classDir + k + "/slaves")) {
            if (!seen.insert(s).second)
                continue;
            std::string uuid;
            if (ReadAttr(classDir + s + "/dm/uuid", &uuid) && SameGroup(uuid, vg.uuid)) {
                if (depth >= kMaxStackDepth)
                    Throw("logical volumes of " + vg.name + " stacked too deep", ELOOP);
                AddPVs(s, vg, lv, seen, depth + 1);
                continue;
            }
            PV& pv = vg.pvs[s];
            if (pv.name.empty()) {
                pv.name = s;
                pv.devicePath = m_dev + "/" + s;
                ReadAttr(classDir + s + "/dev", &pv.devNum);
                ReadAttr(classDir + s + "/size", &pv.size);
            }
            lv.pvs.push_back(s);
        }
    }

    std::string m_sys;
    std::string m_dev;
    VG m_vg;
};

Provider* g_provider = nullptr;

}  // namespace

bool SplitDmName(const std::string& dmName, std::string* vg, std::string* lv) {
    vg->clear();
    for (size_t i = 0; i < dmName.size(); ++i) {
        if (dmName[i] != '-') {
            vg->push_back(dmName[i]);
        } else if (i + 1 < dmName.size() && dmName[i + 1] == '-') {
            vg->push_back('-');
            ++i;
        } else {
            lv->clear();
            for (size_t j = i + 1; j < dmName.size(); ++j) {
                lv->push_back(dmName[j]);
                if (dmName[j] == '-' && j + 1 < dmName.size() && dmName[j + 1] == '-')
                    ++j;
            }
            return !vg->empty() && !lv->empty();
        }
    }
    return false;
}

SysfsProvider::SysfsProvider(std::string sysfsRoot, std::string devRoot)
    : m_sys(std::move(sysfsRoot)), m_dev(std::move(devRoot)) {}

std::unique_ptr<Engine> SysfsProvider::getByLVDevice(const std::string& device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return nullptr;
    return getByDevNum(major(st.st_rdev), minor(st.st_rdev), device);
}

std::unique_ptr<Engine> SysfsProvider::getByDevNum(unsigned maj, unsigned min, const std::string& device) {
    std::string devNum = std::to_string(maj) + ":" + std::to_string(min);
    std::string path = m_sys + "/dev/block/" + devNum + "/dm/uuid";
    std::string uuid;
    if (!ReadAttr(path, &uuid)) {
        if (errno == ENOENT || errno == ENOTDIR)
            return nullptr;  // not device-mapper
        Throw("cannot read " + path + ": " + strerror(errno), errno);
    }
    if (uuid.compare(0, strlen(kLvmPrefix), kLvmPrefix) != 0)
        return nullptr;
    if (uuid.size() < strlen(kLvmPrefix) + 2 * kUuidLength)
        Throw("device-mapper uuid " + uuid + " of " + device + " is too short", EINVAL);
    KXLOG(3, "%s (%s) is a logical volume", device.c_str(), devNum.c_str());
    return std::make_unique<SysfsEngine>(m_sys, m_dev, device, devNum, uuid);
}

bool Provider::blockDevice(const std::string& path, dev_t* rdev) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    *rdev = st.st_rdev;
    return true;
}

namespace {

Provider& provider() {
    static SysfsProvider sysfs;
    return g_provider ? *g_provider : sysfs;
}

}  // namespace

std::unique_ptr<Engine> getByLVDevice(const std::string& device) { return provider().getByLVDevice(device); }

bool blockDevice(const std::string& path, dev_t* rdev) { return provider().blockDevice(path, rdev); }

}  // namespace LVM

void ruxen::testcontrol::SetLvmProvider(LVM::Provider* provider) { LVM::g_provider = provider; }

namespace {
const ruxen::testcontrol::Registration kTestReset("logical-volume provider",
                                                  [] { ruxen::testcontrol::SetLvmProvider(nullptr); });
}  // namespace
