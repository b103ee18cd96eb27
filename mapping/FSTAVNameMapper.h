// The name mapper of file-system jobs: prefix replacements on whole
// components.
//
// Every "from" and "to" is kept ending in '/', so /data/ matches /data/x and
// /data but never /database. Records are the original mount paths of
// snapshot devices, and mounts nest ("/" and "/home"): of several matching
// froms the LONGEST wins, so /home/u/f is read from the /home snapshot, not
// from the root snapshot's empty mount-point directory.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mapping/TAVNameMapper.h"
#include "platform/base/Export.h"

class RUXEN_EXPORT FSTAVNameMapper : public TAVNameMapper {
public:
    using Pair = std::pair<std::string, std::string>;  // from, to

    // Ignored when either is null or empty, when both are the same, or when
    // the from is already known (the first record of a prefix wins).
    void add(const char* from, const char* to) override;
    void clear() override { m_pairs.clear(); }
    std::string mapName(const char* name, bool* mapped) override;
    // A null name answers false with `out` empty.
    bool mapName(const char* name, std::string& out, bool* mapped) override;

    // Ascending strcmp order of from.
    static bool mapCompare(const Pair& a, const Pair& b);
    const std::vector<Pair>& pairs() const { return m_pairs; }

private:
    std::string m_name;
    std::vector<Pair> m_pairs;  // sorted by mapCompare
};
