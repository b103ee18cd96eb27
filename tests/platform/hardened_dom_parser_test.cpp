#include <gtest/gtest.h>

#include <sys/stat.h>

#include <xercesc/dom/DOM.hpp>

#include <string>

#include "platform/HardenedDomParser.h"
#include "platform/XercesGuard.h"
#include "support/TestFiles.h"

namespace {

// Ten entities, each ten references to the one before: 10^10 bytes if expanded.
std::string Bomb() {
    std::string dtd = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'j'; ++c) {
        dtd += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i)
            dtd += std::string("&") + char(c - 1) + ";";
        dtd += "\">";
    }
    return dtd + "]><r>&j;</r>";
}

TEST(HardenedDomParser, AcceptsPlainDocumentsOnly) {
    testfiles::TempDir dir;
    testfiles::WriteWholeFile(dir / "secret", "SECRET");
    const struct {
        std::string xml;
        const char* errorPart;  // null: accepted
    } cases[] = {
        {"<r a=\"\xC3\xA9\"><c/></r>", nullptr},
        {"<r a=\"1\"><c/>", "line"},                                   // cut short
        {"<r><c></r>", "line"},                                        // mismatched
        {"", "line"},                                                  // nothing at all
        {"<r/><r/>", "line"},                                          // two roots
        {"<!DOCTYPE r SYSTEM \"" + (dir / "secret") + "\"><r/>", "DOCTYPE"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"" + (dir / "secret") + "\">]><r>&e;</r>", "unable to open external entity"},
        {Bomb(), "entity expansions"},
    };
    XercesGuard guard;
    ASSERT_TRUE(guard.ok()) << guard.error();
    HardenedDomParser* parser = guard.parser();
    ASSERT_NE(parser, nullptr);
    for (const auto& c : cases) {
        std::string error;
        auto* doc = parser->parseMemory(c.xml, "input", error);
        if (c.errorPart == nullptr) {
            ASSERT_NE(doc, nullptr) << error;
            EXPECT_EQ(error, "");
            auto* root = doc->getDocumentElement();
            EXPECT_EQ(HardenedDomParser::ToUtf8(root->getAttribute(u"a")), "\xC3\xA9");
        } else {
            EXPECT_EQ(doc, nullptr) << c.xml;
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
            EXPECT_EQ(error.find("SECRET"), std::string::npos) << error;
        }
    }
}

TEST(HardenedDomParser, ReadsOnlyRegularFiles) {
    testfiles::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    testfiles::WriteWholeFile(dir / "ok.xml", "<r/>");
    XercesGuard outer;
    XercesGuard guard;  // guards nest
    std::string error;
    EXPECT_NE(guard.parser()->parseFile(dir / "ok.xml", error), nullptr) << error;
    for (const char* name : {"fifo", "missing", ""}) {
        EXPECT_EQ(guard.parser()->parseFile(dir / name, error), nullptr) << name;
        EXPECT_NE(error.find(dir.path()), std::string::npos) << error;
    }
}

}  // namespace
