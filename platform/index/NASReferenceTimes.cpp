#include "platform/index/NASReferenceTimes.h"

#include "platform/base/NumberParse.h"
#include "platform/text/TabLineFile.h"

namespace NAS {

namespace {

constexpr size_t kMaxLine = 16384;

bool writable(const std::string& s) { return s.find_first_of(std::string("\t\n\r\0", 4)) == std::string::npos; }

}  // namespace

std::string Backup_ReferenceTimesList::toText() const {
    std::string out = "RXREFTIMES\t1\nprevjob\t" + std::to_string(prevJobId) + "\n";
    for (const Backup_ReferenceTimes& e : elements) {
        for (const std::string* f : {&e.backupPath, &e.prevVolumePath, &e.prevFullSnap, &e.prevIncrSnap})
            if (!writable(*f))
                return std::string();
        out += "ref\t" + e.backupPath + "\t" + e.prevVolumePath + "\t" + e.prevFullSnap + "\t" + e.prevIncrSnap + "\n";
    }
    return out;
}

bool Backup_ReferenceTimesList::fromText(const std::string& text) {
    prevJobId = 0;
    elements.clear();
    std::vector<TabLine> lines;
    std::string error;
    if (!TabLineFile::Parse(text, "reference times", kMaxLine, lines, error) || lines.size() < 2 ||
        lines[0].fields != std::vector<std::string>{"RXREFTIMES", "1"} || lines[1].fields.size() != 2 ||
        lines[1].fields[0] != "prevjob" || !NumberParse::Int64(lines[1].fields[1], prevJobId)) {
        prevJobId = 0;
        return false;
    }
    for (size_t i = 2; i < lines.size(); ++i) {
        const std::vector<std::string>& f = lines[i].fields;
        if (f.size() != 5 || f[0] != "ref") {
            prevJobId = 0;
            elements.clear();
            return false;
        }
        elements.push_back(Backup_ReferenceTimes{f[1], f[2], f[3], f[4]});
    }
    return true;
}

}  // namespace NAS
