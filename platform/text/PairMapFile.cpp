#include "platform/text/PairMapFile.h"

#include <set>

#include "platform/text/PathUtil.h"
#include "platform/text/TabLineFile.h"

namespace {

bool check(const std::vector<TabLine>& lines, const std::string& name, PairMapFile::Pairs& out, std::string& error) {
    std::set<std::string> firsts;
    for (const TabLine& l : lines) {
        const std::vector<std::string>& f = l.fields;
        const char* what = nullptr;
        if (f.size() != 2)
            what = "expected two paths separated by one TAB";
        else if (f[0].empty() || f[0][0] != '/' || f[1].empty() || f[1][0] != '/')
            what = "both paths must be absolute";
        else if (!firsts.insert(PathUtil::StripTrailingSlashes(f[0])).second)
            what = "the first path is given twice";
        if (what != nullptr) {
            error = TabLineFile::LineError(name, l.lineNo, what);
            out.clear();
            return false;
        }
        out.emplace_back(f[0], f[1]);
    }
    return true;
}

}  // namespace

bool PairMapFile::Parse(const std::string& text, const std::string& name, Pairs& out, std::string& error) {
    out.clear();
    std::vector<TabLine> lines;
    return TabLineFile::Parse(text, name, kMaxLineBytes, lines, error) && check(lines, name, out, error);
}

bool PairMapFile::Read(const std::string& path, Pairs& out, std::string& error) {
    out.clear();
    std::vector<TabLine> lines;
    return TabLineFile::Read(path, kMaxLineBytes, lines, error) && check(lines, path, out, error);
}
