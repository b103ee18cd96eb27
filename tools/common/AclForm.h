// Decodes the network form of access-control lists and extended attributes
// that an optional header (record 129) of type KxACL::kOptHeaderType
// carries (platform/os/KxACLHelper.h gives the layout), for ruxen-dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os/KxACLHelper.h"

namespace AclForm {

// The entries of a whole form. False with *why when the bytes are not one
// form: a wrong version, a count or length running past the end, an
// unknown kind, an ACL with a name or an attribute without one, or bytes
// left over.
bool Decode(const char* data, size_t size, std::vector<KxACL::Entry>* out, const char** why);

// The entries as text for a dump line:
//   entries=<n> [ACL_ACCESS value_length=<n>] [ACL_DEFAULT value_length=<n>]
//   [XATTR name="<name>" value_length=<n>]
bool Describe(const char* data, size_t size, std::string* text, const char** why);

}  // namespace AclForm
