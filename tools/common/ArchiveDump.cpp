#include "ArchiveDump.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

#include "AclForm.h"
#include "ArchiveVerifier.h"
#include "IndexDump.h"
#include "platform/base/Coding.h"
#include "platform/base/KxTypes.h"
#include "platform/index/IdxMessage.h"
#include "platform/index/IndexMetaDataHelper.h"
#include "platform/index/IndexMetaDataKinds.h"
#include "platform/text/PrintableText.h"
#include "ruxen/OptionalHeaderPrefix.h"
#include "ruxen/PipelineRecordTypes.h"

namespace {

using ruxen::ULL;

using ruxen::DecodeFixed32;

}  // namespace

ArchiveDump::ArchiveDump(FILE* out, FILE* err) : m_out(out), m_err(err) {}

void ArchiveDump::Append(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ruxen::AppendFormatV(m_line, fmt, ap);
    va_end(ap);
}

void ArchiveDump::Begin(const ArchiveRecord& r, const char* name) {
    m_line.clear();
    Append("%llu %s type=%u length=%u", ULL(r.offset), name, r.type, r.length);
}

void ArchiveDump::Emit() {
    m_line.push_back('\n');
    if (m_out)
        fwrite(m_line.data(), 1, m_line.size(), m_out);
}

void ArchiveDump::Malformed(const ArchiveRecord& r, const char* why) {
    ++m_malformed;
    Begin(r, "MALFORMED");
    Append(": %s", why);
    Emit();
    if (m_err)
        fprintf(m_err, "ruxen-dump: %s: record at offset %llu (type %u, length %u): %s\n", m_name.c_str(),
                ULL(r.offset), r.type, r.length, why);
    if (m_verifier)
        m_verifier->StreamFault(m_name, "malformed record at offset " + std::to_string(r.offset) + ": " + why);
}

bool ArchiveDump::Run(ArchiveStreamReader& reader) {
    m_name = reader.Name();
    ArchiveRecord r;
    for (;;) {
        ArchiveStreamReader::Status st = reader.Next(&r);
        if (st == ArchiveStreamReader::kEnd) {
            m_line.clear();
            Append("%llu END type=%u length=%u items=%llu data_bytes=%llu", ULL(reader.EndOffset()),
                   kArchiveStreamEndRecord, reader.EndLength(), ULL(reader.Tally().items),
                   ULL(reader.Tally().dataBytes));
            const uint32_t status = reader.EndStatus();
            if (status == kArchiveStreamStatusUnknown)
                Append(" status=none");
            else
                Append(" status=%u(%s)", status, ArchiveStreamStatusName(status));
            Emit();
            break;
        }
        if (st == ArchiveStreamReader::kError || !DumpRecord(reader, r)) {
            m_streamFailed = true;
            if (m_err)
                fprintf(m_err, "ruxen-dump: %s: %s\n", m_name.c_str(), reader.Error().c_str());
            break;
        }
        ++m_records;
    }
    if (m_verifier) {
        m_verifier->StreamEnded(m_streamFailed ? reader.Offset() : reader.EndOffset());
        // Whatever fails the dump is a stream error of the verifier too.
        if (m_streamFailed)
            m_verifier->StreamFault(m_name, reader.Error());
        else if (reader.EndStatus() == kArchiveStreamStatusUnknown)
            m_verifier->StreamFault(m_name,
                                    "its end record, of an older writer, does not say whether the stream "
                                    "did all it was given");
        else if (reader.EndStatus() != kStreamComplete)
            m_verifier->StreamFault(m_name, "its end record says it did not do all it was given: status " +
                                                std::to_string(reader.EndStatus()) + " (" +
                                                ArchiveStreamStatusName(reader.EndStatus()) + ")");
    }
    return !m_streamFailed && m_malformed == 0;
}

