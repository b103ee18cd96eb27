// Hard-link collect files are read back by the split and by the streams.
// Feed arbitrary bytes through the group reader: no input may crash it; an
// input it accepts holds only "# /", empty and data lines, every element's
// path is absolute and decodes, and the elements written back as lines read
// back as the same groups. The split's reader, which sorts the lines in
// runs through a temporary file, accepts the same inputs and hands out the
// same lines in the same order.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "hardlinks/HCollectFile.h"
#include "hardlinks/HCollectGroupReader.h"
#include "hardlinks/HCollectLine.h"
#include "hardlinks/HardLinkExceptions.h"
#include "hardlinks/TextLineReader.h"
#include "platform/base/FdIO.h"
#include "platform/text/FileNameEscape.h"

namespace {

bool Read(const std::string& text, HLGroupsMap_t& map) {
    TextLineReader lines;
    lines.OpenMemory(text.data(), text.size());
    try {
        HCollectFile::ReadGroups(lines, "fuzz", map);
        return true;
    } catch (const HardLinkManagerBaseException&) {
        return false;
    }
}

// The lines of the groups in order, as the split takes them.
std::string FromMap(const HLGroupsMap_t& map) {
    std::string out;
    for (const auto& kv : map)
        for (size_t i = 0; i < kv.second.size(); ++i)
            out += (i ? "+" : "") + kv.second[i].path + " " + std::to_string(kv.second[i].ctime) + "\n";
    return out;
}

// The same from the split's reader over the bytes, in runs of 3 lines.
// False when it refuses them.
bool FromSplitReader(const std::string& text, std::string& out) {
    ScopedFd fd(memfd_create("hcollect", MFD_CLOEXEC));
    if (!fd.valid() || ruxen::writeAll(fd.get(), text.data(), text.size()) != 0)
        abort();
    HCollectGroupReader groups(false, 3);
    try {
        groups.Read(std::move(fd), "fuzz");
        HLinkGroupElement e;
        for (bool first; groups.Next(e, first);)
            out += (first ? "" : "+") + e.path + " " + std::to_string(e.ctime) + "\n";
        return true;
    } catch (const HardLinkManagerBaseException&) {
        return false;
    }
}

}  // namespace

// Past the line reader's bound of 1 MiB.
RUXEN_FUZZ_MAX_LEN((1u << 20) + 64)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();  // refused lines are logged at the failure level
    const std::string text(reinterpret_cast<const char*>(data), size);
    HLGroupsMap_t map;
    const bool accepted = Read(text, map);
    std::string sorted;
    if (FromSplitReader(text, sorted) != accepted || (accepted && FromMap(map) != sorted))
        abort();
    if (!accepted)
        return 0;
    size_t dataLines = 0;
    for (size_t pos = 0; pos < size;) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = size;
        std::string line = text.substr(pos, nl - pos);
        size_t lead = line.find_first_not_of(' ');
        if (!line.empty() && line.compare(lead == std::string::npos ? 0 : lead, std::string::npos, "# /") != 0)
            ++dataLines;
        pos = nl + 1;
    }
    std::string again = kHCollectHeaderLine;
    size_t elements = 0;
    std::string decoded;
    for (const auto& kv : map) {
        for (const HLinkGroupElement& e : kv.second) {
            if (e.path.empty() || e.path[0] != '/' || HLGroupKey(e.inode, e.device) != kv.first ||
                !ruxen::unescapeFileName(e.path.data(), e.path.size(), decoded, nullptr))
                abort();
            AppendHCollectLine(again, e.inode, e.device, e.ctime, e.size, e.path.data(), e.path.size());
            ++elements;
        }
    }
    if (elements != dataLines)
        abort();  // a line was lost or invented
    HLGroupsMap_t back;
    if (!Read(again, back) || back.size() != map.size())
        abort();
    for (const auto& kv : map) {
        const auto& other = back.at(kv.first);
        if (other.size() != kv.second.size())
            abort();
        for (size_t i = 0; i < other.size(); ++i)
            if (!other[i].IsSameAs(kv.second[i]) || other[i].path != kv.second[i].path)
                abort();
    }
    return 0;
}
