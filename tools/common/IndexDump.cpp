#include "IndexDump.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "ArchiveDump.h"
#include "platform/archive/ZXHeaderByteOrder.h"
#include "platform/base/Coding.h"
#include "platform/index/IdxMessage.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/index/IndexRecords.h"
#include "platform/text/PrintableText.h"

namespace {

const char* const kRecordNames[] = {nullptr,       "IDX_INIT", "IDX_AFILE", "IDX_FILE", "IDX_PAIR",   "IDX_MESSAGE",
                                    "IDX_FILE_V2", "IDX_DONE", "IDX_CLEAR", "IDX_JOB",  "IDX_RESTART"};

using ruxen::AppendFormat;

void AddText(std::string& out, const char* key, const std::string& s) {
    out += ' ';
    out += key;
    out += "=\"";
    ruxen::AppendPrintable(out, s.data(), s.size());
    out += '"';
}

void AddKind(std::string& out, uint32_t kind) {
    const IndexMetaDataKind::Entry* e = IndexMetaDataKind::Find(kind);
    AppendFormat(out, "kind=0x%08X(%s)", kind, e ? e->name : "?");
}

// A message of exactly `length` bytes (0: an empty message, "-").
bool AddMessage(std::string& out, const char* data, size_t length, const char** why) {
    if (length == 0) {
        out += '-';
        return true;
    }
    IdxMessage m(0, 0);
    if (!IdxMessage::Decode(data, length, &m, why))
        return false;
    out += m.ToText();
    return true;
}

#define NEED(cond, what)   \
    do {                   \
        if (!(cond)) {     \
            *why = (what); \
            return false;  \
        }                  \
    } while (0)

}  // namespace

IndexDump::IndexDump(FILE* out, FILE* err) : m_out(out), m_err(err) {}

bool IndexDump::DescribeMetadata(const char* payload, size_t length, std::string* text, const char** why) {
    text->clear();
    if (length > 0 && static_cast<uint8_t>(payload[0]) == IdxMessage::kTag) {
        *text = "message ";
        return AddMessage(*text, payload, length, why);
    }
    std::vector<IndexMetaDataHelper::Pair> pairs;
    if (!IndexMetaDataHelper::DecodePairs(payload, length, &pairs, why))
        return false;
    AppendFormat(*text, "pairs=%zu", pairs.size());
    for (const auto& p : pairs) {
        *text += " [";
        AddKind(*text, p.kind);
        AppendFormat(*text, " more=%d", p.more ? 1 : 0);
        AddText(*text, "value", p.value);
        *text += ']';
    }
    return true;
}

