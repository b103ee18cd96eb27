#include "platform/agent/GpfsFileSetConfig.h"

#include <set>

#include "platform/text/PathUtil.h"
#include "platform/text/WholeFile.h"
#include "platform/xml/HardenedXmlParser.h"

namespace App {

namespace {

// Keeps the fileSet elements right under the document element, or names
// those it skips and why.
class FileSetCollector : public HardenedXmlParser::Handler {
public:
    FileSetCollector(std::vector<GpfsFileSetConfig>& fileSets, std::vector<std::string>& skipped)
        : m_fileSets(fileSets), m_skipped(skipped) {}

    bool rightRoot() const { return m_rightRoot; }

    void StartElement(unsigned depth, const std::string& name,
                      const std::map<std::string, std::string>& attributes) override {
        if (depth == 0)
            m_rightRoot = name == kGpfsFileSetListRoot;
        if (depth != 1 || !m_rightRoot || name != kGpfsFileSetElement)
            return;
        ++m_position;
        GpfsFileSetConfig c;
        auto it = attributes.find("name");
        if (it != attributes.end())
            c.fileSetName = it->second;
        if ((it = attributes.find("path")) != attributes.end())
            c.fileSetPath = PathUtil::StripTrailingSlashes(it->second);
        const char* why = nullptr;
        if (c.fileSetName.empty() || c.fileSetPath.empty())
            why = "a name and a path are required";
        else if (c.fileSetPath[0] != '/')
            why = "the path is not absolute";
        else if (!m_paths.insert(c.fileSetPath).second)
            why = "the path is listed already";
        if (why)
            m_skipped.push_back("file set " + std::to_string(m_position) + ": " + why);
        else
            m_fileSets.push_back(std::move(c));
    }

private:
    std::vector<GpfsFileSetConfig>& m_fileSets;
    std::vector<std::string>& m_skipped;
    std::set<std::string> m_paths;
    unsigned m_position = 0;
    bool m_rightRoot = false;
};

}  // namespace

bool GpfsFileSetConfigList::unserialize(const std::string& xml, const std::string& name, std::string& error) {
    fileSets.clear();
    skipped.clear();
    FileSetCollector collector(fileSets, skipped);
    bool ok = HardenedXmlParser::ParseMemory(xml, name, collector, error);
    if (ok && !collector.rightRoot()) {
        error = name + ": the document is not a " + kGpfsFileSetListRoot;
        ok = false;
    }
    if (!ok) {
        fileSets.clear();
        skipped.clear();
    }
    return ok;
}

bool GpfsFileSetConfigList::readFile(const std::string& path, std::string& error) {
    fileSets.clear();
    skipped.clear();
    std::string bytes;
    if (!WholeFile::ReadRegular(path, HardenedXmlParser::kMaxBytes, bytes, error))
        return false;
    return unserialize(bytes, path, error);
}

}  // namespace App
