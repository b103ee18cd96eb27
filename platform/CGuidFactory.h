// GUIDs. Name-based (SHA-1, RFC 4122 version 5) so that the same inputs give
// the same GUID in every run and on every host: an object backed up twice
// keeps its object GUID.
#pragma once

#include <string>

class CGuidFactory {
public:
    // The GUID of `name` within the namespace named by `space`, as the
    // 36-character lower-case text form.
    static std::string NameGuid(const std::string& space, const std::string& name);

    // The GUID of a path without a per-client salt (the long-path substitute
    // names use it).
    static std::string get_guid_nosalt(const std::string& path);
};
