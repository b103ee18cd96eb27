// The per-file backup object. The stream backup pass drives it through one
// item at a time, in this order:
//
//   OpenFilesForBackup       read and decode the next collect line, stat the item
//   PopulateHeader           fill the working header record
//   SendHeader               send it (record 128) in network order
//   PrepareAndSendMetaData   index metadata
//   ReadAndSendFileData      data (2) and hole (293) records
//   SendEndOfFileMessage     end-of-item record (130 or 134)
//
// Results (RuxenFile::ItemResult): 0 go on; -1 the item goes no further
// (passed over, or failed and reported); 1 end of the collect file
// (OpenFilesForBackup); 2 the stream must fail. The record senders and the
// metadata step name their own third answer (SendResult, MetaDataResult).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/agent/PerfCounter.h"
#include "platform/base/Export.h"
#include "platform/hardlinks/HardLinksTable.h"
#include "platform/index/IdxMetadata.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/MetadataRecord.h"
#include "ruxen/RuxenCounters.h"
#include "ruxen/RuxenItemState.h"
#include "ruxen/RuxenJobSettings.h"
#include "ruxen/RuxenStreamState.h"
#include "ruxen/ZXFileHeader.h"

class CFileReader;
class CFileReaderContext;
class ContentMapper;
class CPipelayer;
class CTyError;
class ContentMapper;
class IdxMessage;
class IndexMetaDataHelper;
class IndexingConnection;
class KXArchive;
class HardLinkLedger;
class KXJobCtrlClient;
class RuxenFilePrivate;
class TAVNameMapper;
namespace IdxMetadata {
class IdxMetaData;
}
struct browseablePath_t;
struct subclientFiles;
struct _PipelineDataHdr;

struct AllocateBufArgs_t {
    uint32_t size;
    uint8_t flag;
};
struct AllocateBufRet_t {
    uint32_t granted;
};
struct WriteBufArgs_t {
    uint32_t type;
    uint32_t length;
};
struct WriteBufRet_t {
    int32_t status;
};

// Status of a failed send through the pipeline layer.
constexpr int kPipelineSendFailed = 0x10000001;

// What GetMountDetailsFS puts into a mount entry besides its path and type.
constexpr int kMountSizes = 1;         // the file system's size (statfs)
constexpr int kMountNetworkSizes = 2;  // sizes of network file systems too (statfs may wait on a server)
constexpr int kMountNoPseudo = 4;      // leave out file systems without storage (proc, sysfs, ...)

// Fills `mounts` (replaced) from the mount table: every mount numbered from
// 1 in table order, the numbers the collect files' MNT=n markers name; a
// mount left out by the flags leaves its number unused. The number of
// entries, or -1 with the reason in `errorText` (1024 bytes).
int GetMountDetailsFS(std::map<int, MountEntry>& mounts, char* errorText, int flags);

class RUXEN_EXPORT RuxenFile {
public:
    // Results of the per-item operations (which return int), one name per
    // value and one meaning per name.
    enum ItemResult : int {
        kItemGoOn = 0,
        kItemSkipped = -1,  // the item goes no further; the stream goes on
        kEndOfCollect = 1,  // OpenFilesForBackup: no line is left
        kFailStream = 2,
    };
    // The third answer of the record senders (SendEndOfFileMessage,
    // SendDeletedItemHeader), beside kItemGoOn and kFailStream: no record
    // went out (no buffer for it; for a deleted item, nothing to send).
    enum SendResult : int { kNotSent = 1 };
    // The third answer of PrepareAndSendMetaData: the item's metadata failed
    // (reported), the stream goes on with the next item.
    enum MetaDataResult : int { kItemMetaDataFailed = 1 };

    // Records go through the archive client.
    explicit RuxenFile(KXArchive* archive);
    // Records go through the pipeline layer.
    explicit RuxenFile(CPipelayer* pipelayer);
    virtual ~RuxenFile();
    RuxenFile(const RuxenFile&) = delete;
    RuxenFile& operator=(const RuxenFile&) = delete;

    // Sets the client platform code written into every header, chooses the
    // content mapper, and makes the item reader: one reader context for the
    // job, shared with the reader. `snapshotJob` marks a job that reads from
    // snapshots.
    void initialize(int clientOS, bool snapshotJob, const unsigned long& zonarkId, const unsigned long& appId);

    // Before each collect pass: hands the job's switches to the reader
    // context (turbo mode, archive and delete, snapshot and catalog modes).
    void PrepareReaderForPass();

    // ---- the per-item road
    virtual int OpenFilesForBackup(CollectLineSource& source, FILE* failures);
    virtual int PopulateHeader(subclientFiles* files, FILE* failures);
    virtual int PopulateHeaderEx(subclientFiles* files, FILE* failures, bool failedRecord, bool callerFlag);
    virtual int SendHeader(FILE* failures);
    virtual int PrepareAndSendMetaData(FILE* failures);
    virtual int ReadAndSendFileData(FILE* failures);
    virtual int SendEndOfFileMessage(int eof);
    virtual int SendEndOfFileMessageInternal(int eof);

