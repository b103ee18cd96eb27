// The content mapper of database snapshot jobs (subclients not backed up
// block-level): it mounts the job's snapshots like SnapFSContentMapper, has
// the database path translator find where each database file's snapshot copy
// lies, and then maps exactly those files: a recorded path is a database
// file's source path, the local path its snapshot copy.
//
// "/" maps to "/". A path that is not one of the files is a miss: the output
// is the input, and the code is 2 (local to recorded) or -2 (recorded to
// local).
//
// The instance is shared by the process: a set-up that fails leaves the
// mapper off with no pairs and no translator, whatever an earlier job had
// loaded, and a new set-up drops the earlier job's pairs before it starts.
#pragma once

#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mapping/SnapFSContentMapper.h"
#include "platform/agent/KXBkpLevel.h"
#include "platform/base/Export.h"

class DBPathTranslator;
class KXJobCtrlClient;

// One database file for the scan.
struct NorfaSnapshotEntity {
    std::string srcPath;
    std::string mountPath;
    unsigned long long id = 0;
    bool isLogEntity = false;
};

class RUXEN_EXPORT DBSnapContentMapper : public SnapFSContentMapper {
public:
    DBSnapContentMapper();
    ~DBSnapContentMapper() override;

    using SnapFSContentMapper::initialize;
    // The snapshot mapper's forms, without database files: another job's
    // pairs and translator go first.
    bool initialize(const char* jobId, int zonarkId, int clientId) override;
    bool initialize(const char* jobId, int zonarkId, int clientId, int engineType, bool mount) override;
    // Mounts the job's snapshots and translates its database files. For
    // application types 61 and 135 with engine type 0 the engine type comes
    // from the application's instance.
    bool initialize(const char* idString, int clientId, int engineType, bool mount, const unsigned int& zonarkId,
                    const char* hostName, const unsigned long& appId, const unsigned long& appType,
                    const std::string& jobToken);
    // For application types 22 and 80 the snapshots are loaded through
    // database snapshot utilities moving to tape through RMAN; other types
    // are SnapFSContentMapper's five-argument form.
    bool initialize(const char* idString, int zonarkId, int clientId, int engineType, bool mount, int appId,
                    unsigned long appType, int mode);

    // The translated files (mount paths) and their entities by id; false
    // without translated files.
    bool populateOnDemandFileList(std::list<std::string>& files,
                                  std::map<unsigned long long, std::vector<NorfaSnapshotEntity>>& entities);

    int MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) override;
    int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) override;
    int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) override;
    int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) override;

    // Through the translator (see DBPathTranslator), the first with the
    // job token of the set-up. 0, or an errno value; EINVAL without a
    // translator (no set-up, or a failed one).
    int updateBrowsableIndex(KXJobCtrlClient* jobCtrl, KXBkpLevel& level);
    int appendBrowsablePathToDirChange(FILE* file);

    const unsigned long& getAppType() const { return mAppType; }
    DBPathTranslator* getDBPathTransObject() { return mTranslator.get(); }
    const std::string& jobToken() const { return mJobToken; }

    static constexpr int kMissToRecorded = 2;
    static constexpr int kMissToLocal = -2;

private:
    // The end of a set-up that failed: the snapshots, the pairs and the
    // translator of any job go. Answers false.
    RUXEN_HIDDEN bool fail();
    // Forgets the database files: pairs and translator.
    RUXEN_HIDDEN void dropFiles();

    std::map<std::string, std::string> mFileMap;          // local (mount) path -> recorded (source) path
    std::map<std::string, std::string> mRecordedToLocal;  // reverse of mFileMap; of equal values the first key
    std::unique_ptr<DBPathTranslator> mTranslator;
    unsigned long mAppId = 0;
    unsigned long mAppType = 0;
    std::string mJobToken;
};
