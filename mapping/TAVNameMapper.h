// A name mapper rewrites a path prefix: a path as the collect file records it
// becomes the path under which the item is read (snapshot name-mapping
// records that the parent sends each child).
#pragma once

#include <string>

#include "platform/base/Export.h"

class RUXEN_EXPORT TAVNameMapper {
public:
    virtual ~TAVNameMapper() = default;
    // The mapped name (the name itself when nothing matched); *mapped, when
    // given, tells whether a prefix matched. A name with a "." or ".."
    // component is refused whether a prefix matches it or not (it could
    // lead out of the mapped tree, or past the map): "", not mapped, errno
    // EINVAL.
    virtual std::string mapName(const char* name, bool* mapped) = 0;
    // The same into `out`; answers whether a prefix matched.
    virtual bool mapName(const char* name, std::string& out, bool* mapped) = 0;
    virtual void add(const char* /*from*/, const char* /*to*/) {}
    virtual void clear() {}
};