    // ---- archive-buffer services
    // A buffer of at least `size` bytes, or null. With `acceptLess` a
    // smaller grant is kept too (the partial-grant form): the caller reads
    // *granted and writes no more than that. The second form's byte flag is
    // `acceptLess`.
    char* AllocateKXArchiveBuffer(unsigned size, unsigned* granted, bool acceptLess = false);
    char* AllocateKXArchiveBuffer(const AllocateBufArgs_t& args, AllocateBufRet_t& ret);
    int WriteKXArchiveBuffer(unsigned type, unsigned length, _PipelineDataHdr* hdr = nullptr);
    int WriteKXArchiveBuffer(const WriteBufArgs_t& args, WriteBufRet_t& ret);
    void FreeKXArchiveBuffer();
    void FreeKXArchiveBuffer(char* buffer);

    // ---- index metadata records (type 159), through the one sender
    // (ruxen/MetadataRecord.h): a MetadataRecordResult. A failed write also
    // records the failure reason (code -1); no failure leaves a buffer.
    using IndexMetadataPair = ::IndexMetadataPair;
    int SendIndexMetadata(const std::vector<IndexMetadataPair>& pairs);
    int SendIndexMetadata(const IdxMessage& message);

    // Switches sending on, or off when the do-not-send hook file exists (the
    // record writers then fill a scratch buffer and nothing is written).
    void initSendFlag();
    bool IsSendOn() const { return m_settings.sendOn; }