bool ArchiveDump::DumpRecord(ArchiveStreamReader& reader, const ArchiveRecord& r) {
    switch (r.type) {
    case PL_FS_HEADER:
        return DumpHeader(reader, r);
    case PL_FS_DATA:
        return DumpData(reader, r);
    case PL_FS_EOF:
        return DumpText(reader, r, "EOF");
    case PL_FS_EOF_FAILED:
        return DumpText(reader, r, "EOF_FAILED");
    case PL_FS_OPT_HDR2:
        return DumpText(reader, r, "OPT_HDR2");
    case PL_FS_OPT_HDR4:
        return DumpText(reader, r, "OPT_HDR4");
    case PL_FS_HOLE:
    case PL_FS_HARDLINK_DEDUPLICATION:
        return DumpFixed(reader, r);
    case PL_FS_OPT_HDR:
        return DumpOptHeader(reader, r);
    case PL_FS_IDX_METADATA:
        return DumpMetadata(reader, r);
    case PL_FS_OBJSRV_METADATA:
        Begin(r, "OBJSRV_METADATA");
        break;
    default:
        Begin(r, "RECORD");
        break;
    }
    Emit();
    return true;
}

bool ArchiveDump::DumpHeader(ArchiveStreamReader& reader, const ArchiveRecord& r) {
    const char* why = nullptr;
    const char* p = nullptr;
    size_t n = r.length;
    if (r.length >= ZX_HEADER_MIN_RECORD && r.length <= ZX_HEADER_MAX_RECORD && !reader.ReadPayload(&p, &n))
        return false;
    if (!DecodeZXFileHeader(p, n, &m_header, &why)) {
        Malformed(r, why);
        if (m_verifier)
            m_verifier->BeginItem(nullptr, r.offset);
        return true;
    }
    const ZXFileHeader& h = m_header;
    Begin(r, "HEADER");
    m_line.append(" name=\"");
    ruxen::AppendPrintable(m_line, h.h_filename, strlen(h.h_filename));
    m_line.push_back('"');
    Append(" mode=0%llo size=%llu nlink=%u platform_flags=0x%llx portable_flags=0x%x", ULL(h.h_mode), ULL(h.h_filesize),
           h.h_nlink, ULL(h.h_platform_flags), h.portable_flags);
    if (h.h_datasize != 0)  // a resource fork's data fork, or a collect line's DATASIZE
        Append(" datasize=%llu", ULL(h.h_datasize));
    Emit();
    if (m_verifier)
        m_verifier->BeginItem(&h, r.offset);
    return true;
}

bool ArchiveDump::DumpData(ArchiveStreamReader& reader, const ArchiveRecord& r) {
    Begin(r, "DATA");
    Emit();
    if (!m_verifier)
        return true;  // the reader skips the payload
    for (;;) {
        const char* p = nullptr;
        size_t n = 0;
        if (!reader.ReadChunk(&p, &n))
            return false;
        if (n == 0)
            break;
        m_verifier->Data(p, n, r.offset);
    }
    if (r.length == 0)
        m_verifier->Data(nullptr, 0, r.offset);
    return true;
}

bool ArchiveDump::DumpText(ArchiveStreamReader& reader, const ArchiveRecord& r, const char* name) {
    const char* p = nullptr;
    size_t n = 0;
    if (!reader.ReadPayload(&p, &n))
        return false;
    size_t len = 0;
    if (n > 0) {
        const void* nul = memchr(p, '\0', n);
        if (!nul) {
            Malformed(r, "text is not NUL-terminated");
            // The item still ends here for the verifier's bookkeeping.
            if (m_verifier && (r.type == PL_FS_EOF || r.type == PL_FS_EOF_FAILED))
                m_verifier->EndItem(r.type == PL_FS_EOF_FAILED, std::string_view(), r.offset);
            return true;
        }
        len = static_cast<size_t>(static_cast<const char*>(nul) - p);
    }
    Begin(r, name);
    m_line.append(" text=\"");
    ruxen::AppendPrintable(m_line, p, len);
    m_line.push_back('"');
    Emit();
    if (m_verifier && (r.type == PL_FS_EOF || r.type == PL_FS_EOF_FAILED))
        m_verifier->EndItem(r.type == PL_FS_EOF_FAILED, std::string_view(p, len), r.offset);
    if (m_verifier && r.type == PL_FS_OPT_HDR2)
        m_verifier->Member(std::string_view(p, len), r.offset);
    return true;
}

