// The index metadata messages: named accessors over IdxMessage (the binary
// form is documented there). A get<Part>() creates the part on first use.
//
//   class (group, type)                 fields
//   IdxMetadata::IdxMetaData (101, 93)  1 error  2 indexing  3 stub data
//                                       4 snapshot mount  5 resource report
//                                       6 Salesforce relationship  7 file set
//   IdxErrorInfo (101, 95)              1 code (int)  2 reason
//   IdxIndexingData (101, 96)           1 database info (part)
//                                       13 object GUID  14 parent object GUID
//   IdxDbInfo (101, 94)                 3 component GUID  4 view name
//   DmStubData (101, 97)                1 GUID
//   FsSnapMountData (101, 98)           1 archive id (int)  2 collect-file
//                                       numbers (list)  3 total backup size
//                                       (int)  4 host path
//   SrmData (101, 99)                   1 file-system part
//   FsData (101, 100)                   1 flags  2 owner  3 group
//                                       4 extension  5 atime  6 ctime  7 uid
//                                       8 gid  9 mode  10 size (ints but 2-4)
//                                       12 mount directory
//   SfRelationship (101, 102)           1 GUID  2 metadata text
//   FileSetData (101, 103)              1 file-set name
//   Indexing::IdxCommand (102, 1)       1 command (int)  2 metadata (part)
#pragma once

#include <cstdint>
#include <string>

#include "platform/index/IdxMessage.h"

namespace IdxMetadata {

// The HBase item type, sent as the value of INDEXINGDATA_HBASE_FILE_TYPE.
enum HBaseFileType : int {
    HBASE_UNSET = 0,
    HBASE_NAMESPACE = 6,
    HBASE_TABLE = 7,
    HBASE_FILE = 8,
    HBASE_DIRECTORY = 9,
};

constexpr uint32_t kGroup = 101;

class IdxErrorInfo : public IdxMessageOf<IdxErrorInfo, kGroup, 95> {
public:
    void setCode(int64_t v) { SetInt(1, v); }
    int64_t code() const { return Int(1); }
    void setReason(std::string v) { SetString(2, std::move(v)); }
    const std::string& reason() const { return String(2); }
};

class IdxDbInfo : public IdxMessageOf<IdxDbInfo, kGroup, 94> {
public:
    void setComponentGuid(std::string v) { SetString(3, std::move(v)); }
    const std::string& componentGuid() const { return String(3); }
    void setViewName(std::string v) { SetString(4, std::move(v)); }
    const std::string& viewName() const { return String(4); }
};

class IdxIndexingData : public IdxMessageOf<IdxIndexingData, kGroup, 96> {
public:
    IdxDbInfo* getDbInfo() { return PartAs<IdxDbInfo>(1); }
    void setObjectGuid(std::string v) { SetString(13, std::move(v)); }
    const std::string& objectGuid() const { return String(13); }
    void setParentObjectGuid(std::string v) { SetString(14, std::move(v)); }
    const std::string& parentObjectGuid() const { return String(14); }
};

class DmStubData : public IdxMessageOf<DmStubData, kGroup, 97> {
public:
    void setGuid(std::string v) { SetString(1, std::move(v)); }
    const std::string& guid() const { return String(1); }
};

class FsSnapMountData : public IdxMessageOf<FsSnapMountData, kGroup, 98> {
public:
    void setArchiveId(int64_t v) { SetInt(1, v); }
    int64_t archiveId() const { return Int(1); }
    void addCollectFile(std::string v) { AddString(2, std::move(v)); }
    const std::vector<std::string>& collectFiles() const { return Strings(2); }
    void setTotalBackupSize(int64_t v) { SetInt(3, v); }
    int64_t totalBackupSize() const { return Int(3); }
    void setHostPath(std::string v) { SetString(4, std::move(v)); }
    const std::string& hostPath() const { return String(4); }
};

class FsData : public IdxMessageOf<FsData, kGroup, 100> {
public:
    enum Field : uint32_t {
        kFlags = 1,
        kOwnerName = 2,
        kGroupName = 3,
        kExtension = 4,
        kAccessTime = 5,
        kChangeTime = 6,
        kOwnerId = 7,
        kGroupId = 8,
        kMode = 9,
        kSize = 10,
        kMountDir = 12,
    };
    // Bits of kFlags.
    static constexpr int64_t kFlagSparse = 1;
    static constexpr int64_t kFlagStub = 2;
    void set(Field f, int64_t v) { SetInt(f, v); }
    void set(Field f, std::string v) { SetString(f, std::move(v)); }
};

class SrmData : public IdxMessageOf<SrmData, kGroup, 99> {
public:
    FsData* getFsData() { return PartAs<FsData>(1); }
};

class SfRelationship : public IdxMessageOf<SfRelationship, kGroup, 102> {
public:
    void setGuid(std::string v) { SetString(1, std::move(v)); }
    void setMetadata(std::string v) { SetString(2, std::move(v)); }
};

class FileSetData : public IdxMessageOf<FileSetData, kGroup, 103> {
public:
    void setName(std::string v) { SetString(1, std::move(v)); }
    const std::string& name() const { return String(1); }
};

class IdxMetaData : public IdxMessageOf<IdxMetaData, kGroup, 93> {
public:
    IdxErrorInfo* getError() { return PartAs<IdxErrorInfo>(1); }
    IdxIndexingData* getIndexing() { return PartAs<IdxIndexingData>(2); }
    DmStubData* getDmStubData() { return PartAs<DmStubData>(3); }
    FsSnapMountData* getFsSnapMountData() { return PartAs<FsSnapMountData>(4); }
    SrmData* getSrmData() { return PartAs<SrmData>(5); }
    SfRelationship* getSfRelationship() { return PartAs<SfRelationship>(6); }
    FileSetData* getFileSet() { return PartAs<FileSetData>(7); }
};

}  // namespace IdxMetadata

namespace Indexing {

class IdxCommand : public IdxMessageOf<IdxCommand, 102, 1> {
public:
    void setCommand(int64_t v) { SetInt(1, v); }
    int64_t command() const { return Int(1); }
    IdxMetadata::IdxMetaData* getMetadata() { return PartAs<IdxMetadata::IdxMetaData>(2); }
};

}  // namespace Indexing
