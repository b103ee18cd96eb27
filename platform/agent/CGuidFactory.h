// GUIDs. Name-based (SHA-1, RFC 4122 version 5) so that the same inputs give
// the same GUID in every run and on every host: an object backed up twice
// keeps its object GUID.
#pragma once

#include <cstddef>
#include <string>

#include <boost/uuid/uuid.hpp>

class CGuidFactory {
public:
    // The GUID of `name` within the namespace named by `space`, as the
    // 36-character lower-case text form.
    static std::string NameGuid(const std::string& space, const std::string& name);

    // For many names in one space: the space is made once, and
    // NameGuidIn(SpaceOf(s), n) == NameGuid(s, n).
    static boost::uuids::uuid SpaceOf(const std::string& space);
    static std::string NameGuidIn(const boost::uuids::uuid& space, const char* name, size_t length);

    // The GUID of a path without a per-client salt (the long-path substitute
    // names use it).
    static std::string get_guid_nosalt(const std::string& path);
};
