#include "platform/index/IndexMetaDataHelper.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/agent/KxLog.h"
#include "platform/base/Coding.h"
#include "platform/index/IdxMessage.h"
#include "platform/index/IndexMetaDataKinds.h"

namespace {

size_t TextLength(const void* text) { return text ? strlen(static_cast<const char*>(text)) : 0; }

}  // namespace

int IndexMetaDataHelper::getEncodedLength(unsigned /*kind*/, const void* text) const {
    size_t n = kPairHeaderSize + TextLength(text);
    return n <= kMaxEncodedLength ? static_cast<int>(n) : -1;
}

int IndexMetaDataHelper::fillBuffer(unsigned kind, const void* text, void* buffer, unsigned size, unsigned& offset,
                                    unsigned moreFollows) const {
    size_t len = TextLength(text);
    size_t need = kPairHeaderSize + len;
    if (!buffer || offset > size || size - offset < need) {
        KXLOG(-1, "pair of kind 0x%08X needs %zu bytes at offset %u of a %u-byte buffer", kind, need, offset, size);
        return -1;
    }
    ruxen::NetWriter(static_cast<char*>(buffer) + offset)
        .U8(kPairTag)
        .U8(moreFollows ? 1 : 0)
        .U32(kind)
        .U32(static_cast<uint32_t>(len))
        .Bytes(text, len);
    offset += static_cast<unsigned>(need);
    return 0;
}

int IndexMetaDataHelper::getEncodedLength(const IdxMessage* message, unsigned& length) const {
    length = 0;
    if (!message)
        return -1;
    size_t n = message->EncodedSize();
    if (n > kMaxEncodedLength) {
        KXLOG(-1, "index metadata message of %zu bytes exceeds %u", n, kMaxEncodedLength);
        return -1;
    }
    length = static_cast<unsigned>(n);
    return 0;
}

int IndexMetaDataHelper::fillBuffer(const IdxMessage* message, void* buffer, unsigned size, unsigned& used) const {
    used = 0;
    unsigned need;
    if (getEncodedLength(message, need) != 0 || !buffer || size < need) {
        KXLOG(-1, "index metadata message does not fit a %u-byte buffer", size);
        return -1;
    }
    message->Encode(static_cast<char*>(buffer));
    used = need;
    return 0;
}

const char* IndexMetaDataHelper::encodeData(int /*kind*/, int value) {
    snprintf(m_text, sizeof(m_text), "%d", value);
    return m_text;
}

const char* IndexMetaDataHelper::encodeData(int /*kind*/, int64_t time) {
    snprintf(m_text, sizeof(m_text), "%" PRId64, time);
    return m_text;
}

const char* IndexMetaDataHelper::encodeData(int kind, void* number) {
    const IndexMetaDataKind::Entry* e = IndexMetaDataKind::Find(static_cast<uint32_t>(kind));
    if (!number || !e || e->form == IndexMetaDataKind::kText) {
        KXLOG(-1, "no numeric form for metadata kind 0x%08X", static_cast<unsigned>(kind));
        return nullptr;
    }
    if (e->form == IndexMetaDataKind::kInt)
        return encodeData(kind, *static_cast<const int*>(number));
    return encodeData(kind, *static_cast<const int64_t*>(number));
}

int64_t IndexMetaDataHelper::getCurTime() { return static_cast<int64_t>(time(nullptr)); }

bool IndexMetaDataHelper::DecodePairs(const char* data, size_t size, std::vector<Pair>* out, const char** why) {
    out->clear();
    ruxen::NetReader r(data, size);
    for (;;) {
        uint8_t tag, more;
        uint32_t len;
        const char* value;
        Pair p;
        if (!r.U8(&tag) || tag != kPairTag)
            return *why = "not a pair", false;
        if (!r.U8(&more) || !r.U32(&p.kind) || !r.U32(&len))
            return *why = "pair header cut short", false;
        if (more > 1)
            return *why = "more-follows flag neither 0 nor 1", false;
        if (!r.Bytes(len, &value))
            return *why = "pair value cut short", false;
        p.more = more == 1;
        p.value.assign(value, len);
        out->push_back(std::move(p));
        if (!more)
            break;
        if (r.Left() == 0)
            return *why = "more-follows set on the last pair", false;
    }
    if (r.Left() != 0)
        return *why = "bytes after the last pair", false;
    return true;
}
