// Object-server metadata of an item (object-store jobs, application type
// 124), from the object-server name mapper: the object's index text and
// document GUID as one metadata record (159) of two pairs, and its optional
// metadata text, NUL included, as one or more records 290 whose payloads
// join to the whole text.
#include <cstring>

#include "mapping/OBJServerTAVNameMapper.h"
#include "platform/agent/KxLog.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "ruxen/PipelineRecordTypes.h"
#include "ruxen/RuxenFile.h"

namespace {

constexpr unsigned OBJECTSERVERDATA_INDEX_METADATA = 0x2F7279B5;
constexpr unsigned OBJECTSERVERDATA_DOC_VERSION_GUID = 0x2659DA42;

}  // namespace

bool RuxenFile::sendObjSrvMetaData() {
    OBJServerTAVNameMapper* mapper = dynamic_cast<OBJServerTAVNameMapper*>(m_fNameMapper);
    if (!mapper) {
        KXLOG(-1, "no object-server name mapper for [%s]", printName());
        return false;
    }
    std::string index, guid, text;
    mapper->getIndexMetaData(index);
    mapper->getDocumentGUID(guid);
    KXLOG(0, "Indexing meta data (version) '%s'", index.c_str());
    KXLOG(0, "Indexing GUID '%s'", guid.c_str());

    int count = !index.empty() + !guid.empty();
    if (count > 0) {
        const IndexMetaDataHelper enc;
        const int indexLength = enc.getEncodedLength(OBJECTSERVERDATA_INDEX_METADATA, index.c_str());
        const int guidLength = enc.getEncodedLength(OBJECTSERVERDATA_DOC_VERSION_GUID, guid.c_str());
        if (indexLength < 0 || guidLength < 0) {
            KXLOG(-1, "object-server metadata of [%s] is too large for one record", printName());
            return false;
        }
        const unsigned size = static_cast<unsigned>(indexLength + guidLength);
        char* buf = AllocateRecord(size);
        if (!buf) {
            KXLOG(-1, "null buffer returned from allocate");
            return false;
        }
        unsigned offset = 0;
        const struct {
            unsigned kind;
            const char* name;
            const std::string& value;
        } pairs[] = {{OBJECTSERVERDATA_INDEX_METADATA, "OBJECTSERVERDATA_INDEX_METADATA", index},
                     {OBJECTSERVERDATA_DOC_VERSION_GUID, "OBJECTSERVERDATA_DOC_VERSION_GUID", guid}};
        for (const auto& p : pairs) {
            if (p.value.empty())
                continue;
            --count;
            int rc = enc.fillBuffer(p.kind, p.value.c_str(), buf, size, offset, count > 0 ? 1 : 0);
            if (rc != 0) {
                KXLOG(-1,
                      "unable to fill indexing buffer with ID %d (%s) value '%s' size %zu into buffer of size %d. "
                      "rc=%d",
                      static_cast<int>(p.kind), p.name, p.value.c_str(), p.value.size(), static_cast<int>(size), rc);
                FreeKXArchiveBuffer();
                return false;
            }
        }
        // The record ends with its last pair: an empty value was counted in
        // the room asked for but is not sent, and no unfilled bytes follow.
        int status = SendRecord(PL_FS_IDX_METADATA, offset);
        if (status != 0) {
            KXLOG(-1, "Error during send buffer sendbufferStatus=%d", status);
            return false;
        }
    }

    mapper->getMetaData(text);
    KXLOG(0, "Optional meta data '%s'", text.c_str());
    if (text.empty())
        return true;
    // The buffer services may grant less than asked: the text goes in
    // slices of whatever each grant holds. A grant of nothing is a failed
    // allocation, or the loop would never end.
    size_t offset = 0, remaining = text.size() + 1;
    while (remaining != 0) {
        unsigned granted = 0;
        char* buf = AllocateKXArchiveBuffer(static_cast<unsigned>(remaining), &granted, true);
        if (!buf || granted == 0) {
            KXLOG(-1, "null buffer returned from allocate");
            if (buf)
                FreeKXArchiveBuffer();
            return false;
        }
        const size_t slice = granted < remaining ? granted : remaining;
        memcpy(buf, text.c_str() + offset, slice);
        int status = SendRecord(PL_FS_OBJSRV_METADATA, static_cast<unsigned>(slice));
        if (status != 0) {
            KXLOG(-1, "Error during send buffer");
            return false;
        }
        offset += slice;
        remaining -= slice;
    }
    return true;
}
