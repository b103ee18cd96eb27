// The content mapper of snapshot jobs: recorded paths of a job's volumes map
// to where their snapshots are mounted on this machine.
//
// The job's volumes come from the snapshot utilities (TavSnapUtilBase).
// Mounted volumes become entries of the source-to-local map (recorded
// source path -> snapshot mount path; both without trailing '/', "/" kept);
// raw volumes become RawDevInfo records, matched before the map. Mapping in
// both directions otherwise follows ContentMapper: longest whole-component
// match, a miss answers -1 with the input handed back.
//
// The snapshot mapping file ("hwsnapInfo.kxf") records where one process
// found the snapshots, so that a later process of the same job can turn old
// local paths into current ones:
//
//     r:<source>:<source parent>:<mount>:<mount parent>:   one per raw volume
//     m:<source>:<local path>:                             one per map entry
//
// Each line ends with ':' and a line feed; nothing is escaped, so the writer
// refuses a field holding ':' or a line feed. An empty field is kept
// ("m:/data::" is a volume mounted at "/").
#pragma once

#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mapping/ContentMapper.h"
#include "mapping/NFSBkpPathInfo.h"
#include "platform/base/Export.h"

class TavSnapUtilBase;
struct SMVolumeInfo;
namespace NAS {
class Backup_ReferenceTimesList;
}

// One raw-volume snapshot (and one "r:" line of the mapping file).
struct RawDevInfo {
    std::string source;        // raw volume path, no trailing '/'
    std::string mount;         // mount parent joined with the last component of source
    std::string sourceParent;  // parent directory of source
    std::string mountParent;   // the snapshot's mount path, no trailing '/'
    long archiveId = 0;
};

class RUXEN_EXPORT SnapFSContentMapper : public ContentMapper {
public:
    SnapFSContentMapper();
    ~SnapFSContentMapper() override;

    using ContentMapper::initialize;
    // Both answer whether the mapper is enabled. The five-argument form
    // stores the engine type (-1 is refused); the three-argument form needs
    // one stored before. Once enabled for the job, both answer true at once.
    // A failure leaves the mapper disabled and empty, whatever an earlier
    // job had loaded.
    virtual bool initialize(const char* jobId, int zonarkId, int clientId);
    virtual bool initialize(const char* jobId, int zonarkId, int clientId, int engineType, bool mount);
    // Loads the job's volumes into the mapper. Without `reload`, a mapper
    // that already holds entries of this job answers true at once.
    bool initConsistencyPtMapper(const char* jobId, bool mount, bool reload);

    int MakeProxyPathFromHostPath(const char* hostPath, char* out, int size) override;
    int MakeHostPathFromProxyPath(const char* proxyPath, char* out, int size) override;
    int MakeProxyPathFromHostPath(const std::string& hostPath, std::string& out) override;
    int MakeHostPathFromProxyPath(const std::string& proxyPath, std::string& out) override;
    // Over the root mapping when a volume's source is "/", else the map.
    int GetHostAndProxyFromProxyPath(std::string path, std::string& host, std::string& proxy) override;

    virtual unsigned GetSourceClientId() { return mSourceClientId; }
    // Writes the mapping file (to a temporary name, then renamed).
    virtual bool saveMappingToFile(const std::string& fileName);
    // Adds old local prefix -> current local prefix entries (both ending in
    // '/') to `collectPathMap`. A missing file adds the source-to-local map
    // itself. Answers false after an invalid line (the lines before it stay
    // in effect).
    virtual bool loadMappingFromFile(const std::string& fileName, std::map<std::string, std::string>& collectPathMap);
    // The same over the file's text as ReadMappingFile took it (`text`
    // null: there is no such file); `why` (may be null) names the invalid
    // line's fault.
    bool loadMappingFromText(const std::string& fileName, const std::string* text,
                             std::map<std::string, std::string>& collectPathMap, std::string* why);
    // Reads the mapping file whole (so that the streams of a job take one
    // reading of it) and checks that every line is of its form. True with
    // `exists` false when there is no such file; false with the reason in
    // `error` when it cannot be read, is no regular file, is over 16 MiB or
    // holds a line of another form.
    static bool ReadMappingFile(const std::string& fileName, std::string& text, bool& exists, std::string& error);
    virtual bool isVolumePath(const char* localPath);
    virtual std::map<std::string, std::string>& GetSourceSnapDeviceMap() { return mSrcSnapDevMap; }
    virtual int GetRawProxyList(std::list<std::string>* out);
    virtual std::string getSourcePathByLocalPath(const char* localPath);

