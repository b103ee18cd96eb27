// Content expansion: a content item may name well-known places through
// monikers ("%Temporary Files%"), which the resolver expands into the paths
// they stand for on this machine.
//
// The stand-in keeps a process-wide table of monikers and their paths that
// the host (or a test) registers. An item holding a registered moniker
// expands into one item per path, the moniker's first occurrence replaced by
// the path; an item holding none expands into nothing. Tests can make each
// step fail.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/base/CTyError.h"

class CContentItem {
public:
    // Null when the item cannot be made.
    static std::unique_ptr<CContentItem> Create(const std::string& text);
    const std::string& Text() const { return m_text; }

private:
    explicit CContentItem(std::string text) : m_text(std::move(text)) {}
    std::string m_text;
};

class CMonikerResolver {
public:
    // Null when the resolver cannot be made.
    static std::unique_ptr<CMonikerResolver> Create();

    // Replaces `out` with the expansion of the item (empty: nothing to expand).
    CTyError ExpandMonikers(const CContentItem& item, std::vector<std::string>& out);

    static void RegisterMoniker(const std::string& moniker, const std::vector<std::string>& paths);

private:
    CMonikerResolver() = default;
};
