// libruxen.so does not link the XML library: a host maps Xerces (and what
// it brings) only once it parses XML, and finds libruxen_xml.so beside
// libruxen.so wherever both are; without it a rules load fails as an
// unreadable file does, with the reason, and the host goes on. Each case
// runs xml_library_probe with libruxen.so found where the case puts it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string Output(const std::string& command, int& status) {
    FILE* out = popen(command.c_str(), "r");
    std::string text;
    if (out == nullptr)
        return text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;)
        text.append(buf, n);
    status = pclose(out);
    return text;
}

TEST(XmlLibrary, LoadedBesideLibruxenOnFirstParse) {
    char tmpl[] = "/tmp/ruxen_xmllib_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, lib = RUXEN_LIB_DIR;
    std::ofstream(dir + "/rules.xml")
        << "<App_JobErrorDecisionRuleList><ruleList pattern=\"/d/*\" jobDecision=\"2\"><errorCode "
           "allErrorCodes=\"1\" fromValue=\"0\" toValue=\"0\"/></ruleList></App_JobErrorDecisionRuleList>";
    const struct {
        const char* name;
        const char* copies;  // into dir/libs, found first; null: as built
        std::string expected;
    } cases[] = {
        {"as built", nullptr, "before xerces=0 xml=-\nloaded=1\nafter xerces=1 xml=" + lib + "/libruxen_xml.so\n"},
        {"installed together", "libruxen.so libruxen_xml.so",
         "before xerces=0 xml=-\nloaded=1\nafter xerces=1 xml=" + dir + "/libs/libruxen_xml.so\n"},
        {"XML library missing", "libruxen.so",
         "before xerces=0 xml=-\nloaded=0\nafter xerces=0 xml=-\nlog: Failed to parse XML file rules.xml: XML "
         "support is not available: " +
             dir + "/libs/libruxen_xml.so: cannot open shared object file: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        std::string command = "cd '" + dir + "' && ";
        if (c.copies)
            command += "rm -rf libs && mkdir libs && (cd '" + lib + "' && cp " + c.copies + " '" + dir +
                       "/libs') && LD_LIBRARY_PATH='" + dir + "/libs' ";
        int status = -1;
        EXPECT_EQ(Output(command + "'" RUXEN_BIN_DIR "/xml_library_probe' rules.xml", status), c.expected) << c.name;
        EXPECT_EQ(status, 0) << c.name;
    }
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

}  // namespace
