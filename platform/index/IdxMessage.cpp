#include "platform/index/IdxMessage.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/base/Coding.h"
#include "platform/text/PrintableText.h"

namespace {

const std::string kNoString;
const std::vector<std::string> kNoStrings;

void AppendQuoted(std::string& out, const std::string& s) {
    out += '"';
    ruxen::AppendPrintable(out, s.data(), s.size());
    out += '"';
}

}  // namespace

IdxMessage::~IdxMessage() = default;

IdxMessage::IdxMessage(const IdxMessage& other) : m_group(other.m_group), m_type(other.m_type) { *this = other; }

IdxMessage& IdxMessage::operator=(const IdxMessage& other) {
    if (this == &other)
        return *this;
    m_group = other.m_group;
    m_type = other.m_type;
    std::vector<Field> fields(other.m_fields.size());
    for (size_t k = 0; k < fields.size(); ++k) {
        const Field& o = other.m_fields[k];
        fields[k].number = o.number;
        fields[k].kind = o.kind;
        fields[k].i = o.i;
        fields[k].s = o.s;
        fields[k].list = o.list;
        if (o.part)
            fields[k].part = o.part->Clone();
    }
    m_fields = std::move(fields);
    return *this;
}

const IdxMessage::Field* IdxMessage::Find(uint32_t field) const {
    auto it = std::lower_bound(m_fields.begin(), m_fields.end(), field,
                               [](const Field& f, uint32_t n) { return f.number < n; });
    return it != m_fields.end() && it->number == field ? &*it : nullptr;
}

IdxMessage::Field& IdxMessage::Slot(uint32_t field, Kind kind) {
    auto it = std::lower_bound(m_fields.begin(), m_fields.end(), field,
                               [](const Field& f, uint32_t n) { return f.number < n; });
    if (it == m_fields.end() || it->number != field) {
        it = m_fields.insert(it, Field());
        it->number = field;
        it->kind = kind;
    } else if (it->kind != kind) {
        *it = Field();
        it->number = field;
        it->kind = kind;
    }
    return *it;
}

void IdxMessage::SetInt(uint32_t field, int64_t value) { Slot(field, kInt).i = value; }

void IdxMessage::SetString(uint32_t field, std::string value) { Slot(field, kString).s = std::move(value); }

void IdxMessage::AddString(uint32_t field, std::string value) { Slot(field, kList).list.push_back(std::move(value)); }

int64_t IdxMessage::Int(uint32_t field) const {
    const Field* f = Find(field);
    return f && f->kind == kInt ? f->i : 0;
}

const std::string& IdxMessage::String(uint32_t field) const {
    const Field* f = Find(field);
    return f && f->kind == kString ? f->s : kNoString;
}

const std::vector<std::string>& IdxMessage::Strings(uint32_t field) const {
    const Field* f = Find(field);
    return f && f->kind == kList ? f->list : kNoStrings;
}

const IdxMessage* IdxMessage::Part(uint32_t field) const {
    const Field* f = Find(field);
    return f && f->kind == kPart ? f->part.get() : nullptr;
}

size_t IdxMessage::BodySize() const {
    size_t n = 12;
    for (const Field& f : m_fields) {
        n += 5;
        switch (f.kind) {
        case kInt:
            n += 8;
            break;
        case kString:
            n += 4 + f.s.size();
            break;
        case kList:
            n += 4;
            for (const std::string& s : f.list)
                n += 4 + s.size();
            break;
        case kPart:
            n += 4 + f.part->BodySize();
            break;
        }
    }
    return n;
}

size_t IdxMessage::EncodedSize() const { return Empty() ? 0 : kPreambleSize + BodySize(); }

char* IdxMessage::EncodeBody(char* out) const {
    ruxen::NetWriter w(out);
    w.U32(m_group).U32(m_type).U32(static_cast<uint32_t>(m_fields.size()));
    for (const Field& f : m_fields) {
        w.U32(f.number).U8(f.kind);
        switch (f.kind) {
        case kInt:
            w.U64(static_cast<uint64_t>(f.i));
            break;
        case kString:
            w.Str(f.s);
            break;
        case kList:
            w.U32(static_cast<uint32_t>(f.list.size()));
            for (const std::string& s : f.list)
                w.Str(s);
            break;
        case kPart:
            w.U32(static_cast<uint32_t>(f.part->BodySize()));
            w = ruxen::NetWriter(f.part->EncodeBody(w.Position()));
            break;
        }
    }
    return w.Position();
}