// Records of four bytes: holes and the deduplication command.
bool ArchiveDump::DumpFixed(ArchiveStreamReader& reader, const ArchiveRecord& r) {
    if (r.length != 4) {
        Malformed(r, r.type == PL_FS_HOLE ? "hole record is not 4 bytes" : "command record is not 4 bytes");
        return true;
    }
    const char* p = nullptr;
    size_t n = 0;
    if (!reader.ReadChunk(&p, &n))  // the 4 bytes: a chunk holds more
        return false;
    if (r.type == PL_FS_HOLE) {
        uint32_t size = DecodeFixed32(p);
        Begin(r, "HOLE");
        Append(" size=%u", size);
        Emit();
        if (m_verifier)
            m_verifier->Hole(size, r.offset);
    } else {
        Begin(r, "HARDLINK_DEDUP");
        Append(" value=%u", DecodeFixed32(p));
        Emit();
    }
    return true;
}

// An optional header: its prefix, and the entries of an ACL form.
bool ArchiveDump::DumpOptHeader(ArchiveStreamReader& reader, const ArchiveRecord& r) {
    if (r.length < kOptionalHeaderPrefixSize) {
        Malformed(r, "optional header shorter than its prefix");
        return true;
    }
    const char* p = nullptr;
    size_t n = 0;
    if (!reader.ReadPayload(&p, &n))
        return false;
    const uint32_t optType = DecodeFixed32(p + 4), optLength = DecodeFixed32(p + 8);
    const char* form = p + kOptionalHeaderPrefixSize;
    const char* why = nullptr;
    std::string entries;
    if (DecodeFixed32(p) != kOptionalHeaderMarker)
        why = "optional header without its marker 0xABCD1234";
    else if (static_cast<uint64_t>(optLength) + kOptionalHeaderPrefixSize != r.length)
        why = "optional header whose prefix length does not match the record";
    else if (optType == KxACL::kOptHeaderType)
        AclForm::Describe(form, optLength, &entries, &why);
    if (why) {
        Malformed(r, why);
        return true;
    }
    Begin(r, "OPT_HDR");
    Append(" opt_type=%u opt_length=%u", optType, optLength);
    if (!entries.empty())
        m_line += " " + entries;
    Emit();
    if (m_verifier)
        m_verifier->OptionalHeader(optType, form, optLength, r.offset);
    return true;
}

// An index metadata record: its pairs or its message.
bool ArchiveDump::DumpMetadata(ArchiveStreamReader& reader, const ArchiveRecord& r) {
    const char* p = nullptr;
    size_t n = 0;
    if (!reader.ReadPayload(&p, &n))
        return false;
    std::string text;
    const char* why = nullptr;
    if (!IndexDump::DescribeMetadata(p, n, &text, &why)) {
        Malformed(r, why);
        return true;
    }
    Begin(r, "IDX_METADATA");
    m_line += ' ';
    m_line += text;
    Emit();
    std::vector<IndexMetaDataHelper::Pair> pairs;
    if (m_verifier && (n == 0 || static_cast<uint8_t>(p[0]) != IdxMessage::kTag) &&
        IndexMetaDataHelper::DecodePairs(p, n, &pairs, &why))
        for (const IndexMetaDataHelper::Pair& pair : pairs)
            if (pair.kind == IndexMetaDataKind::LONGFILEPATH_REAL_PATH)
                m_verifier->RealPath(pair.value, r.offset);
    return true;
}