bool IndexDump::DescribeRecord(uint32_t type, const char* payload, size_t length, std::string* text, const char** why) {
    text->clear();
    ruxen::NetReader r(payload, length);
    uint32_t conn;
    NEED(r.U32(&conn), "record without a connection number");
    AppendFormat(*text, "conn=%u", conn);
    std::string s1, s2, s3;
    uint64_t a, b, c, d;
    uint32_t x, y, z;
    uint8_t flag;
    const char* bytes;
    switch (type) {
    case IDX_INIT:
        NEED(r.U64(&a) && r.U64(&b) && r.U64(&c) && r.U32(&x) && r.Str(&s1) && r.Str(&s2) && r.Str(&s3) && r.U64(&d),
             "init record cut short");
        AppendFormat(*text, " zonark=%" PRIu64 " client=%" PRIu64 " app_type=%" PRIu64 " level=%d", a, b, c,
                     static_cast<int32_t>(x));
        AddText(*text, "token", s1);
        AddText(*text, "path", s2);
        AddText(*text, "indexing", s3);
        AppendFormat(*text, " reserved=%" PRIu64, d);
        break;
    case IDX_AFILE:
        NEED(r.U32(&x) && r.U32(&y) && r.U32(&z) && r.U8(&flag), "archive file record cut short");
        AppendFormat(*text, " zonark=%u group=%u file=%u flag=%u", x, y, z, flag);
        break;
    case IDX_FILE: {
        NEED(r.Bytes(ZXHeaderLayout::kRecordSize, &bytes), "file record cut short");
        ZXFileHeader h;
        if (!DecodeZXFileHeader(bytes, ZXHeaderLayout::kRecordSize, &h, why))
            return false;
        NEED(r.U64(&a) && r.Str(&s1) && r.U64(&b), "file record cut short");
        AddText(*text, "name", h.h_filename);
        AppendFormat(*text, " mode=0%" PRIo64 " size=%" PRIu64 " offset=%" PRIu64, h.h_mode, h.h_filesize, a);
        AddText(*text, "link", s1);
        AppendFormat(*text, " reserved=%" PRIu64, b);
        break;
    }
    case IDX_PAIR: {
        uint32_t marker, version, kind, reserved, len;
        NEED(r.U32(&marker) && r.U32(&version) && r.U32(&kind) && r.U32(&reserved) && r.U32(&len),
             "pair record cut short");
        NEED(marker == kIndexMetaDataMarker && version == kIndexMetaDataVersion,
             "pair record with a wrong marker or version");
        NEED(len == r.Left(), "pair value length does not match the record");
        r.Bytes(len, &bytes);
        *text += ' ';
        AddKind(*text, kind);
        AddText(*text, "value", std::string(bytes, len));
        break;
    }
    case IDX_MESSAGE:
        *text += ' ';
        NEED(r.Left() > 0, "message record without a message");
        if (!AddMessage(*text, r.Position(), r.Left(), why))
            return false;
        r.Bytes(r.Left(), &bytes);
        break;
    case IDX_FILE_V2:
        NEED(r.U32(&x) && r.Bytes(x, &bytes), "database info cut short");
        *text += " db=";
        if (!AddMessage(*text, bytes, x, why))
            return false;
        *text += " command=";
        if (!AddMessage(*text, r.Position(), r.Left(), why))
            return false;
        r.Bytes(r.Left(), &bytes);
        break;
    case IDX_DONE:
        NEED(r.U32(&x), "done record cut short");
        AppendFormat(*text, " value=%d", static_cast<int32_t>(x));
        break;
    case IDX_CLEAR:
        break;
    case IDX_JOB:
        NEED(r.U64(&a), "job record cut short");
        AppendFormat(*text, " job=%" PRIu64, a);
        break;
    case IDX_RESTART:
        NEED(r.U32(&x) && r.U64(&a), "restart record cut short");
        AppendFormat(*text, " collect=%u offset=%" PRIu64, x, a);
        break;
    default:
        *why = "unknown record type";
        return false;
    }
    NEED(r.Left() == 0, "bytes after the record's fields");
    return true;
}

bool IndexDump::Run(ArchiveStreamReader& reader) {
    ArchiveRecord r;
    bool clean = true;
    std::string line, text;
    for (;;) {
        ArchiveStreamReader::Status st = reader.Next(&r);
        if (st == ArchiveStreamReader::kEnd)
            break;
        const char* payload = nullptr;
        size_t length = 0;
        if (st == ArchiveStreamReader::kError || !reader.ReadPayload(&payload, &length)) {
            if (m_err)
                fprintf(m_err, "ruxen-dump: %s: %s\n", reader.Name().c_str(), reader.Error().c_str());
            clean = false;
            break;
        }
        ++m_records;
        line.clear();
        const char* why = nullptr;
        bool known = r.type >= IDX_INIT && r.type <= IDX_RESTART;
        if (!known) {
            AppendFormat(line, "%" PRIu64 " RECORD type=%u length=%u", r.offset, r.type, r.length);
        } else if (DescribeRecord(r.type, payload, length, &text, &why)) {
            AppendFormat(line, "%" PRIu64 " %s ", r.offset, kRecordNames[r.type]);
            line += text;
        } else {
            ++m_malformed;
            AppendFormat(line, "%" PRIu64 " MALFORMED type=%u length=%u: %s", r.offset, r.type, r.length, why);
            if (m_err)
                fprintf(m_err, "ruxen-dump: %s: record at %" PRIu64 ": %s\n", reader.Name().c_str(), r.offset, why);
        }
        line += '\n';
        if (m_out)
            fwrite(line.data(), 1, line.size(), m_out);
    }
    return clean && m_malformed == 0;
}

bool IndexDump::RunMemory(const void* data, size_t size, const char* name) {
    ArchiveStreamReader reader(kIndexStreamMagic);
    if (!reader.OpenMemory(data, size, name)) {
        if (m_err)
            fprintf(m_err, "ruxen-dump: %s: %s\n", name, reader.Error().c_str());
        return false;
    }
    return Run(reader);
}
