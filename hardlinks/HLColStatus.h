// One collect file within a hard-link group of the split configuration, and
// the predicates over it.
#pragma once

#include <cstdint>
#include <string>

#include "hardlinks/SplitConfigLine.h"

struct _HLColStatus {
    _HLColStatus() = default;
    explicit _HLColStatus(const CollectToken& t) : token(t.str()), parsed(t) {}

    std::string token;    // "H<n>" or "<n>", as written in the configuration
    int32_t status = 0;   // 0 not yet processed, 1 processed (completed or given up)
    CollectToken parsed;  // the token read once
};

// A hard-link collect file not yet processed.
struct IfHLColFileRemainingToBeProcessed {
    bool operator()(const _HLColStatus& e) const { return e.parsed.hardLink && e.status == 0; }
};

// Hn.
struct IfHardLinkCollectFile {
    int32_t n;
    bool operator()(const _HLColStatus& e) const { return e.parsed.hardLink && e.parsed.number == n; }
};

// The regular collect file n.
struct IfRegularCollectFile {
    int32_t n;
    bool operator()(const _HLColStatus& e) const { return !e.parsed.hardLink && e.parsed.number == n; }
};

// A token that does not begin with H.
struct IfNotHardLinkCollectFile {
    bool operator()(const std::string& token) const { return token.empty() || token[0] != 'H'; }
};