    // ---- failures
    // Formats the item's failure reason (at most 2046 characters) and code.
    void setFailureReason(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    int GetFailureCode() const { return m_item.failureCode; }
    const std::string& GetFailureReason() const { return m_item.failureReason; }
    // Records a failed item: failure reason and code, a failures-file line
    // (escaped recorded path, ":", the error number), the failed-item count
    // and a results-file line, unless the item is one of the agent's own
    // files. `detail` goes into the reason and the results line.
    void ReportItemFailure(FILE* failures, const char* path, int errnum, const char* detail);
    // Records a collect line that could not be decoded the same way; the
    // lists name it by its own text (see AppendBadLineListing).
    void ReportItemFailure(FILE* failures, const CollectLine& badLine);
    // Writes the line and a newline to the failures file; a failed write is
    // logged and answers false.
    bool write_to_file(const char* line, FILE* failures);
    // Records an item whose file changed while it was read (it is kept):
    // the changed-item count, a log line and a results-file line, unless
    // the item is one of the agent's own files.
    void ReportItemChanged(const char* path);
    bool HasWrittenFailures() const { return m_counters.failuresWritten; }
    // With errors not tolerated, a failed item the error-report filter
    // counted fails the stream: false once one was counted (logged, and the
    // pending cause raised with the job manager).
    bool ItemFailuresTolerated();
    // A line of the failures or results file could not be written: the
    // lists are incomplete, and the stream must not end as a success.
    bool FailureListWriteFailed() const { return m_counters.failureListWriteFailed; }
    // The errno of the first line lost of the failures or the results file
    // (0: none lost), so that the stream names the list that is incomplete.
    enum ListKind { kFailuresList, kResultsList };
    int LostListErrno(ListKind list) const {
        return list == kFailuresList ? m_counters.failuresLostErrno : m_counters.resultsLostErrno;
    }

    // ---- helpers
    bool IsLongPath() const;
    // The item as log lines name it: its recorded path, or "recorded ->
    // mapped" when the name mapper moved it.
    const char* printName() const;
    const char* GetActualPath() const { return m_item.actualPath.c_str(); }
    const char* GetMappedName() const { return m_item.mappedName.c_str(); }
    // The path with CR, LF and "%" escaped, in a buffer reused per call.
    const char* escapeFileName(const char* path);
    bool iswendaxFile(const char* path) const;
    // Whether `path` lies on a mount of the job's block-level map (the
    // settings' blockLevelMap: the mount itself or a path below it, on whole
    // components; "/" covers every absolute path).
    bool isBlockLevelPath(const std::string& path) const;
    bool IsNtfsAclSupported(const char* path) const;
    virtual void SetAppDefVersionGUIDSeedSuffix();
    void ResetAppDefVersionGUIDSeedSuffix();
    const char* getSymLinkContent() const { return m_item.symlinkTarget.c_str(); }

    // ---- path mapping (RuxenFileMapping.cpp)
    // A proxy path is the path as recorded (collect files, the index), a
    // host path the local path the item is read from. initialize chooses the
    // job's content mapper; the stream sets it up once before the first item.
    ContentMapper* GetContentMapper() const { return m_contentMapper; }
    // Sets the mapper up for a proxy job (plain path: the mapper's own
    // initialize) or a snapshot job; the result is also the proxy-host flag,
    // under which every item's recorded path is mapped before it is opened.
    bool setupProxyHost(char* idString, int engineType, bool mount, const char* hostName, const unsigned long& zonarkId,
                        const unsigned long& appId);
    // The job's mount points (mount number -> entry): 1 when already known,
    // else GetMountDetailsFS's result.
    int PopulateMountDetails();
    const std::map<int, MountEntry>& GetMountPoints() const { return m_settings.mountPoints; }
    // Makes a consistency-point mapper (owned by this object) the content
    // mapper and sets it up; the result is the replication-host flag.
    bool InitFLRHost(char* jobId);
    // Recorded forms of the mapper's host paths and of each of their
    // ancestors, then "/".
    virtual void GetProxyList(std::list<std::string>& out);
    // The snapshot mapper's raw volumes; -1 for another mapper.
    int GetRawDeviceProxyList(std::list<std::string>* out);
    // The snapshot mapping file into the hardware-snapshot path table; false
    // for a mapper that is not a snapshot mapper.
    virtual bool loadProxyMappingFromFile(const std::string& file);
    // The same from the file's text as the job read it before its outputs
    // (SnapFSContentMapper::ReadMappingFile; `text` null: there is no such
    // file, and the snapshots' sources map to where they are mounted now).
    // `why` (may be null) says what was wrong.
    bool loadProxyMappingFromFile(const std::string& file, const std::string* text, std::string* why);
    // A snapshot-to-tape job: each collect path is where the scan found the
    // item in a snapshot, turned into where that snapshot is mounted now by
    // the hardware-snapshot path table (convertCollectPathToLocalPath); the
    // header names the item's source path, as a snapshot job's does.
    void SetSnapshotToTape(bool on) { m_settings.snapshotToTape = on; }
    int loadNativeSnapProxyMappingFromFile(const std::string&) { return 0; }
    // A collect path through the hardware-snapshot path table (longest
    // matching prefix); unchanged when none matches.
    virtual std::string convertCollectPathToLocalPath(const char* collectPath);
    // With the native snapshot, a local path back to its recorded path
    // (changed only on a successful, non-empty mapping).
    void ConvertToHosPath(std::string& path);
    bool isSnapRetoreJob() const { return m_pipelayer != nullptr; }
    int generateProxyPathList(unsigned long, int) { return 0; }
    bool IsProxyHost() const { return m_settings.proxyHost; }
    bool IsReplicationHost() const { return m_settings.replicationHost; }

    // ---- optional headers, object-server metadata and failed-item records
    // An optional header (record 129): in, *capacity is the payload room
    // wanted; out, the room granted. The payload area, 16 bytes into a buffer
    // whose prefix holds the marker and `type` in host order; null when no
    // buffer could be had.
    char* allocOptHeader(unsigned int type, unsigned int* capacity);
    // Sends the optional header with a payload of `length` bytes (1 to the
    // capacity granted). False when there is none, the length is out of
    // range, or the write failed (the reason is recorded, the buffer freed).
    bool sendOptHeader(unsigned int length);
    // `text` and its NUL as one record 314. False on failure.
    bool sendOptHeader4(char* text);
    // The object-server metadata of the current item (records 159 and 290),
    // from the object-server name mapper. True when everything that had to
    // go went out (also when there was nothing).
    bool sendObjSrvMetaData();
    // Whether failed items are recorded in the index: decided on the first
    // call of the process from the registry, and kept.
    bool UseIndexForFailedFiles();
    // Records the current item's failure in the index (see
    // RuxenFileFailed.cpp). `endOfItem` is true when the end-of-item step
    // closes a failed item; `connection` is the catalog stream's.
    CTyError sendFailedFileInfo(bool endOfItem, IndexingConnection* connection = nullptr);
    // Fills the failure message: the failure, the item's GUIDs.
    CTyError FillIndexMetaData(IdxMetadata::IdxMetaData& message);
    // After OpenFilesForBackup answered -1: a reported failure of the entry
    // is recorded in the index as well.
    void RecordFailedCollectEntry(IndexingConnection* connection = nullptr);

    // ---- records beside the per-item road
    // The file-set record (159) of the current item, whose reader carries
    // the file-set mark; a failure is logged and never fails the item.
    void SendFileSetInfo();
    // The current item's access ACL as text, as an end-user access record
    // (159). True when sent; `error` gets 0, else an errno (22 when the
    // system has no ACLs).
    bool SendEndUserAccessInfo(int& error);
    // The current item's file-level properties for the resource report, as
    // one message record (159). True when sent.
    bool SendFLAProps();
    // One (kind, text) pair as its own record (159); the text is at most
    // 4095 bytes, the last argument is not used. True when sent.
    bool SendFLAIndexingMetaDataProp(long kind, void* value, int);

    // ---- item metadata (RuxenFileMetaData.cpp)
    // One entry of an item's metadata list: the kind's 32-bit number,
    // stored sign-extended (only its low 32 bits reach the encoder), and the
    // value as text.
    struct MetaData {
        int64_t kind = 0;
        std::string value;
        MetaData() = default;
        MetaData(uint32_t k, std::string v) : kind(static_cast<int32_t>(k)), value(std::move(v)) {}
    };
    // Appends the current item's metadata pairs to `list`: `isStub` is the
    // reader's answer, `skipStubGUIDs` leaves out both stub GUID kinds,
    // `backupLevel` and `nfsSnapDiff` are the catalog stream's.
    void FillMetaTypeValueVectors(std::list<MetaData>& list, bool isStub, bool skipStubGUIDs, int backupLevel,
                                  bool nfsSnapDiff);
    // The encoded length of the list's pairs (0 for none), or -1 when a
    // pair cannot be encoded.
    int GetMetaBuffSize(IndexMetaDataHelper& encoder, const std::list<MetaData>& list);
    // Writes the pairs in order, the last with its more-follows flag 0: 0,
    // or the first non-zero answer of the encoder (the pairs after it are
    // not written).
    int FillBufferFromVectors(IndexMetaDataHelper& encoder, char* buffer, const std::list<MetaData>& list,
                              unsigned size);
    // The item's metadata: a record 159 without a connection, each pair to
    // the connection in a catalog stream. 0 sent or nothing to send; 1 the
    // item failed (reported), the stream goes on; 2 the stream must fail.
    int PrepareAndSendMetaData(FILE* failures, IndexingConnection* connection);
    int PrepareAndSendMetaData(FILE* failures, int backupLevel, bool nfsSnapDiff, IndexingConnection* connection);
    // Records this job's snapshots of a NAS backup path as the references of
    // the subclient's next job. False when they could not be stored.
    bool UpdateSubClientPropRefTimes(const std::string& backupPath, const std::string& volumePath,
                                     const std::string& fullSnap, const std::string& incrSnap);

    // ---- deleted-item and browse records (RuxenFileDeleted.cpp)
    // A header built from fixed values for an item that has no data (a
    // deleted item of kind 1 to 7, a database browse item of kind 8), and a
    // successful end-of-item record; with a connection (snapshot-catalog
    // jobs) the header goes to the index instead. 0 sent; 1 nothing sent
    // (the path "/", or a name that does not fit the header: a reported
    // failure); 2 the stream must fail.
    virtual int SendDeletedItemHeader(const std::string& path, int kind);
    int SendDeletedItemHeader(const std::string& path, int kind, IndexingConnection* connection);
    int SendDeletedItemHeader(const std::string& path, int kind, IndexingConnection* connection,
                              browseablePath_t* browse);

    // ---- setters and getters
    // The job's settings. A host sets them before the pass (most through
    // the setters below); the pass only reads them.
    const RuxenJobSettings& Settings() const { return m_settings; }
    RuxenJobSettings& SettingsForUpdate() { return m_settings; }
    // The current item's local path that its real-path metadata names when
    // the job reads long paths through an alternate local path (the
    // settings' alternateLocalPath). Forgotten when the next item is opened.
    void SetAlternateLocalPath(const std::string& path) { m_item.alternateLocalPath = path; }
    void SetjobID(long long id) { m_settings.job.jobId = id; }
    void SetJobInfo(const RuxenJobInfo& info) { m_settings.job = info; }
    const RuxenJobInfo& GetJobInfo() const { return m_settings.job; }
    void SetCurrentAFileNumber(unsigned n) { m_settings.currentAFileNumber = n; }
    void SetTurboMode(bool on) { m_settings.turboMode = on; }
    void SetEarlyStubBackup(bool on) { m_settings.earlyStubBackup = on; }
    void SetDoNotCreateStub(bool on) { m_settings.doNotCreateStub = on; }
    void SetBackupSCFilesFlag(bool on) { m_settings.backupSCFiles = on; }
    void SetSILOJobFlag(bool on) { m_settings.siloJob = on; }
    void SetIndexV2Enabled(bool on);
    void SetCacheDBBackup(bool on);
    void SetHBaseBackup(bool on);
    void setBlockLevel(bool on) { m_settings.blockLevel = on; }
    // The Documentum storage area name, until a collect file's directive
    // names its own.
    void SetDocumentumSAName(const std::string& name) { m_stream.documentumSAName = name; }
    void SetAppTypeID(unsigned long long type) { m_settings.appType = type; }
    void SetAppTypeGUID(const std::string& guid) { m_settings.appTypeGuid = guid; }
    void setCatalogBackup(bool on) { m_settings.catalogBackup = on; }
    void setCollectFileMap(const std::map<int, std::string>& m) { m_settings.collectFileMap = m; }
    void setTotalBackupSize(unsigned long long size) { m_settings.totalBackupSize = size; }
    void EnableHardLinkHandling() { m_settings.hardLinkJob = true; }
    void DisableHardLinkHandling() { m_settings.hardLinkJob = false; }
    // Told of each hard-link group's data and member that goes out (not
    // owned; null: none).
    void SetHardLinkLedger(HardLinkLedger* ledger) { m_hlLedger = ledger; }
    void setErrorsTolerated(bool on) { m_settings.errorsTolerated = on; }
    void setUseNativeSnap(bool on) { m_settings.useNativeSnap = on; }
    bool getUseNativeSnap() const { return m_settings.useNativeSnap; }
    void SetClientOS(uint32_t code) { m_settings.clientOS = code; }
    void SetLongPathSupport(bool on) { m_settings.longPathSupport = on; }
    void SetResultsFile(FILE* results) { fResults = results; }
    // The stream's name mapper (not owned; null: none).
    // The local prefixes its lines map to are resolved then, as those of a
    // content mapper (TrustMappedPrefixes).
    void setFNameMapper(TAVNameMapper* mapper);
    TAVNameMapper* getFNameMapper() const { return m_fNameMapper; }
    // The job manager's job-control client, which takes pending causes (not
    // owned; null: none).
    void setJobCtrlClient(KXJobCtrlClient* client) { m_jobCtrl = client; }
    // The job's mount points, by mount-point index.
    void setMountPoints(const std::map<int, MountEntry>& mounts) { m_settings.mountPoints = mounts; }
    // Early stubbing: the list of items backed up as stub candidates (not
    // owned; null: none), and its name for log lines.
    void SetStubCandidateList(FILE* list, const std::string& name) {
        m_stubCandidateList = list;
        m_stubCandidateListName = name;
    }
    // Archive and delete: backed-up items are listed in `list` (not owned)
    // for deletion after the job.
    void SetArchiveAndDelete(bool on, FILE* list);
    // Put each item's access time back after it was read.
    void SetPreserveAccessTimes(bool on) { m_settings.preserveTimes = on; }
    // Back up the Mac properties (resource fork, Finder information) that
    // AppleDouble companion files ("._name") hold, after each file's data.
    void SetBackupMacProperties(bool on) { m_settings.backupMacProperties = on; }
    void SetJobResultsFolder(const std::string& dir) { m_settings.jobResultsFolder = dir; }
    // Directories whose files are the agent's own; failures there are not reported.
    void SetOwnDirectories(const std::vector<std::string>& dirs) { m_settings.ownDirectories = dirs; }
    // Files the job writes (archive, failures and results files), by device
    // and inode: an item that is one of them is passed over, never backed
    // up half-written.
    void AddJobOutput(dev_t dev, ino_t ino) { m_settings.jobOutputs.push_back({dev, ino}); }
    bool IsJobOutput(const struct stat& st) const;

    // ---- inputs of header filling
    // Content (proxy or snapshot) mapping and consistency-point mapping: the
    // mapper translates the local path back to the recorded name.
    void SetContentMapping(ContentMapper* mapper, bool proxyHost, bool replicationHost) {
        m_contentMapper = mapper;
        m_settings.proxyHost = proxyHost;
        m_settings.replicationHost = replicationHost;
    }
    // A failed consistency-point translation does not fail the item.
    void SetFLRNoFail(bool on) { m_settings.flrNoFail = on; }
    void SetIndexCacheBackup(bool checkPoint, bool logBackup) {
        m_settings.indexCheckPoint = checkPoint;
        m_settings.indexLogBackup = logBackup;
    }
    void SetFBR(bool on) { m_settings.fbr = on; }
    void SetTallixSync(bool on) { m_settings.tallixSync = on; }
    void SetDBArchive(bool on) { m_settings.dbArchive = on; }
    void SetSILOParentPath(const std::string& path) { m_settings.siloParentPath = path; }
    // The name the item goes under instead of its long-path substitute (and
    // its real path in the index): the host sets it before or after opening
    // the item. Kept until that item ends (its end-of-item record), or until
    // it is passed over without one (skipped, or no item came).
    void SetOverridePath(const std::string& path) { m_overridePath = path; }
    const std::string& GetOverridePath() const { return m_overridePath; }
    void SetMountPoints(const std::map<int, MountEntry>& mounts) { m_settings.mountPoints = mounts; }
    // ---- HBase items (the job's HBase state is held by the private part)
    void SetHBaseBkpRoot(const std::string& root);
    void GetHBaseItemAttrs(const std::string& item);
    void GetHBaseItemType(const std::string& item, IdxMetadata::HBaseFileType& type, bool& hidden);
    std::string PrepareHBaseItemPath(const std::string& item);

    bool IsFBR() const { return m_settings.fbr; }
    bool IsTallixSync() const { return m_settings.tallixSync; }
    bool isIndexCheckPoint() const { return m_settings.indexCheckPoint; }
    bool isIndexLogBackup() const { return m_settings.indexLogBackup; }
    bool GetDBArchiveFlag() const { return m_settings.dbArchive; }
    bool errorsTolerated() const { return m_settings.errorsTolerated; }
    bool getBlockLevel() const { return m_settings.blockLevel; }

    // ---- counters
    const RuxenCounters& Counters() const { return m_counters; }
    unsigned long long GetFailedItems() const { return m_counters.failedItems; }
    unsigned long long GetChangedItems() const { return m_counters.changedItems; }
    // The stream's number in a job of several streams (0: the job's only
    // stream), named in its lines about changed items.
    void SetStreamNumber(int n) { m_settings.streamNumber = n; }
    unsigned long long GetCountableItems() const { return m_counters.countableItems; }
    unsigned long long GetTotalBytes() const { return m_counters.totalBytes; }
    unsigned long long GetItemsSent() const { return m_counters.itemsSent; }
    unsigned long long GetDataBytesSent() const { return m_counters.dataBytesSent; }

    // ---- the current item, for the stream pass and tests
    const RuxenItemState& Item() const { return m_item; }
    const ZXFileHeader& GetHeader() const { return m_item.header; }
    ZXFileHeader& GetHeaderForUpdate() { return m_item.header; }
    const struct stat& GetStat() const { return m_item.st; }
    bool IsHeaderSent() const { return m_item.headerSent(); }
    const std::string& GetRecordedPath() const { return m_item.recordedPath; }
    // A deleted item (kind 1 to 7, its collect line's DEL=k) or a database
    // browse item (8): an item without data. 0: neither.
    bool IsDeletedItem() const { return m_item.isDeletedItem(); }
    int DeletedItemKind() const { return m_item.deletedKind; }
    // What lasts from item to item: the directives applied, the hard-link
    // group going out.
    const RuxenStreamState& StreamState() const { return m_stream; }

    RuxenFilePrivate& Private() { return *m_private; }
    CFileReader& GetReader();
    CFileReaderContext& GetReaderContext();
    PerfCounter& GetPerfCounter() { return m_perf; }

protected:
    // What a derived object (a host's own kind of item) may reach beyond the
    // public operations.
    // The current item's state and the stream's, as a collect line would
    // set an item's marks.
    RuxenItemState& ItemForUpdate() { return m_item; }
    RuxenStreamState& StreamStateForUpdate() { return m_stream; }
    // Replaces the item reader with one `make` builds on the object's reader
    // context.
    void UseReader(const std::function<std::shared_ptr<CFileReader>(const std::shared_ptr<CFileReaderContext>&)>& make);
    // A record buffer of at least `size` bytes, or null after logging.
    char* AllocateRecord(unsigned size);
    // Writes the last allocated buffer as a record. On failure logs it,
    // records the failure reason (code -1) and frees the buffer. 0 or the
    // status of the write.
    int SendRecord(unsigned type, unsigned length);
    // The header `host` (host order) as record 128 in network order, the
    // allocation timed as stage 0 and the write as stages 3 and 5. kItemGoOn;
    // kNotSent, no buffer; kFailStream, the write failed (the reason is
    // recorded).
    int SendHeaderRecord(const ZXFileHeader& host);

private:
    // Item type from a mode.
    using ItemType = RuxenItemType;
    RUXEN_HIDDEN static ItemType TypeOfMode(mode_t mode);

    struct RUXEN_HIDDEN RecordBuffers;
    // The metadata sender for one message, or, when `message` is null, one
    // (kind, text) pair (see SendIndexMetadata).
    RUXEN_HIDDEN int SendMetadataRecord(const IdxMessage* message, uint32_t kind, const char* text);
    // The steps of SendHeader (RuxenFileHeaderSend.cpp, RuxenFileOptHeader.cpp).
    RUXEN_HIDDEN int SendDeduplicationCommand();
    RUXEN_HIDDEN void SetItemLevelSignature();
    RUXEN_HIDDEN int SendHardLinkMemberNames(FILE* failures);
    RUXEN_HIDDEN int SendMemberName(const std::string& name);
    RUXEN_HIDDEN int SendAclOptionalHeader(FILE* failures);
    // Counts and lists a failure of the item that does not stop it (its
    // optional header or metadata), with `code` as the recorded code.
    RUXEN_HIDDEN void ReportPartialFailure(FILE* failures, int errnum, int code, const char* reason);
    // The header filled again for a failed-item record, counting nothing.
    RUXEN_HIDDEN int RefillHeaderForFailedRecord(bool endOfItem);

    // The list as one record 159 through the one sender: `size` gets its
    // encoded length, `fillRc` the encoder's answer, `writeStatus` the status
    // of a failed write.
    RUXEN_HIDDEN MetadataRecordResult SendMetaDataList(const std::list<MetaData>& list, int& size, int& fillRc,
                                                       int& writeStatus);
    // The stream's Salesforce relationship entries, once, over an indexing
    // connection of their own. 0 sent, 2 failed (the list stays for a retry).
    RUXEN_HIDDEN int SendSalesforceRelations();
    // The snapshot-mount metadata of a mount point in a catalog stream. 0 or 2.
    RUXEN_HIDDEN int SendSnapMountMetaData(FILE* failures, IndexingConnection& connection);
    // A failure of the metadata: error text, reason (code -1), the lists.
    RUXEN_HIDDEN void ReportMetaDataFailure(FILE* failures, int errnum, const char* text);
    // After the item is opened: sets the reader's file-set mark when the
    // local path is a loaded file-set path, clears it otherwise.
    RUXEN_HIDDEN void MarkFileSetItem();
    // Sends `size` bytes of holes as hole records. 0 or 2.
    RUXEN_HIDDEN int SendHoleRecords(uint64_t size);
    // Reads [pos, end) of the item through the reader, which stands at pos,
    // into data records. 0, -1 (the item failed: it is shorter than declared
    // or could not be read) or 2.
    RUXEN_HIDDEN int SendDataRange(uint64_t pos, uint64_t end, FILE* failures);
    // Reads a stub's own bytes to their end into data records. 0, -1 or 2.
    RUXEN_HIDDEN int SendStubData(FILE* failures);
    // Between two data records: whether a stop was asked for; the item is
    // then reported failed.
    RUXEN_HIDDEN bool Interrupted(FILE* failures);
    // Ends the item in the reader (closes it; time preservers run).
    RUXEN_HIDDEN void CloseItem();
    // Makes the reader context and the reader when there are none yet.
    RUXEN_HIDDEN void EnsureReader();
    // lstat of the item beneath its directory (the reader's walk, which
    // takes paths too long for the system when the job backs them up). 0, or
    // -1 with errno.
    RUXEN_HIDDEN int StatItem(const char* path, struct stat* st);
    // The reason to list for an item whose lookup failed with `e`: the link
    // the walk refused to follow, or the system's text.
    RUXEN_HIDDEN std::string LookupFailureReason(int e) const;
    // The content mapper by the job's kind (snapshot job, application type,
    // registry); none is only logged.
    RUXEN_HIDDEN void SelectContentMapper(bool snapshotJob, unsigned long appId);
    // While the proxy-host or replication-host flag is on, the current
    // item's local path (its mapped name and actual path, which hold the
    // recorded path) through the content mapper; otherwise through the name
    // mapper (MapItemName). False after reporting the item failed.
    RUXEN_HIDDEN bool MapItemToLocalPath(FILE* failures);
    // A snapshot-to-tape job's item: its collect path through the
    // hardware-snapshot path table, which must lead into a snapshot of the
    // job (else the collect path is taken as a source path). False after
    // reporting the item failed.
    RUXEN_HIDDEN bool MapCollectPathToSnapshot(FILE* failures);
    // Gives the reader the local prefixes of the mapper in force (the
    // content mapper's, else the name mapper's targets), resolved once as
    // configuration: links among their own components are followed as set
    // up, and below them items are looked up by the walk's rule
    // (platform/os/DirWalk.h). None when no mapping is in force.
    RUXEN_HIDDEN void TrustMappedPrefixes();
    // The current item's local path through the name mapper, when one is
    // set and a prefix matches: the item is then shown as
    // "recorded -> mapped".
    RUXEN_HIDDEN void MapItemName();
    // The one check of a recorded path's "." and ".." components, made once
    // per collect line in every job, mapped or not: true after reporting
    // the item failed (EINVAL).
    RUXEN_HIDDEN bool RefuseDotComponents(FILE* failures);
    // The item's file-system type (from the mount that holds its local path,
    // looked up once per device) and, for a directory that is a mount of the
    // job's mount list, that mount's number unless its collect line gave one.
    RUXEN_HIDDEN void FillItemMountInfo();
    // Begins an item: the one place where item state is cleared (everything
    // of the previous item goes, RuxenItemState::Clear), with the item's
    // collect offset in the cleared header.
    RUXEN_HIDDEN void ResetItemState(uint64_t collectOffset);
    // Header filling, one step group each (PopulateHeaderEx calls them in
    // order); each answers 0 to go on, -1 (skip the item) or 2.
    struct HeaderFill;
    RUXEN_HIDDEN int FillRecordFields(HeaderFill& c);
    RUXEN_HIDDEN int FillRecordedName(HeaderFill& c);
    RUXEN_HIDDEN int FillMappedName(HeaderFill& c);
    RUXEN_HIDDEN int FillLongPathName(HeaderFill& c);
    RUXEN_HIDDEN void FillObjectGUIDs(HeaderFill& c);
    RUXEN_HIDDEN void FillStatFields(HeaderFill& c);
    RUXEN_HIDDEN int FillHardLinks(HeaderFill& c);
    RUXEN_HIDDEN void FillApplicationNames(HeaderFill& c);
    RUXEN_HIDDEN int SetHeaderName(HeaderFill& c);
    RUXEN_HIDDEN int FillSize(HeaderFill& c);
    RUXEN_HIDDEN void FillDirectorySize(HeaderFill& c);
    RUXEN_HIDDEN void FillReaderFlags(HeaderFill& c);
    RUXEN_HIDDEN int FillApplicationFlags(HeaderFill& c);
    // Records a failure of header filling (not again in failed-record mode)
    // and answers -1.
    RUXEN_HIDDEN int FailHeader(HeaderFill& c, int errnum, const std::string& detail);
    // Takes over a collect file's directives.
    RUXEN_HIDDEN void ApplyDirectives(const CollectDirectives& directives);
    // Copies what the item's collect line carries into the per-item flags.
    RUXEN_HIDDEN void ApplyCollectLine(const CollectLine& line);
    // A file of several links that the job backs up as a hard link.
    RUXEN_HIDDEN bool HardLinkCandidate() const;
    // A line of a hard-link collect file whose item is its group's data,
    // sent under the group's phony name.
    RUXEN_HIDDEN bool HardLinkGroupData() const;
    // A line whose item names its hard-link group's data instead of carrying
    // it: a line of a regular collect file, or (outside index version 2) a
    // line of a hard-link collect file after the one that carried its
    // group's data and the names of every member.
    RUXEN_HIDDEN bool NamesGroupData() const;
    // `member`, a path the hard-links table names for the item's group, is
    // still a link of the item: looked up beneath its directory as items
    // are (platform/os/ParentDirCache.h).
    RUXEN_HIDDEN bool IsLinkOfItem(const std::string& member);
    // The job's hard-links table, opened for reading when needed; empty
    // when it cannot be opened.
    RUXEN_HIDDEN HardLinksTablePtr HardLinkTable();
    // OpenFilesForBackup's reading of the next collect line and opening of
    // its item.
    RUXEN_HIDDEN int OpenNextCollectItem(CollectLineSource& source, FILE* failures);
    // Counts and lists a failed item named `m_listing` in the lists; `path`
    // (null for a bad collect line) is tested against the agent's own files.
    RUXEN_HIDDEN void RecordItemFailure(FILE* failures, const char* path, int errnum, const char* detail);
    // A line of the failures or results file was lost (errno `err`).
    RUXEN_HIDDEN void ListLineLost(ListKind list, int err);

    // ---- its state, by lifetime
    RuxenJobSettings m_settings;  // set before the pass, read during it
    RuxenStreamState m_stream;    // carried from item to item
    RuxenItemState m_item;        // the current item, cleared as each begins
    // The host's name for the item about to be opened or open: set before
    // the item begins, so not part of its state (SetOverridePath).
    std::string m_overridePath;
    RuxenCounters m_counters;     // grows over the pass
    bool m_resultsOn = true;      // off while a failed-item record fills the header again

    // ---- buffers, reused item after item
    std::vector<char> m_scratch;  // do-not-send mode: grows to the largest request
    char* m_lastBuffer = nullptr;
    char* m_optHeader = nullptr;  // payload of the optional header being filled (host-order prefix before it)
    unsigned m_optHeaderCapacity = 0;
    ZXFileHeader m_netHeader;  // network-order copy of a header, just before sending
    CollectLine m_collectLine;
    std::string m_nameBuf;  // a browse item's recorded name
    std::string m_escapeBuf;
    std::string m_listing;  // the failed item as the lists name it
    std::string m_failureLine;

    // ---- what it works with (not owned, unless said)
    KXArchive* m_archive = nullptr;
    CPipelayer* m_pipelayer = nullptr;
    FILE* fResults = nullptr;
    FILE* m_stubCandidateList = nullptr;
    std::string m_stubCandidateListName;
    FILE* m_archiveDeleteList = nullptr;  // archive and delete: the list of backed-up items
    TAVNameMapper* m_fNameMapper = nullptr;
    KXJobCtrlClient* m_jobCtrl = nullptr;
    HardLinkLedger* m_hlLedger = nullptr;
    ContentMapper* m_contentMapper = nullptr;    // a process-wide instance, or m_flrMapper
    std::unique_ptr<ContentMapper> m_flrMapper;  // owned: made by InitFLRHost
    HardLinksTablePtr m_hlTable;
    std::unique_ptr<RuxenFilePrivate> m_private;  // owned
    std::shared_ptr<CFileReaderContext> m_readerContext;
    std::shared_ptr<CFileReader> m_reader;
    PerfCounter m_perf;
};
