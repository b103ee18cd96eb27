// Prints an index file (IndexRecords.h: "RXIX" framing, records of the
// indexing connection) one line per record, and decodes the payloads of
// metadata records (type 159 of the archive stream: pairs or one message).
// Lines:
//
//   <offset> IDX_INIT conn=<n> zonark=<n> client=<n> app_type=<n> level=<n>
//            token="<t>" path="<t>" indexing="<t>" reserved=<n>
//   <offset> IDX_AFILE conn=<n> zonark=<n> group=<n> file=<n> flag=<n>
//   <offset> IDX_FILE conn=<n> name="<name>" mode=0<octal> size=<n>
//            offset=<n> link="<t>" reserved=<n>
//   <offset> IDX_PAIR conn=<n> kind=0x<hex>(<NAME>) value="<t>"
//   <offset> IDX_MESSAGE conn=<n> <message text>
//   <offset> IDX_FILE_V2 conn=<n> db=<message text> command=<message text>
//   <offset> IDX_DONE conn=<n> value=<n>
//   <offset> IDX_CLEAR conn=<n>
//   <offset> IDX_JOB conn=<n> job=<n>
//   <offset> IDX_RESTART conn=<n> collect=<n> offset=<n>
//   <offset> RECORD type=<n> length=<n>                  (unknown type)
//   <offset> MALFORMED type=<n> length=<n>: <what is wrong>
//
// A message prints as IdxMessage::ToText gives it ("-" when empty); text is
// escaped by AppendPrintable. Framing errors end the dump; a malformed
// record is printed as such and the dump goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/archive/ArchiveStreamReader.h"

class IndexDump {
public:
    // Lines go to `out`, error messages to `err`; null discards.
    IndexDump(FILE* out, FILE* err);

    // Dumps the records after the preamble. True when the stream ended
    // cleanly and every record decoded.
    bool Run(ArchiveStreamReader& reader);
    // Dumps a whole index file held in memory, preamble included.
    bool RunMemory(const void* data, size_t size, const char* name);

    uint64_t Records() const { return m_records; }
    uint64_t MalformedRecords() const { return m_malformed; }

    // The text of one index record after its type ("conn=1 ..."); false with
    // *why for a payload that does not decode.
    static bool DescribeRecord(uint32_t type, const char* payload, size_t length, std::string* text, const char** why);
    // The text of a metadata record's payload:
    //   pairs=<n> [kind=0x<hex>(<NAME>) more=<0|1> value="<t>"] ...
    //   message <message text>
    static bool DescribeMetadata(const char* payload, size_t length, std::string* text, const char** why);

private:
    FILE* m_out;
    FILE* m_err;
    uint64_t m_records = 0;
    uint64_t m_malformed = 0;
};
