#include "platform/agent/PermissibleAncestor.h"

std::string FindPermissibleAncestor(const std::string& path, size_t maxLength, char separator) {
    if (path.empty() || path[0] != separator)
        return std::string();
    // The last separator within the bound that ends a proper ancestor.
    size_t limit = path.size() > 0 ? path.size() - 1 : 0;
    if (limit > maxLength)
        limit = maxLength;
    size_t cut = path.rfind(separator, limit);
    while (cut > 0 && path[cut - 1] == separator)
        --cut;  // a doubled separator belongs to the cut
    return cut == 0 ? std::string(1, separator) : path.substr(0, cut);
}
