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
// Results (RuxenFile::ItemResult): 0 go on; -1 skip the item (no header was
// sent); 1 end of the collect file (OpenFilesForBackup) or no buffer for the
// record (SendEndOfFileMessage); 2 the stream must fail.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/Export.h"
#include "platform/hardlinks/HardLinksTable.h"
#include "platform/index/IdxMetadata.h"
#include "platform/agent/PerfCounter.h"
#include "ruxen/CollectFileReader.h"
#include "ruxen/MetadataRecord.h"
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

struct RuxenJobInfo {
    unsigned zonarkId = 0;
    unsigned clientId = 0;
    int backupLevel = 0;
    long long jobId = 0;
    std::string jobToken;
    std::string path;  // the job's path text, handed to the indexing service
};

// A mount of the job's mount-point list.
struct MountEntry {
    std::string path;
    std::string fsType;
    unsigned long long size = 0;
};

// What GetMountDetailsFS puts into a mount entry besides its path and type.
constexpr int kMountSizes = 1;          // the file system's size (statfs)
constexpr int kMountNetworkSizes = 2;   // sizes of network file systems too (statfs may wait on a server)
constexpr int kMountNoPseudo = 4;       // leave out file systems without storage (proc, sysfs, ...)

// Fills `mounts` (replaced) from the mount table: every mount numbered from
// 1 in table order, the numbers the collect files' MNT=n markers name; a
// mount left out by the flags leaves its number unused. The number of
// entries, or -1 with the reason in `errorText` (1024 bytes).
int GetMountDetailsFS(std::map<int, MountEntry>& mounts, char* errorText, int flags);

class RUXEN_EXPORT RuxenFile {
public:
    // Results of the per-item operations (which return int).
    enum ItemResult : int {
        kItemGoOn = 0,
        kItemSkipped = -1,
        kEndOfCollect = 1,  // OpenFilesForBackup
        kNoBuffer = 1,      // SendEndOfFileMessage
        kNothingSent = 1,   // SendDeletedItemHeader
        kFailStream = 2,
    };

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
    bool IsSendOn() const { return m_sendOn; }