    int getArchiveIDByPath(const char* localPath);
    std::string getSourcePathByArchiveID(int archiveId);
    void UpdateHostPathForProxyPath(const std::string& proxyPath, const std::string& hostPath);
    void UnmountSnapshots();

    const std::list<RawDevInfo>& GetRawDevList() const { return mRawDevList; }
    long long JobId() const { return mJobId; }
    int EngineType() const { return mEngineType; }
    TavSnapUtilBase* SnapUtil() { return mSnapUtil.get(); }

    // NAS snapshot-difference references (SnapFSContentMapperNas.cpp).
    std::map<std::string, sNFSBkpPathInfo>& GetNFSBackupPathInfo() { return mNFSBkpPaths; }
    // 0 done or nothing to do; -1 or -2 failure, with nothing added.
    int CollectSnapInfoForNFSBackupPaths(std::vector<std::string>& hostPaths, int subclientId, int backupType,
                                         bool fullWithoutReferences, bool useReferenceTimes);
    bool MarkSnapDiffDoneOnBkpPaths(const std::vector<sNFSBkpPathInfo>& paths);
    // Whether the subclient's previous backup job is known: true with
    // `first` and `previousJobId` set, false (both untouched) when it is not.
    bool CheckIfFirstSubClientBkp(int zonarkId, int subclientId, bool& first, unsigned long long& previousJobId, bool);
    // Recorded paths of the host paths, in order; a path marked '+' is
    // dropped and a leading '>' removed. False when a path cannot be mapped.
    bool ConvertHostToSourcePaths(const std::vector<std::string>& hostPaths, std::vector<std::string>& sourcePaths);
    bool QueryIndexV2(int subclientId, int zonarkId, std::vector<std::string>& paths,
                      NAS::Backup_ReferenceTimesList& list);
    static void SplitMetaData(const std::string& metadata, std::string& fileServer, std::string& fileSystem,
                              std::string& snapshot, std::string& volumePath, unsigned long engineId);
    static bool getJsonVal(const std::string& text, const std::string& key, std::string& value);

    // Backup types of the collection.
    static constexpr int kBackupFull = 1;
    static constexpr int kBackupDifferential = 4;
    // The snapshot engine whose metadata is a brace list of key:value pairs.
    static constexpr unsigned long kJsonMetaDataEngine = 39;

protected:
    // Whether the mapper holds the snapshots of this job id.
    RUXEN_HIDDEN bool SameJob(const char* jobId) const;
    // Makes the snapshot utilities object, replacing (and deleting) any
    // made before.
    RUXEN_HIDDEN void createSnapUtil();
    // The end of an initialisation: enabled when `loaded`, else disabled
    // with nothing of any job left (map, raw volumes, device map, job id,
    // utilities). Answers `loaded`.
    RUXEN_HIDDEN bool settle(bool loaded);
    // The local path of a volume: a replica's replicated folder inside its
    // snapshot, else the snapshot mount path.
    RUXEN_HIDDEN static std::string volumeLocalPath(const SMVolumeInfo& v);

    std::unique_ptr<TavSnapUtilBase> mSnapUtil;
    long long mJobId = 0;
    std::string mJobIdStr;
    int mEngineType = -1;
    std::list<RawDevInfo> mRawDevList;
    unsigned mSourceClientId = 0;
    std::map<std::string, std::string> mSrcSnapDevMap;    // source path -> snapshot device
    std::map<std::string, sNFSBkpPathInfo> mNFSBkpPaths;  // by backup (recorded) path
    bool mRootVolume = false;
    std::map<std::string, std::string> mRootMapping;

private:
    // Applies the mapping file's lines as read from `f`; false (the reason
    // logged, and in `why` when not null) at the first invalid line.
    RUXEN_HIDDEN bool applyMappingStream(FILE* f, const std::string& fileName,
                                         std::map<std::string, std::string>& collectPathMap, std::string* why);
    // Applies one line of the mapping file (without its line end); false
    // when the line is invalid.
    RUXEN_HIDDEN bool applyMappingLine(const std::string& line,
                                       std::map<std::string, std::string>& collectPathMap) const;
    // The raw record hit by a path in the given direction, or null.
    RUXEN_HIDDEN const RawDevInfo* rawHit(const std::string& path, bool toHost, std::string& result) const;
};
