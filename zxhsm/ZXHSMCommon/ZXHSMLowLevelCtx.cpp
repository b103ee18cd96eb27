#include "zxhsm/ZXHSMCommon/ZXHSMLowLevelCtx.h"

#include "platform/agent/KxLog.h"
#include "platform/base/KxException.h"

ZXHSMLowLevelCtx::ZXHSMLowLevelCtx(int driverMode) : m_driverMode(driverMode) {}

ZXHSMLowLevelCtx::~ZXHSMLowLevelCtx() = default;

ZXHSMLowLevel* ZXHSMLowLevelCtx::getByFileName(const char* path) {
    if (path == nullptr || path[0] != '/')
        return nullptr;
    const ZXHSMMntTab::Entry* mount;
    try {
        mount = &m_mntTab.find(path);
    } catch (const KxException& e) {
        KXLOG(1, "no mount holds '%s': %s", path, e.what());
        return nullptr;
    }
    KxCriticalSection::Lock g(m_lock);
    std::unique_ptr<ZXHSMLowLevel>& obj = m_byMount[mount->dir];
    if (!obj) {
        if (m_driverMode == ZXHSM_ARCHIVER_DRIVER)
            obj.reset(new ZXHSMLowLevelCXFS(mount->dir));
        else
            obj.reset(new ZXHSMLowLevel(mount->dir));
        KXLOG(3, "made the tiered-storage low level of mount '%s' (driver mode %d)", mount->dir.c_str(), m_driverMode);
    }
    return obj.get();
}

size_t ZXHSMLowLevelCtx::objectCount() const {
    KxCriticalSection::Lock g(m_lock);
    return m_byMount.size();
}
