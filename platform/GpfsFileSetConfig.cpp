#include "platform/GpfsFileSetConfig.h"

#include <xercesc/dom/DOM.hpp>

#include <set>

#include "platform/HardenedDomParser.h"
#include "platform/PathUtil.h"
#include "platform/WholeFile.h"
#include "platform/XercesGuard.h"

using namespace XERCES_CPP_NAMESPACE;

namespace App {

namespace {

std::string Attribute(const DOMElement* el, const XMLCh* name) {
    return HardenedDomParser::ToUtf8(el->getAttribute(name));
}

}  // namespace

bool GpfsFileSetConfigList::unserialize(const std::string& xml, const std::string& name, std::string& error) {
    fileSets.clear();
    skipped.clear();
    XercesGuard guard;  // declared first: it outlives every DOM pointer below
    HardenedDomParser* parser = guard.parser();
    if (parser == nullptr) {
        error = guard.error();
        return false;
    }
    DOMDocument* doc = parser->parseMemory(xml, name, error);
    if (doc == nullptr)
        return false;
    const DOMElement* root = doc->getDocumentElement();
    if (root == nullptr || HardenedDomParser::ToUtf8(root->getTagName()) != kGpfsFileSetListRoot) {
        error = name + ": the document is not a " + kGpfsFileSetListRoot;
        return false;
    }
    std::set<std::string> paths;
    unsigned position = 0;
    for (const DOMNode* n = root->getFirstChild(); n; n = n->getNextSibling()) {
        if (n->getNodeType() != DOMNode::ELEMENT_NODE)
            continue;
        const DOMElement* el = static_cast<const DOMElement*>(n);
        if (HardenedDomParser::ToUtf8(el->getTagName()) != kGpfsFileSetElement)
            continue;
        ++position;
        GpfsFileSetConfig c;
        c.fileSetName = Attribute(el, u"name");
        c.fileSetPath = PathUtil::StripTrailingSlashes(Attribute(el, u"path"));
        const char* why = nullptr;
        if (c.fileSetName.empty() || c.fileSetPath.empty())
            why = "a name and a path are required";
        else if (c.fileSetPath[0] != '/')
            why = "the path is not absolute";
        else if (!paths.insert(c.fileSetPath).second)
            why = "the path is listed already";
        if (why) {
            skipped.push_back("file set " + std::to_string(position) + ": " + why);
            continue;
        }
        fileSets.push_back(std::move(c));
    }
    return true;
}

bool GpfsFileSetConfigList::readFile(const std::string& path, std::string& error) {
    fileSets.clear();
    skipped.clear();
    std::string bytes;
    if (!WholeFile::ReadRegular(path, HardenedDomParser::kMaxBytes, bytes, error))
        return false;
    return unserialize(bytes, path, error);
}

}  // namespace App
