// The metadata kinds that travel as (kind, value) pairs in metadata records
// (type 159) and over the indexing connection, with the form of their value.
// Numeric values become text through IndexMetaDataHelper::encodeData, which
// dispatches on this table. The one table of kind numbers: index entries
// read back from the index carry the NAS snapshot references under the
// same NFSSNAPDATA_* kinds (FInfoRespItem.h).
#pragma once

#include <cstdint>

namespace IndexMetaDataKind {

constexpr uint32_t STUB_GUID = 0xE0D098D3;
constexpr uint32_t ORIG_APP_GUID = 0x1FCBCC13;
constexpr uint32_t ARCHIVAL_TIME = 0xD67868CF;
constexpr uint32_t CACHEDB_ITEM = 0x36F92D3A;
constexpr uint32_t LONGFILEPATH_REAL_PATH = 0x5EB743E8;
constexpr uint32_t NFSSNAPDATA_FULL_SNAP = 0x74330A2F;
constexpr uint32_t NFSSNAPDATA_INCR_SNAP = 0x4A2ECC74;
constexpr uint32_t NFSSNAPDATA_VOLUME_PATH = 0x677E8D5B;
constexpr uint32_t SRMFSDATA_USER_NAME = 0x5FABB978;
constexpr uint32_t SRMFSDATA_GROUP_NAME = 0x2A1F6168;
constexpr uint32_t INDEXINGDATA_HBASE_FILE_TYPE = 0x6DF1D348;
constexpr uint32_t INDEXINGDATA_HBASE_INCREMENTAL = 0x2D5C2C21;
constexpr uint32_t INDEXINGDATA_HBASE_SUFFIX_SET = 0x4825E18B;
constexpr uint32_t INDEXINGDATA_HBASE_SEED_SUFFIX = 0x5509CB6C;
constexpr uint32_t OBJECTSERVERDATA_INDEX_METADATA = 0x2F7279B5;
constexpr uint32_t OBJECTSERVERDATA_DOC_VERSION_GUID = 0x2659DA42;
constexpr uint32_t END_USER_ACCESS_ACL = 0x227192A5;

// How a kind's value is given to encodeData's untyped form.
enum ValueForm { kText, kInt, kTime };

struct Entry {
    uint32_t kind;
    const char* name;
    ValueForm form;
};

constexpr Entry kTable[] = {
    {STUB_GUID, "STUB_GUID", kText},
    {ORIG_APP_GUID, "ORIG_APP_GUID", kText},
    {ARCHIVAL_TIME, "ARCHIVAL_TIME", kTime},
    {CACHEDB_ITEM, "CACHEDB_ITEM", kText},
    {LONGFILEPATH_REAL_PATH, "LONGFILEPATH_REAL_PATH", kText},
    {NFSSNAPDATA_FULL_SNAP, "NFSSNAPDATA_FULL_SNAP", kText},
    {NFSSNAPDATA_INCR_SNAP, "NFSSNAPDATA_INCR_SNAP", kText},
    {NFSSNAPDATA_VOLUME_PATH, "NFSSNAPDATA_VOLUME_PATH", kText},
    {SRMFSDATA_USER_NAME, "SRMFSDATA_USER_NAME", kText},
    {SRMFSDATA_GROUP_NAME, "SRMFSDATA_GROUP_NAME", kText},
    {INDEXINGDATA_HBASE_FILE_TYPE, "INDEXINGDATA_HBASE_FILE_TYPE", kInt},
    {INDEXINGDATA_HBASE_INCREMENTAL, "INDEXINGDATA_HBASE_INCREMENTAL", kText},
    {INDEXINGDATA_HBASE_SUFFIX_SET, "INDEXINGDATA_HBASE_SUFFIX_SET", kText},
    {INDEXINGDATA_HBASE_SEED_SUFFIX, "INDEXINGDATA_HBASE_SEED_SUFFIX", kText},
    {OBJECTSERVERDATA_INDEX_METADATA, "OBJECTSERVERDATA_INDEX_METADATA", kText},
    {OBJECTSERVERDATA_DOC_VERSION_GUID, "OBJECTSERVERDATA_DOC_VERSION_GUID", kText},
    {END_USER_ACCESS_ACL, "END_USER_ACCESS_ACL", kText},
};

// The table entry of a kind, or null.
inline const Entry* Find(uint32_t kind) {
    for (const Entry& e : kTable)
        if (e.kind == kind)
            return &e;
    return nullptr;
}

}  // namespace IndexMetaDataKind
