// Prints an archive stream one line per record, and optionally hands the
// records to an ArchiveVerifier. Lines:
//
//   <offset> HEADER type=128 length=<n> name="<name>" mode=0<octal> size=<n>
//            nlink=<n> platform_flags=0x<hex> portable_flags=0x<hex>
//   <offset> DATA type=2 length=<n>
//   <offset> HOLE type=293 length=4 size=<n>
//   <offset> EOF type=130 length=<n> text="<text>"    (EOF_FAILED for 134)
//   <offset> OPT_HDR type=129 length=<n> opt_type=<n> opt_length=<n>
//            [entries=<n> [ACL_ACCESS value_length=<n>] [ACL_DEFAULT value_length=<n>]
//            [XATTR name="<name>" value_length=<n>] ...]
//            (the entries of an ACL form, optional-header type
//            KxACL::kOptHeaderType; a form that does not parse is MALFORMED)
//   <offset> OPT_HDR2 type=149 length=<n> text="<path>"  (OPT_HDR4 for 314)
//   <offset> HARDLINK_DEDUP type=329 length=4 value=<n>
//   <offset> IDX_METADATA type=159 length=<n> pairs=<n>
//            [kind=0x<hex>(<NAME>) more=<0|1> value="<t>"] ...
//            or ... message <message text>   (IndexDump::DescribeMetadata;
//            a payload that decodes as neither is MALFORMED)
//   <offset> RECORD type=<n> length=<n>                (any other type)
//   <offset> MALFORMED type=<n> length=<n>: <what is wrong>
//   <offset> END type=4294967295 length=20 items=<n> data_bytes=<n>
//            status=<n>(<name>)     (ArchiveStreamStatusName; length=16
//            status=none for the end record of an older writer)
//
// <offset> is the stream offset of the record's frame. Text is escaped by
// AppendPrintable. Framing errors end the dump; a record whose payload does
// not fit its type is printed as MALFORMED (and named on the error stream)
// and the dump goes on. With a verifier, each of these, and an end record
// whose status is not 0 (complete), is also one of its stream errors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/archive/ArchiveStreamReader.h"
#include "ruxen/ZXFileHeader.h"

class ArchiveVerifier;

class ArchiveDump {
public:
    // Record lines go to `out`, error messages to `err`; null discards.
    ArchiveDump(FILE* out, FILE* err);

    // When set, records also go to the verifier (which the caller owns).
    void SetVerifier(ArchiveVerifier* verifier) { m_verifier = verifier; }

    // Dumps the rest of the stream. True when it ended with its end record
    // and every record fit its type.
    bool Run(ArchiveStreamReader& reader);

    uint64_t Records() const { return m_records; }
    uint64_t MalformedRecords() const { return m_malformed; }
    bool StreamFailed() const { return m_streamFailed; }

private:
    void Emit();
    void Malformed(const ArchiveRecord& r, const char* why);
    bool DumpRecord(ArchiveStreamReader& reader, const ArchiveRecord& r);
    bool DumpHeader(ArchiveStreamReader& reader, const ArchiveRecord& r);
    bool DumpData(ArchiveStreamReader& reader, const ArchiveRecord& r);
    bool DumpText(ArchiveStreamReader& reader, const ArchiveRecord& r, const char* name);
    bool DumpFixed(ArchiveStreamReader& reader, const ArchiveRecord& r);
    bool DumpOptHeader(ArchiveStreamReader& reader, const ArchiveRecord& r);
    bool DumpMetadata(ArchiveStreamReader& reader, const ArchiveRecord& r);
    void Begin(const ArchiveRecord& r, const char* name);
    void Append(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    FILE* m_out;
    FILE* m_err;
    ArchiveVerifier* m_verifier = nullptr;
    std::string m_line;
    std::string m_name;
    ZXFileHeader m_header;
    uint64_t m_records = 0;
    uint64_t m_malformed = 0;
    bool m_streamFailed = false;
};