void IdxMessage::Encode(char* out) const {
    if (Empty())
        return;
    out[0] = static_cast<char>(kTag);
    out[1] = static_cast<char>(kVersion);
    EncodeBody(out + kPreambleSize);
}

std::string IdxMessage::EncodeToString() const {
    std::string s(EncodedSize(), '\0');
    Encode(&s[0]);
    return s;
}

bool IdxMessage::DecodeBody(ruxen::NetReader& r, int depth, IdxMessage* out, const char** why) {
    if (depth > kMaxDepth)
        return *why = "parts nested too deep", false;
    uint32_t count;
    if (!r.U32(&out->m_group) || !r.U32(&out->m_type) || !r.U32(&count))
        return *why = "message header cut short", false;
    // Every field takes at least 9 bytes: a count beyond that is a lie, and
    // must not size a vector.
    if (count > r.Left() / 9)
        return *why = "field count beyond the bytes", false;
    out->m_fields.clear();
    out->m_fields.reserve(count);
    for (uint32_t k = 0; k < count; ++k) {
        Field f;
        uint8_t kind;
        if (!r.U32(&f.number) || !r.U8(&kind))
            return *why = "field header cut short", false;
        if (!out->m_fields.empty() && f.number <= out->m_fields.back().number)
            return *why = "field numbers not ascending", false;
        f.kind = static_cast<Kind>(kind);
        switch (f.kind) {
        case kInt: {
            uint64_t v;
            if (!r.U64(&v))
                return *why = "integer field cut short", false;
            f.i = static_cast<int64_t>(v);
            break;
        }
        case kString:
            if (!r.Str(&f.s))
                return *why = "string field cut short", false;
            break;
        case kList: {
            uint32_t n;
            if (!r.U32(&n) || n > r.Left() / 4)
                return *why = "list count beyond the bytes", false;
            f.list.resize(n);
            for (std::string& s : f.list)
                if (!r.Str(&s))
                    return *why = "list entry cut short", false;
            break;
        }
        case kPart: {
            uint32_t n;
            const char* body;
            if (!r.U32(&n) || !r.Bytes(n, &body))
                return *why = "part cut short", false;
            ruxen::NetReader pr(body, n);
            f.part = std::make_unique<IdxMessage>(0, 0);
            if (!DecodeBody(pr, depth + 1, f.part.get(), why))
                return false;
            if (pr.Left() != 0)
                return *why = "part length does not match its fields", false;
            break;
        }
        default:
            return *why = "unknown field kind", false;
        }
        out->m_fields.push_back(std::move(f));
    }
    return true;
}

bool IdxMessage::Decode(const char* data, size_t size, IdxMessage* out, const char** why) {
    if (size < kPreambleSize || static_cast<uint8_t>(data[0]) != kTag)
        return *why = "not a message", false;
    if (static_cast<uint8_t>(data[1]) != kVersion)
        return *why = "unknown message version", false;
    ruxen::NetReader r(data + kPreambleSize, size - kPreambleSize);
    if (!DecodeBody(r, 0, out, why))
        return false;
    if (r.Left() != 0)
        return *why = "bytes after the message", false;
    if (out->Empty())
        return *why = "message without fields", false;
    return true;
}

void IdxMessage::AppendText(std::string& out) const {
    out += IdxMessageName(m_group, m_type);
    out += '{';
    bool first = true;
    for (const Field& f : m_fields) {
        if (!first)
            out += ' ';
        first = false;
        out += std::to_string(f.number);
        out += '=';
        switch (f.kind) {
        case kInt:
            out += std::to_string(f.i);
            break;
        case kString:
            AppendQuoted(out, f.s);
            break;
        case kList:
            out += '[';
            for (size_t k = 0; k < f.list.size(); ++k) {
                if (k)
                    out += ',';
                AppendQuoted(out, f.list[k]);
            }
            out += ']';
            break;
        case kPart:
            f.part->AppendText(out);
            break;
        }
    }
    out += '}';
}

std::string IdxMessage::ToText() const {
    std::string out;
    AppendText(out);
    return out;
}
