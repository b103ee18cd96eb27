// The numbered-field message that the indexing service takes: every index
// metadata message (IdxMetadata.h) is one of these, a (group, type) pair and
// fields keyed by number. A field holds one of: a signed 64-bit integer, a
// string of bytes, a list of strings, or a nested message (a "part").
// Classes built on it only add named accessors.
//
// Binary form (all integers network order; the same in a metadata record 159
// and in the index file):
//
//   message  := u8 'M' (0x4D), u8 version 1, body
//   body     := u32 group, u32 type, u32 field count,
//               fields in ascending field number, each number once:
//                 u32 field number, u8 kind, value
//   kind 1   int64:  8 bytes, two's complement
//   kind 2   string: u32 length, bytes
//   kind 3   list:   u32 count, then per string u32 length, bytes
//   kind 4   part:   u32 length of the nested body, nested body
//
// A message without fields encodes to nothing: length 0 means "nothing to
// send". The decoder refuses unknown kinds, fields out of order, counts and
// lengths that run past the bytes, nesting deeper than kMaxDepth and bytes
// left over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ruxen {
class NetReader;
}  // namespace ruxen

class IdxMessage {
public:
    static constexpr uint8_t kTag = 'M';
    static constexpr uint8_t kVersion = 1;
    static constexpr size_t kPreambleSize = 2;
    static constexpr int kMaxDepth = 16;
    enum Kind : uint8_t { kInt = 1, kString = 2, kList = 3, kPart = 4 };

    IdxMessage(uint32_t group, uint32_t type) : m_group(group), m_type(type) {}
    virtual ~IdxMessage();
    IdxMessage(const IdxMessage& other);
    IdxMessage& operator=(const IdxMessage& other);
    IdxMessage(IdxMessage&&) = default;
    IdxMessage& operator=(IdxMessage&&) = default;
    // A copy of the same class (parts keep their named accessors).
    virtual std::unique_ptr<IdxMessage> Clone() const { return std::make_unique<IdxMessage>(*this); }

    uint32_t Group() const { return m_group; }
    uint32_t Type() const { return m_type; }
    bool Empty() const { return m_fields.empty(); }
    bool Has(uint32_t field) const { return Find(field) != nullptr; }
    void Clear() { m_fields.clear(); }

    // Setting a field replaces whatever it held.
    void SetInt(uint32_t field, int64_t value);
    void SetString(uint32_t field, std::string value);
    void AddString(uint32_t field, std::string value);  // appends to a list
    // 0 / "" / an empty list when the field is absent or of another kind.
    int64_t Int(uint32_t field) const;
    const std::string& String(uint32_t field) const;
    const std::vector<std::string>& Strings(uint32_t field) const;
    // The nested message in `field`, or null.
    const IdxMessage* Part(uint32_t field) const;

    // The binary form with its preamble: 0 bytes for a message without
    // fields. EncodedSize is exact; Encode writes that many bytes.
    size_t EncodedSize() const;
    void Encode(char* out) const;
    std::string EncodeToString() const;
    // Decodes a whole message (preamble included). False with *why set.
    // Nested parts decode as plain IdxMessage; the named accessors of the
    // parent convert them on first use.
    static bool Decode(const char* data, size_t size, IdxMessage* out, const char** why);

    // One line for logs: Name{1=-5 2="text" 3=["a","b"] 4=Part{...}}.
    std::string ToText() const;

protected:
    // The part in `field` as a T, created when absent; a part of another
    // class (one that was decoded) is converted, keeping its fields.
    template <class T>
    T* PartAs(uint32_t field) {
        Field& f = Slot(field, kPart);
        if (!f.part) {
            f.part = std::make_unique<T>();
        } else if (!dynamic_cast<T*>(f.part.get())) {
            auto typed = std::make_unique<T>();
            typed->m_fields = std::move(f.part->m_fields);
            f.part = std::move(typed);
        }
        return static_cast<T*>(f.part.get());
    }

private:
    struct Field {
        uint32_t number = 0;
        Kind kind = kInt;
        int64_t i = 0;
        std::string s;
        std::vector<std::string> list;
        std::unique_ptr<IdxMessage> part;
    };
    const Field* Find(uint32_t field) const;
    // The field, emptied and set to `kind` unless it already has that kind.
    Field& Slot(uint32_t field, Kind kind);
    size_t BodySize() const;
    char* EncodeBody(char* out) const;
    static bool DecodeBody(ruxen::NetReader& r, int depth, IdxMessage* out, const char** why);
    void AppendText(std::string& out) const;

    uint32_t m_group;
    uint32_t m_type;
    std::vector<Field> m_fields;  // ascending field numbers
};

// A message class with its own (group, type); Derived adds the accessors.
template <class Derived, uint32_t G, uint32_t T>
class IdxMessageOf : public IdxMessage {
public:
    static constexpr uint32_t kGroup = G;
    static constexpr uint32_t kType = T;
    IdxMessageOf() : IdxMessage(G, T) {}
    std::unique_ptr<IdxMessage> Clone() const override {
        return std::make_unique<Derived>(static_cast<const Derived&>(*this));
    }
};

// The class name of a (group, type) for text forms; "Message" when unknown.
const char* IdxMessageName(uint32_t group, uint32_t type);
