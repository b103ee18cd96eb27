// The parameter blocks the filter-file parser fills: four exclusion and
// inclusion lists and the two SC lists, in the file form (LINK_LIST nodes)
// and the stream form (lists of ListElement_n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <list>
#include <string>

#include "platform/content/LINK_LIST.h"

// A LINK_LIST node of the file form: a 32-bit code followed by the item's
// NUL-terminated text.
struct FilterListNode {
    int32_t code;
    char item[4];  // the text runs on past the declared size
};
static_assert(offsetof(FilterListNode, item) == 4, "the text follows the code");

// Appends a node; false when memory runs out.
bool AddFilterNode(LINK_LIST& list, int32_t code, const std::string& item);
inline const FilterListNode* FilterNode(const LINK_LIST& list, int n) {
    return static_cast<const FilterListNode*>(list.GetNode(n));
}

struct FilterParamBlock {
    LINK_LIST excludeDirs;   // directories and wildcards to leave out
    LINK_LIST includeDirs;   // directories (and include wildcards) kept in
    LINK_LIST excludeFiles;  // files to leave out
    LINK_LIST includeFiles;  // files and wildcards kept in
    FILE* file = nullptr;    // the open filter file
    LINK_LIST scNoDirs;
    LINK_LIST scDirNames;
};

struct ListElement_n {
    int32_t code = 0;
    std::string item;
    int32_t value = 0;  // carried along; the parser does not set it
};

struct FilterParamBlock_s {
    std::list<ListElement_n> excludeDirs;
    std::list<ListElement_n> includeDirs;
    std::list<ListElement_n> excludeFiles;
    std::list<ListElement_n> includeFiles;
    std::istream* input = nullptr;  // the filter file
    std::list<ListElement_n> scNoDirs;
    std::list<ListElement_n> scDirNames;
};
