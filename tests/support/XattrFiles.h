// ACLs and extended attributes on test files. Each answers false (with
// errno) when the file system refuses, so a test can skip where user
// attributes or ACLs are not supported.
#pragma once

#include <sys/acl.h>
#include <sys/xattr.h>

#include <string>

namespace testfiles {

// Sets the access (or default) ACL of `path` from short text
// ("u::rw-,u:1234:r--,g::r--,m::r--,o::r--").
inline bool SetAcl(const std::string& path, const char* text, bool isDefault = false) {
    acl_t acl = acl_from_text(text);
    if (!acl)
        return false;
    int rc = acl_set_file(path.c_str(), isDefault ? ACL_TYPE_DEFAULT : ACL_TYPE_ACCESS, acl);
    acl_free(acl);
    return rc == 0;
}

inline bool SetXattr(const std::string& path, const std::string& name, const std::string& value) {
    return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

}  // namespace testfiles
