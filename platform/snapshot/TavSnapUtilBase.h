// The snapshot utilities: load a snapshot job's volumes and mount (or find)
// their snapshots.
//
// Stand-in: a job's volumes come from the fixture file
// "<sSnapFixtureDir>/<job id>.snap" (platform/snapshot/StandInFixtures.h; format in
// docs/ARCHITECTURE.md), so that every process of a job sees the same
// snapshot. "Mounting" checks that each mount directory exists; unmounting
// only records the call.
#pragma once

#include <map>
#include <string>

#include "platform/base/CTyError.h"
#include "platform/snapshot/SMVolSnapInfo.h"

class KXJobCtrlClient;

class TavSnapUtilBase {
public:
    TavSnapUtilBase(int engineType, int mode, bool verbose, KXJobCtrlClient* jobCtrl, const char* name, int spawn);
    virtual ~TavSnapUtilBase();
    TavSnapUtilBase(const TavSnapUtilBase&) = delete;
    TavSnapUtilBase& operator=(const TavSnapUtilBase&) = delete;

    void setZonarkId(int id) { m_zonarkId = id; }
    void setClientId(int id) { m_clientId = id; }
    int engineType() const { return m_engineType; }

    // Loads the job's volumes (replacing any loaded before). With `mount`,
    // every snapshot's mount directory must exist. An error names the fixture
    // file and its bad line.
    CTyError LoadAndMountVolumestForJobID(long long jobId, bool mount, int flags);

    // Source mount path -> snapshot mount path of every loaded volume; empty
    // when nothing was loaded.
    const std::map<std::string, std::string>& mountPointMap() const { return m_mountPoints; }

    SMVolSnapInfo& volSnapInfo() { return m_info; }
    const SMVolSnapInfo& volSnapInfo() const { return m_info; }
    int numOfSnap() const { return static_cast<int>(m_info.volumes.size()); }

    // Unmounts the job's snapshots (the stand-in counts the calls).
    CTyError UnmountSnapshots();
    int unmountCalls() const { return m_unmountCalls; }

private:
    int m_engineType;
    int m_zonarkId = 0;
    int m_clientId = 0;
    long long m_jobId = 0;
    SMVolSnapInfo m_info;
    std::map<std::string, std::string> m_mountPoints;
    int m_unmountCalls = 0;
};