    // ---- failures
    // Formats the item's failure reason (at most 2046 characters) and code.
    void setFailureReason(int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    int GetFailureCode() const { return m_failureCode; }
    const std::string& GetFailureReason() const { return m_failureReason; }
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
    bool HasWrittenFailures() const { return m_failuresWritten; }
    // With errors not tolerated, a failed item the error-report filter
    // counted fails the stream: false once one was counted (logged, and the
    // pending cause raised with the job manager).
    bool ItemFailuresTolerated();
    // A line of the failures or results file could not be written: the
    // lists are incomplete, and the stream must not end as a success.
    bool FailureListWriteFailed() const { return m_failureListWriteFailed; }

    // ---- helpers
    bool IsLongPath() const;
    // The item as log lines name it: its recorded path, or "recorded ->
    // mapped" when the name mapper moved it.
    const char* printName() const;
    const char* GetActualPath() const { return m_actualPath.c_str(); }
    const char* GetMappedName() const { return _mapped_name.c_str(); }
    // The path with CR, LF and "%" escaped, in a buffer reused per call.
    const char* escapeFileName(const char* path);
    bool iswendaxFile(const char* path) const;
    bool IsNtfsAclSupported(const char* path) const;
    virtual void SetAppDefVersionGUIDSeedSuffix();
    void ResetAppDefVersionGUIDSeedSuffix();
    const char* getSymLinkContent() const { return m_symlinkTarget.c_str(); }

    // ---- path mapping (RuxenFileMapping.cpp)
    // A proxy path is the path as recorded (collect files, the index), a
    // host path the local path the item is read from. initialize chooses the
    // job's content mapper; the stream sets it up once before the first item.
    ContentMapper* GetContentMapper() const { return m_contentMapper; }
    // Sets the mapper up for a proxy job (plain path: the mapper's own
    // initialize) or a snapshot job; the result is also the proxy-host flag,
    // under which every item's recorded path is mapped before it is opened.
    bool setupProxyHost(char* idString, int engineType, bool mount, const char* hostName,
                        const unsigned long& zonarkId, const unsigned long& appId);
    // The job's mount points (mount number -> entry): 1 when already known,
    // else GetMountDetailsFS's result.
    int PopulateMountDetails();
    const std::map<int, MountEntry>& GetMountPoints() const { return mDirDataMap; }
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
    int loadNativeSnapProxyMappingFromFile(const std::string&) { return 0; }
    // A collect path through the hardware-snapshot path table (longest
    // matching prefix); unchanged when none matches.
    virtual std::string convertCollectPathToLocalPath(const char* collectPath);
    // With the native snapshot, a local path back to its recorded path
    // (changed only on a successful, non-empty mapping).
    void ConvertToHosPath(std::string& path);
    bool isSnapRetoreJob() const { return m_pipelayer != nullptr; }
    int generateProxyPathList(unsigned long, int) { return 0; }
    bool IsProxyHost() const { return m_proxyHost; }
    bool IsReplicationHost() const { return m_replicationHost; }

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
    // The local path the real-path metadata of long paths names, when the
    // job reads through an alternate local path (RuxenFilePrivate's
    // alternateLocalPath).
    void SetAlternateLocalPath(const std::string& path) { m_alternateLocalPath = path; }
    void SetjobID(long long id) { m_job.jobId = id; }
    void SetJobInfo(const RuxenJobInfo& info) { m_job = info; }
    const RuxenJobInfo& GetJobInfo() const { return m_job; }
    void SetCurrentAFileNumber(unsigned n) { m_currentAFileNumber = n; }
    void SetTurboMode(bool on) { m_turboMode = on; }
    void SetEarlyStubBackup(bool on) { m_earlyStubBackup = on; }
    void SetDoNotCreateStub(bool on) { m_doNotCreateStub = on; }
    void SetBackupSCFilesFlag(bool on) { m_backupSCFiles = on; }
    void SetSILOJobFlag(bool on) { m_siloJob = on; }
    void SetIndexV2Enabled(bool on);
    void SetCacheDBBackup(bool on);
    void SetHBaseBackup(bool on);
    void setBlockLevel(bool on) { m_blockLevel = on; }
    void SetDocumentumSAName(const std::string& name) { m_documentumSAName = name; }
    void SetAppTypeID(unsigned long long type) { m_appType = type; }
    void SetAppTypeGUID(const std::string& guid) { m_appTypeGuid = guid; }
    void setCatalogBackup(bool on) { m_catalogBackup = on; }
    void setCollectFileMap(const std::map<int, std::string>& m) { m_collectFileMap = m; }
    void setTotalBackupSize(unsigned long long size) { m_totalBackupSize = size; }
    void EnableHardLinkHandling() { m_hardLinkJob = true; }
    void DisableHardLinkHandling() { m_hardLinkJob = false; }
    // Told of each hard-link group's data and member that goes out (not
    // owned; null: none).
    void SetHardLinkLedger(HardLinkLedger* ledger) { m_hlLedger = ledger; }
    void setErrorsTolerated(bool on) { m_errorsTolerated = on; }
    void setUseNativeSnap(bool on) { m_useNativeSnap = on; }
    bool getUseNativeSnap() const { return m_useNativeSnap; }
    void SetClientOS(uint32_t code) { m_clientOS = code; }
    void SetLongPathSupport(bool on) { m_longPathSupport = on; }
    void SetResultsFile(FILE* results) { fResults = results; }
    // The stream's name mapper (not owned; null: none).
    void setFNameMapper(TAVNameMapper* mapper) { m_fNameMapper = mapper; }
    TAVNameMapper* getFNameMapper() const { return m_fNameMapper; }
    // The job manager's job-control client, which takes pending causes (not
    // owned; null: none).
    void setJobCtrlClient(KXJobCtrlClient* client) { m_jobCtrl = client; }
    // The job's mount points, by mount-point index.
    void setMountPoints(const std::map<int, MountEntry>& mounts) { mDirDataMap = mounts; }
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
    void SetPreserveAccessTimes(bool on) { m_preserveTimes = on; }
    // Back up the Mac properties (resource fork, Finder information) that
    // AppleDouble companion files ("._name") hold, after each file's data.
    void SetBackupMacProperties(bool on) { m_backupMacProperties = on; }
    void SetJobResultsFolder(const std::string& dir) { m_jobResultsFolder = dir; }
    // Directories whose files are the agent's own; failures there are not reported.
    void SetOwnDirectories(const std::vector<std::string>& dirs) { m_ownDirectories = dirs; }
    // Files the job writes (archive, failures and results files), by device
    // and inode: an item that is one of them is passed over, never backed
    // up half-written.
    void AddJobOutput(dev_t dev, ino_t ino) { m_jobOutputs.push_back({dev, ino}); }
    bool IsJobOutput(const struct stat& st) const;

    // ---- inputs of header filling
    // Content (proxy or snapshot) mapping and consistency-point mapping: the
    // mapper translates the local path back to the recorded name.
    void SetContentMapping(ContentMapper* mapper, bool proxyHost, bool replicationHost) {
        m_contentMapper = mapper;
        m_proxyHost = proxyHost;
        m_replicationHost = replicationHost;
    }
    // A failed consistency-point translation does not fail the item.
    void SetFLRNoFail(bool on) { m_flrNoFail = on; }
    void SetIndexCacheBackup(bool checkPoint, bool logBackup) {
        m_indexCheckPoint = checkPoint;
        m_indexLogBackup = logBackup;
    }
    void SetFBR(bool on) { m_fbr = on; }
    void SetTallixSync(bool on) { m_tallixSync = on; }
    void SetDBArchive(bool on) { m_dbArchive = on; }
    void SetSILOParentPath(const std::string& path) { m_siloParentPath = path; }
    void SetOverridePath(const std::string& path) { m_overridePath = path; }
    void SetMountPoints(const std::map<int, MountEntry>& mounts) { mDirDataMap = mounts; }
    // ---- HBase items (the job's HBase state is held by the private part)
    void SetHBaseBkpRoot(const std::string& root);
    void GetHBaseItemAttrs(const std::string& item);
    void GetHBaseItemType(const std::string& item, IdxMetadata::HBaseFileType& type, bool& hidden);
    std::string PrepareHBaseItemPath(const std::string& item);

    bool IsFBR() const { return m_fbr; }
    bool IsTallixSync() const { return m_tallixSync; }
    bool isIndexCheckPoint() const { return m_indexCheckPoint; }
    bool isIndexLogBackup() const { return m_indexLogBackup; }
    bool GetDBArchiveFlag() const { return m_dbArchive; }
    bool errorsTolerated() const { return m_errorsTolerated; }
    bool getBlockLevel() const { return m_blockLevel; }

    // ---- counters
    unsigned long long GetFailedItems() const { return m_failedItems; }
    unsigned long long GetChangedItems() const { return m_changedItems; }
    // The stream's number in a job of several streams (0: the job's only
    // stream), named in its lines about changed items.
    void SetStreamNumber(int n) { m_streamNumber = n; }
    unsigned long long GetCountableItems() const { return m_countableItems; }
    unsigned long long GetTotalBytes() const { return m_totalBytes; }
    unsigned long long GetItemsSent() const { return m_itemsSent; }
    unsigned long long GetDataBytesSent() const { return m_dataBytesSent; }
    void AddFailedItem() { ++m_failedItems; }

    // ---- the current item, for the stream pass and tests
    const ZXFileHeader& GetHeader() const { return m_header; }
    ZXFileHeader& GetHeaderForUpdate() { return m_header; }
    const struct stat& GetStat() const { return m_stat; }
    bool IsHeaderSent() const { return m_headerSent; }
    const std::string& GetRecordedPath() const { return m_recordedPath; }

    RuxenFilePrivate& Private() { return *m_private; }
    CFileReader& GetReader();
    CFileReaderContext& GetReaderContext();
    PerfCounter& GetPerfCounter() { return m_perf; }

protected:
    // Item type from a mode.
    enum ItemType { fTypeOther, fTypeDirectory, fTypeRegular, fTypeSymlink, fTypeBlock, fTypeChar, fTypeFifo, fTypeSocket };
    static ItemType TypeOfMode(mode_t mode);

    // A record buffer of at least `size` bytes, or null after logging.
    char* AllocateRecord(unsigned size);
    // Writes the last allocated buffer as a record. On failure logs it,
    // records the failure reason (code -1) and frees the buffer. 0 or the
    // status of the write.
    int SendRecord(unsigned type, unsigned length);
    struct RecordBuffers;
    // The metadata sender for one message, or, when `message` is null, one
    // (kind, text) pair (see SendIndexMetadata).
    int SendMetadataRecord(const IdxMessage* message, uint32_t kind, const char* text);
    // The steps of SendHeader (RuxenFileHeaderSend.cpp, RuxenFileOptHeader.cpp).
    int SendDeduplicationCommand();
    void SetItemLevelSignature();
    int SendHardLinkMemberNames(FILE* failures);
    int SendMemberName(const std::string& name);
    int SendAclOptionalHeader(FILE* failures);
    // Counts and lists a failure of the item that does not stop it (its
    // optional header or metadata), with `code` as the recorded code.
    void ReportPartialFailure(FILE* failures, int errnum, int code, const char* reason);
    // The header filled again for a failed-item record, counting nothing.
    int RefillHeaderForFailedRecord(bool endOfItem);

    // The list as one record 159 through the one sender: `size` gets its
    // encoded length, `fillRc` the encoder's answer, `writeStatus` the status
    // of a failed write.
    MetadataRecordResult SendMetaDataList(const std::list<MetaData>& list, int& size, int& fillRc, int& writeStatus);
    // The stream's Salesforce relationship entries, once, over an indexing
    // connection of their own. 0 sent, 2 failed (the list stays for a retry).
    int SendSalesforceRelations();
    // The snapshot-mount metadata of a mount point in a catalog stream. 0 or 2.
    int SendSnapMountMetaData(FILE* failures, IndexingConnection& connection);
    // A failure of the metadata: error text, reason (code -1), the lists.
    void ReportMetaDataFailure(FILE* failures, int errnum, const char* text);
    // The header `host` (host order) as record 128 in network order, the
    // allocation timed as stage 0 and the write as stages 3 and 5. 0; 1 no
    // buffer; 2 the write failed (the reason is recorded).
    int SendHeaderRecord(const ZXFileHeader& host);

    // After the item is opened: sets the reader's file-set mark when the
    // local path is a loaded file-set path, clears it otherwise.
    void MarkFileSetItem();
    // Sends `size` bytes of holes as hole records. 0 or 2.
    int SendHoleRecords(uint64_t size);
    // Reads [pos, end) of the item through the reader, which stands at pos,
    // into data records. 0, -1 (the item failed: it is shorter than declared
    // or could not be read) or 2.
    int SendDataRange(uint64_t pos, uint64_t end);
    // Reads a stub's own bytes to their end into data records. 0, -1 or 2.
    int SendStubData();
    // Between two data records: whether a stop was asked for; the item is
    // then reported failed.
    bool Interrupted();
    // Ends the item in the reader (closes it; time preservers run).
    void CloseItem();
    // Makes the reader context and the reader when there are none yet.
    void EnsureReader();
    // lstat of the item beneath its directory (the reader's walk, which
    // takes paths too long for the system when the job backs them up). 0, or
    // -1 with errno.
    int StatItem(const char* path, struct stat* st);
    // The reason to list for an item whose lookup failed with `e`: the link
    // the walk refused to follow, or the system's text.
    std::string LookupFailureReason(int e) const;
    // The content mapper by the job's kind (snapshot job, application type,
    // registry); none is only logged.
    void SelectContentMapper(bool snapshotJob, unsigned long appId);
    // While the proxy-host or replication-host flag is on, the current
    // item's local path (_mapped_name, m_actualPath, which hold the recorded
    // path) through the content mapper; otherwise through the name mapper
    // (MapItemName). False after reporting the item failed.
    bool MapItemToLocalPath(FILE* failures);
    // Gives the reader the local prefixes of the mapper in force, resolved
    // once as configuration: links among their own components are followed
    // as set up, and below them items are looked up by the walk's rule
    // (platform/os/DirWalk.h). None when no mapping is in force.
    void TrustMappedPrefixes();
    // The current item's local path through the name mapper, when one is
    // set and a prefix matches: the item is then shown as
    // "recorded -> mapped".
    // False after reporting the item failed.
    bool MapItemName(FILE* failures);
    bool RefuseDotComponents(FILE* failures);
    // The item's file-system type (from the mount that holds its local path,
    // looked up once per device) and, for a directory that is a mount of the
    // job's mount list, that mount's number unless its collect line gave one.
    void FillItemMountInfo();
    // Forgets everything that belongs to the previous item: a failure left
    // over would make later steps treat the next item as failed, and a stale
    // header-sent flag would skip its header.
    void ResetItemState(uint64_t collectOffset);
    // Header filling, one step group each (PopulateHeaderEx calls them in
    // order); each answers 0 to go on, -1 (skip the item) or 2.
    struct HeaderFill;
    int FillRecordFields(HeaderFill& c);
    int FillRecordedName(HeaderFill& c);
    int FillMappedName(HeaderFill& c);
    int FillLongPathName(HeaderFill& c);
    void FillObjectGUIDs(HeaderFill& c);
    void FillStatFields(HeaderFill& c);
    int FillHardLinks(HeaderFill& c);
    void FillApplicationNames(HeaderFill& c);
    int SetHeaderName(HeaderFill& c);
    int FillSize(HeaderFill& c);
    void FillDirectorySize(HeaderFill& c);
    void FillReaderFlags(HeaderFill& c);
    int FillApplicationFlags(HeaderFill& c);
    // Records a failure of header filling (not again in failed-record mode)
    // and answers -1.
    int FailHeader(HeaderFill& c, int errnum, const std::string& detail);
    // Takes over a collect file's directives.
    void ApplyDirectives(const CollectDirectives& directives);
    // Copies what the item's collect line carries into the per-item flags.
    void ApplyCollectLine(const CollectLine& line);
    // A file of several links that the job backs up as a hard link.
    bool HardLinkCandidate() const;
    // A line of a hard-link collect file whose item is its group's data,
    // sent under the group's phony name.
    bool HardLinkGroupData() const;
    // A line whose item names its hard-link group's data instead of carrying
    // it: a line of a regular collect file, or (outside index version 2) a
    // line of a hard-link collect file after the one that carried its
    // group's data and the names of every member.
    bool NamesGroupData() const;
    // `member`, a path the hard-links table names for the item's group, is
    // still a link of the item: looked up beneath its directory as items
    // are (platform/os/ParentDirCache.h).
    bool IsLinkOfItem(const std::string& member);
    // The job's hard-links table, opened for reading when needed; empty
    // when it cannot be opened.
    HardLinksTablePtr HardLinkTable();
    // Counts and lists a failed item named `m_listing` in the lists; `path`
    // (null for a bad collect line) is tested against the agent's own files.
    void RecordItemFailure(FILE* failures, const char* path, int errnum, const char* detail);

    // ---- state of the current item
    ZXFileHeader m_header;     // working record, host order
    ZXFileHeader m_netHeader;  // network-order copy, just before sending
    struct stat m_stat {};
    std::string m_actualPath;    // the path the item is opened by
    std::string m_recordedPath;  // the path as recorded in the collect file
    std::string _mapped_name;    // the local path the item is read from
    bool m_nameMapped = false;   // _mapped_name came from the name mapper
    std::string m_shownName;     // "recorded -> mapped" when name-mapped, else empty
    std::string m_symlinkTarget;
    std::string m_overridePath;
    std::string m_alternateLocalPath;
    ItemType m_itemType = fTypeOther;
    bool m_itemOpen = false;  // the reader holds the current item
    int m_failureCode = 0;
    std::string m_failureReason;
    std::string m_errorText;
    bool m_headerSent = false;
    bool m_failureReported = false;  // the item's failure passed the error filter and was counted
    char* m_optHeader = nullptr;     // payload of the optional header being filled (host-order prefix before it)
    unsigned m_optHeaderCapacity = 0;
    // A failed-item record closed the item with its own end-of-item record
    // (m_closedByFailedRecord); the result of that close.
    bool m_closedByFailedRecord = false;
    int m_failedRecordCloseResult = 0;

    // Per-item flags set by the collect reader.
    bool m_pseudoItem = false;
    bool m_mountPointAsMountPath = false;
    bool m_appleDouble = false;
    bool m_adHocItem = false;
    bool m_hlCollectEntry = false;
    bool m_hlHandlingForItem = true;
    bool m_phonyNamePath = false;
    bool m_phonyNameFlag = false;
    std::string phonyHLName;
    int m_salesforceKind = 0;
    int m_mountPointIndex = 0;
    bool m_subItemMarker = false;
    bool m_rawDeviceMarker = false;
    bool m_dashLine = false;

    // ---- job state
    RuxenJobInfo m_job;
    unsigned long long m_appType = 0;
    std::string m_appTypeGuid;
    uint32_t m_clientOS = 0;
    KXArchive* m_archive = nullptr;
    CPipelayer* m_pipelayer = nullptr;
    bool m_fileSigning = false;
    unsigned m_currentAFileNumber = 0;
    std::string m_jobResultsFolder;
    std::map<int, MountEntry> mDirDataMap;
    std::vector<std::string> m_ownDirectories;
    struct FileId {
        dev_t dev;
        ino_t ino;
    };
    std::vector<FileId> m_jobOutputs;
    FILE* fResults = nullptr;
    TAVNameMapper* m_fNameMapper = nullptr;
    bool m_resultsOn = true;
    KXJobCtrlClient* m_jobCtrl = nullptr;
    FILE* m_stubCandidateList = nullptr;
    std::string m_stubCandidateListName;

    bool m_sendOn = true;
    std::vector<char> m_scratch;  // do-not-send mode: grows to the largest request
    char* m_lastBuffer = nullptr;

    bool m_turboMode = false;
    bool m_earlyStubBackup = false;
    bool m_doNotCreateStub = false;
    bool m_backupSCFiles = false;
    bool m_siloJob = false;
    bool m_blockLevel = false;
    bool m_catalogBackup = false;
    bool m_hardLinkJob = false;
    bool m_errorsTolerated = true;
    bool m_useNativeSnap = false;
    bool m_snapshotJob = false;  // the reader context's snapshot mode, set before each pass
    bool m_longPathSupport = false;
    bool m_fbr = false;
    bool m_tallixSync = false;
    bool m_indexCheckPoint = false;
    bool m_indexLogBackup = false;
    bool m_dbArchive = false;
    bool m_proxyHost = false;
    bool m_replicationHost = false;
    bool m_flrNoFail = false;
    ContentMapper* m_contentMapper = nullptr;      // a process-wide instance, or m_flrMapper
    std::unique_ptr<ContentMapper> m_flrMapper;    // made by InitFLRHost
    std::map<std::string, std::string> m_hwSnapPathTable;  // recorded prefix -> local prefix
    std::string m_siloParentPath;
    std::string m_ownName;    // the item's name before a phony name replaced it
    std::string m_guidPath;   // the path its object GUIDs are made from
    std::string m_documentumSAName;
    std::string m_appIdText;  // "zonark id:application id"
    std::map<int, std::string> m_collectFileMap;
    unsigned long long m_totalBackupSize = 0;

    // ---- counters
    unsigned long long m_failedItems = 0;
    unsigned long long m_changedItems = 0;
    int m_streamNumber = 0;
    unsigned long long m_countableItems = 0;
    unsigned long long m_totalBytes = 0;
    unsigned long long m_itemsSent = 0;
    unsigned long long m_dataBytesSent = 0;
    bool m_failuresWritten = false;
    bool m_failureListWriteFailed = false;
    FILE* m_failuresFile = nullptr;  // while data is being sent

    std::string m_nameBuf;  // a deleted item's mapped name, reused item after item
    std::string m_escapeBuf;
    std::string m_listing;  // the failed item as the lists name it
    std::string m_failureLine;
    CollectLine m_collectLine;  // reused for every line: no allocation per item
    uint64_t m_directiveGeneration = 0;
    HardLinksTablePtr m_hlTable;
    HardLinkLedger* m_hlLedger = nullptr;
    std::unique_ptr<RuxenFilePrivate> m_private;
    std::shared_ptr<CFileReaderContext> m_readerContext;
    std::shared_ptr<CFileReader> m_reader;
    bool m_preserveTimes = false;
    bool m_backupMacProperties = false;
    PerfCounter m_perf;
};
