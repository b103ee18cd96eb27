// The replica database: the consistency points of a file-level replication
// job, with the snapshots that hold them.
//
// Stand-in: an answer set in-process for a job id (by tests) wins;
// otherwise the fixture file "<sSnapFixtureDir>/<job id>.flrcp"
// (platform/snapshot/StandInFixtures.h; format in docs/ARCHITECTURE.md) is read. A job
// with neither has no answer: the query fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct QueryFLRCPByJobIdV1Args_t {
    int64_t jobId = 0;
};

struct FLRConsistencyPointRecord_t {
    uint32_t cpId = 0;
};

struct FLRSnapshotRecord_t {
    uint32_t snapId = 0;
    std::string snapDevice;
    std::string destVolume;
};

struct FLRSnapPairRecord_t {
    uint32_t first = 0;
    uint32_t snapId = 0;
    uint32_t pairId = 0;
};

struct FLRPairPathRecord_t {
    uint32_t pairId = 0;
    std::string hostContent;  // the replicated source folder
    std::string destination;  // where it is replicated to
};

struct FLRSnapMountPointRecord_t {
    uint32_t snapId = 0;
    std::string mountPoint;
};

struct FLRSnapNetworkShareRecord_t {
    uint32_t snapId = 0;
    std::string share;
};

struct QueryFLRCPByJobIdRet_t {
    FLRConsistencyPointRecord_t consistencyPoint;
    std::vector<FLRSnapshotRecord_t> snapshots;
    std::vector<FLRSnapPairRecord_t> snapPairs;
    std::vector<FLRPairPathRecord_t> pairPaths;
    std::vector<FLRSnapMountPointRecord_t> mountPoints;
    std::vector<FLRSnapNetworkShareRecord_t> networkShares;
    std::string text;
};

class ReplicaDBClient {
public:
    explicit ReplicaDBClient(int mode) : m_mode(mode) {}
    // False when the database has no answer for the job (or its fixture is
    // malformed, logged with the file and line).
    bool QueryFLRCPByJobId(const QueryFLRCPByJobIdV1Args_t& args, QueryFLRCPByJobIdRet_t& out);

private:
    int m_mode;
};
