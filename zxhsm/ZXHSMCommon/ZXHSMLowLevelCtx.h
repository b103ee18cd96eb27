// The per-job tiered-storage context: the low-level object of the file
// system that holds a path. It reads the mount table once, when it is made
// (a ZXHSMMntTab), makes one low-level object per mount on first request and
// keeps it for its own life. Whether a path lies on tiered storage is the
// object's file-system test (ZXHSMLowLevel::isSXRFS), not the context's.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/agent/KxCriticalSection.h"
#include "platform/hsm/ZXHSMLowLevel.h"
#include "zxhsm/ZXHSMCommon/ZXHSMMntTab.h"

class ZXHSMLowLevelCtx {
public:
    // Throws KxException when the mount table cannot be read, and
    // std::runtime_error when the critical section cannot be set up.
    explicit ZXHSMLowLevelCtx(int driverMode);
    virtual ~ZXHSMLowLevelCtx();
    ZXHSMLowLevelCtx(const ZXHSMLowLevelCtx&) = delete;
    ZXHSMLowLevelCtx& operator=(const ZXHSMLowLevelCtx&) = delete;

    // The low-level object of the mount that holds `path` (a
    // ZXHSMLowLevelCXFS in driver mode 1), or null when the mount table
    // cannot place the path (null, empty or relative, or no mount holds it).
    // The pointer stays valid for the context's life.
    ZXHSMLowLevel* getByFileName(const char* path);

    int driverMode() const { return m_driverMode; }
    // Number of low-level objects made so far (one per mount asked for).
    size_t objectCount() const;

private:
    int m_driverMode;
    ZXHSMMntTab m_mntTab;
    std::map<std::string, std::unique_ptr<ZXHSMLowLevel>> m_byMount;
    mutable KxCriticalSection m_lock;
};
