// The splitter's second pass reads back the size-annotated per-mount file it
// wrote, which may since have been changed. Here that file holds arbitrary
// bytes: a split may fail, but then the file is put back byte for byte and
// nothing else is left; when it succeeds, the files made hold the file's
// lines without their sizes, in order, and every line parses as a collect
// line, a blank and a size that prints back the same.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "platform/base/TestControl.h"
#include "ruxen/CCollectFileSplitter.h"

namespace {

const std::string& Dir() {
    static const std::string dir = [] {
        // A one-line mount table: the real one is read on every run.
        const std::string mounts = fuzzsupport::ScratchFile("mounts");
        fuzzsupport::WriteInput(mounts, reinterpret_cast<const uint8_t*>("root / ext4 rw 0 0\n"), 19);
        ruxen::testcontrol::SetMountTablePath(mounts.c_str());
        return fuzzsupport::ScratchDir();
    }();
    return dir;
}

// The file's content, or "-" when it cannot be opened.
std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "-";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

// Past the line reader's bound of 1 MiB.
RUXEN_FUZZ_MAX_LEN((1u << 20) + 64)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string dir = Dir(), collect = dir + "/in.kxf", first = dir + "/C_1";
    const std::string input(reinterpret_cast<const char*>(data), size);
    fuzzsupport::WriteInput(collect, reinterpret_cast<const uint8_t*>("/\n"), 2);
    EvEvent event;
    CCollectFileSplitter splitter(event);
    if (splitter.splitBasedOnMountPoints(collect.c_str(), dir.c_str(), "C", "").IsError())
        abort();
    fuzzsupport::WriteInput(first, data, size);

    const bool ok = splitter.splitEachMountCollectFile(3).IsSuccess();
    std::string made = Read(first);
    for (int n = 2; n <= 4; ++n) {
        const std::string part = Read(dir + "/C_" + std::to_string(n));
        if (part != "-" && (!ok || n == 4))
            abort();  // a file left by a failed split, or more than three
        if (part != "-")
            made += part;
        unlink((dir + "/C_" + std::to_string(n)).c_str());
    }
    if (!ok) {
        if (made != input || Read(first + ".b4split") != "-" || Read(dir + "/diskColMap.txt") != "-")
            abort();
        return 0;
    }
    std::string expect;
    size_t pos = 0;
    while (pos < size) {
        size_t nl = input.find('\n', pos);
        if (nl == std::string::npos)
            nl = size;
        const std::string line = input.substr(pos, nl - pos);
        size_t length = 0;
        int64_t value = 0;
        if (!CCollectFileSplitter::ParseSizedLine(line.data(), line.size(), length, value) || length == 0 ||
            line[length] != ' ')
            abort();
        const std::string digits = line.substr(length + 1);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
            std::to_string(value) != digits.substr(std::min(digits.find_first_not_of('0'), digits.size() - 1)))
            abort();  // the size prints back the same, but for leading zeros
        expect += line.substr(0, length) + "\n";
        pos = nl + 1;
    }
    if (made != expect || Read(first + ".b4split") != input)
        abort();
    unlink((first + ".b4split").c_str());
    unlink((dir + "/diskColMap.txt").c_str());
    return 0;
}
