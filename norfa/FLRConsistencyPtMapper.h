// The content mapper of jobs that back up a file-level replication target at
// a consistency point.
//
// The replica database tells, for the replication job, which source folders
// (host contents) are replicated to which destination paths and which
// snapshot of the destination holds the consistency point. The mapper finds
// where each snapshot is mounted here (the mount-table entry whose device is
// the snapshot's device) and maps each host content to the same relative
// place inside the mounted snapshot. Mapping itself is ContentMapper's.
//
// It also keeps, process-wide, the earliest snapshot reference time of the
// last successful set-up (getNorfaRefTime), for the scan.
#pragma once

#include <string>

#include "mapping/ContentMapper.h"
#include "platform/base/Export.h"

class ZXHSMMntTab;

class RUXEN_EXPORT FLRConsistencyPtMapper : public ContentMapper {
public:
    FLRConsistencyPtMapper();
    ~FLRConsistencyPtMapper() override;

    // The job id of the replication job. Once enabled, answers true at once.
    bool initialize(const char* jobId) override;
    // Builds the map from the replica database; false (logged, the mapper
    // and the reference time unchanged) when any record cannot be mapped.
    bool initConsistencyPtMapper(const char* jobId);

    // The mount directory (without trailing '/') of the file system `path`
    // lies on. Throws KxException when no mount holds it.
    static std::string getMountPoint(const ZXHSMMntTab& table, const char* path);
};

// The smallest snapshot reference time of the last successful set-up (0 when
// none).
RUXEN_EXPORT long getNorfaRefTime();
