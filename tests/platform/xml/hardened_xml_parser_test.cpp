#include <gtest/gtest.h>

#include <sys/stat.h>

#include <xercesc/util/OutOfMemoryException.hpp>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/TestControl.h"
#include "platform/xml/HardenedXmlParser.h"
#include "platform/xml/XmlLibrary.h"
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

// `depth` elements, each inside the one before; `cut`: no end tag.
std::string Nested(size_t depth, bool cut) {
    std::string xml;
    for (size_t i = 0; i < depth; ++i)
        xml += "<a>";
    for (size_t i = 0; !cut && i < depth; ++i)
        xml += "</a>";
    return xml;
}

// Writes what it is handed, one line per call: "<depth> <name> k=v ..." or
// "<depth> content".
class Recorder : public HardenedXmlParser::Handler {
public:
    void StartElement(unsigned depth, const std::string& name,
                      const std::map<std::string, std::string>& attributes) override {
        text += std::to_string(depth) + " " + name;
        for (const auto& kv : attributes)
            text += " " + kv.first + "=" + kv.second;
        text += "\n";
    }
    void Content(unsigned depth) override { text += std::to_string(depth) + " content\n"; }
    std::string text;
};

TEST(HardenedXmlParser, AcceptsPlainDocumentsOnly) {
    testfiles::TempDir dir;
    testfiles::WriteWholeFile(dir / "secret", "SECRET");
    const std::string plain = "<r a=\"\xC3\xA9\xF0\x9F\x98\x80&amp;\"><c b=\"1\"/><!--x--></r>";
    const struct {
        std::string xml;
        const char* errorPart;  // null: accepted
    } cases[] = {
        {plain, nullptr},
        {"<r a=\"1\"><c/>", "line"},  // cut short
        {"<r><c></r>", "line"},       // mismatched
        {"", "line"},                 // nothing at all
        {"<r/><r/>", "line"},         // two roots
        {"<!DOCTYPE r SYSTEM \"" + (dir / "secret") + "\"><r/>", "DOCTYPE"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"" + (dir / "secret") + "\">]><r>&e;</r>", "DOCTYPE"},
        {Bomb(), "DOCTYPE"},
        // Refused where the declaration starts: its broken subset is never read.
        {"<!DOCTYPE r [ <!ENTITY broken ", "a DOCTYPE is not accepted"},
        // A string is bounded like a file.
        {"<r>" + std::string(HardenedXmlParser::kMaxBytes, ' ') + "</r>", "larger than 16777216 bytes"},
        // Nesting is bounded where the first element too deep starts.
        {Nested(HardenedXmlParser::kMaxDepth + 1, false), "line 1, column 772: elements nested deeper than 256 levels"},
        {Nested(2000000, true), "line 1, column 772: elements nested deeper than 256 levels"},
        {plain, nullptr},  // the parser is whole again after every refusal
    };
    for (const auto& c : cases) {
        Recorder seen;
        std::string error;
        const bool ok = HardenedXmlParser::ParseMemory(c.xml, "input", seen, error);
        if (c.errorPart == nullptr) {
            ASSERT_TRUE(ok) << error;
            EXPECT_EQ(error, "");
            EXPECT_EQ(seen.text, "0 r a=\xC3\xA9\xF0\x9F\x98\x80&\n1 c b=1\n0 content\n");
        } else {
            EXPECT_FALSE(ok) << c.xml.substr(0, 200);
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
            EXPECT_EQ(error.find("SECRET"), std::string::npos) << error;
            EXPECT_EQ(seen.text.find("SECRET"), std::string::npos) << seen.text;
        }
    }
    Recorder deepest;
    std::string error;
    EXPECT_TRUE(HardenedXmlParser::ParseMemory(Nested(HardenedXmlParser::kMaxDepth, false), "input", deepest, error))
        << error;
}

// Whatever a handler throws ends the parse as a failure, never leaves it;
// nor does what a callback of the library's throws, though none should.
TEST(HardenedXmlParser, NothingThrownLeavesAParse) {
    struct Thrower : HardenedXmlParser::Handler {
        int kind = 0;
        void StartElement(unsigned, const std::string&, const std::map<std::string, std::string>&) override {
            switch (kind) {
            case 0:
                throw std::runtime_error("handler gave up");
            case 1:
                throw std::bad_alloc();
            default:
                throw 7;
            }
        }
    };
    const char* const expected[] = {"input: handler gave up", "input: out of memory", "input: the XML reader failed"};
    for (int kind = 0; kind < 3; ++kind) {
        Thrower t;
        t.kind = kind;
        std::string error;
        EXPECT_FALSE(HardenedXmlParser::ParseMemory("<r/>", "input", t, error));
        EXPECT_EQ(error, expected[kind]);
    }

    std::string error;
    RuxenXmlEvents events{};
    events.context = &error;
    events.startElement = [](void*, unsigned, const char*, const RuxenXmlAttribute*, size_t) -> int {
        throw XERCES_CPP_NAMESPACE::OutOfMemoryException();
    };
    events.content = [](void*, unsigned) { return 0; };
    events.failure = [](void* e, const char* text, size_t length) {
        static_cast<std::string*>(e)->assign(text, length);
    };
    EXPECT_NE(ruxen_xml_api(RUXEN_XML_API_VERSION)->parseMemory("<r/>", 4, "input", &events), 0);
    EXPECT_EQ(error, "input: out of memory");
    EXPECT_EQ(ruxen_xml_api(RUXEN_XML_API_VERSION + 1), nullptr);
}

// The first parses of a process may come on several threads at once; after
// a reset the library is set up anew.
TEST(HardenedXmlParser, FirstLoadOnManyThreads) {
    for (int round = 0; round < 2; ++round) {
        ruxen::testcontrol::ResetXmlLibrary();
        std::vector<std::thread> threads;
        std::vector<std::string> seen(8);
        for (std::string& text : seen)
            threads.emplace_back([&text] {
                Recorder r;
                std::string error;
                for (int i = 0; i < 20 && HardenedXmlParser::ParseMemory("<r><c b=\"1\"/></r>", "t", r, error);)
                    ++i;
                text = error.empty() ? r.text.substr(0, 12) + std::to_string(r.text.size()) : error;
            });
        for (std::thread& t : threads)
            t.join();
        for (const std::string& text : seen)
            EXPECT_EQ(text, "0 r\n1 c b=1\n240");  // 20 whole parses
    }
}

TEST(HardenedXmlParser, ReadsOnlyRegularFiles) {
    testfiles::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    testfiles::WriteWholeFile(dir / "ok.xml", "<r/>");
    Recorder seen;
    std::string error;
    EXPECT_TRUE(HardenedXmlParser::ParseFile(dir / "ok.xml", seen, error)) << error;
    for (const char* name : {"fifo", "missing", ""}) {
        EXPECT_FALSE(HardenedXmlParser::ParseFile(dir / name, seen, error)) << name;
        EXPECT_NE(error.find(dir.path()), std::string::npos) << error;
    }
}

}  // namespace
