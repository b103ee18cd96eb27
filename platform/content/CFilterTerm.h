// A term of the scan program's filters.
#pragma once

#include <string>

class CFilterTerm {
public:
    // Whether the item is a wildcard pattern ('*', '?' or '[').
    static bool IsWildcardItem(const std::string& item) { return item.find_first_of("*?[") != std::string::npos; }
};
