// The index metadata encoder: (kind, value) pairs and index metadata
// messages into the bytes of a metadata record (type 159).
//
// A record holds either pairs, back to back, or one message (IdxMessage.h
// gives its form). A pair, all integers network order:
//
//   u8  'P' (0x50)
//   u8  more follows: 1 when another pair of the record follows, 0 last
//   u32 kind
//   u32 value length
//   value bytes, no terminator
//
// Lengths are exact: a record is allocated with the sum of getEncodedLength
// over its pairs, and fillBuffer writes exactly that many bytes. fillBuffer
// writes nothing when the buffer is short. Results are 0 for success, -1
// for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class IdxMessage;

class IndexMetaDataHelper {
public:
    static constexpr uint8_t kPairTag = 'P';
    static constexpr size_t kPairHeaderSize = 10;
    // No record is larger (the archive stream's bound on a payload).
    static constexpr uint32_t kMaxEncodedLength = 64u * 1024 * 1024;

    // Bytes that the pair takes (a null text is empty), or -1 when it
    // cannot fit one record.
    int getEncodedLength(unsigned kind, const void* text) const;
    // Writes the pair at `offset` and advances it.
    int fillBuffer(unsigned kind, const void* text, void* buffer, unsigned size, unsigned& offset,
                   unsigned moreFollows) const;

    // The message's encoded length: 0 for a message without fields
    // ("nothing to send"). -1 for a null message or one too large.
    int getEncodedLength(const IdxMessage* message, unsigned& length) const;
    // Writes the message at the start of the buffer; `used` gets its length.
    int fillBuffer(const IdxMessage* message, void* buffer, unsigned size, unsigned& used) const;

    // The text form of a number: decimal. The pointer stays valid until the
    // next encodeData on this object; callers copy the text at once.
    const char* encodeData(int kind, int value);
    const char* encodeData(int kind, int64_t time);
    // The untyped form reads the number as the kind's table entry says
    // (IndexMetaDataKinds.h): an int or a 64-bit time. Null for a kind
    // without a numeric form, or a null pointer.
    const char* encodeData(int kind, void* number);
    // The current time, in the form encodeData takes for times (seconds
    // since the epoch).
    static int64_t getCurTime();

    // Decodes a record of pairs: the more-follows flag must be 1 on every
    // pair but the last, and the last must end the record. False with *why.
    struct Pair {
        uint32_t kind = 0;
        bool more = false;
        std::string value;
    };
    static bool DecodePairs(const char* data, size_t size, std::vector<Pair>* out, const char** why);

private:
    char m_text[24] = {0};
};
