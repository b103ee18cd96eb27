#include "AclForm.h"

#include "platform/base/Coding.h"
#include "platform/text/PrintableText.h"

namespace AclForm {

bool Decode(const char* data, size_t size, std::vector<KxACL::Entry>* out, const char** why) {
    out->clear();
    ruxen::NetReader r(data, size);
    uint32_t version, count;
    if (!r.U32(&version) || !r.U32(&count))
        return *why = "ACL form shorter than its header", false;
    if (version != KxACL::kFormVersion)
        return *why = "ACL form of an unknown version", false;
    if (count > r.Left() / KxACL::kEntryHeaderSize)
        return *why = "ACL form entry count beyond the bytes", false;
    for (uint32_t k = 0; k < count; ++k) {
        uint8_t kind;
        uint16_t nameLen;
        uint32_t valueLen;
        const char *name, *value;
        if (!r.U8(&kind) || !r.U16(&nameLen) || !r.U32(&valueLen) || !r.Bytes(nameLen, &name) ||
            !r.Bytes(valueLen, &value))
            return *why = "ACL form entry cut short", false;
        if (kind < KxACL::ACCESS_ACL || kind > KxACL::XATTR)
            return *why = "ACL form entry of an unknown kind", false;
        if ((kind == KxACL::XATTR) != (nameLen > 0))
            return *why = "ACL form entry with a name that does not fit its kind", false;
        out->push_back(KxACL::Entry{static_cast<KxACL::EntryKind>(kind), std::string(name, nameLen),
                                    std::string(value, valueLen)});
    }
    if (r.Left() != 0)
        return *why = "bytes after the ACL form's entries", false;
    return true;
}

bool Describe(const char* data, size_t size, std::string* text, const char** why) {
    std::vector<KxACL::Entry> entries;
    if (!Decode(data, size, &entries, why))
        return false;
    *text = "entries=" + std::to_string(entries.size());
    for (const KxACL::Entry& e : entries) {
        static const char* const kNames[] = {"", "ACL_ACCESS", "ACL_DEFAULT", "XATTR"};
        *text += " [";
        *text += kNames[e.kind];
        if (e.kind == KxACL::XATTR) {
            *text += " name=\"";
            ruxen::AppendPrintable(*text, e.name.data(), e.name.size());
            *text += '"';
        }
        *text += " value_length=" + std::to_string(e.value.size()) + "]";
    }
    return true;
}

}  // namespace AclForm
