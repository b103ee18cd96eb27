#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/TestControl.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("RUXEN_REGISTRY");
        ruxen::testcontrol::ResetRegistry();
    }
    void TearDown() override {
        unsetenv("RUXEN_REGISTRY");
        ruxen::testcontrol::ResetRegistry();
    }
    std::string writeFile(const std::string& name, const std::string& text) {
        std::string path = dir_ / name;
        testfiles::WriteWholeFile(path, text);
        return path;
    }

    testfiles::TempDir dir_;
    testfiles::LogCapture log_;
};

const char* const kFsa = kFileSystemAgentSection;

// The value, or "<absent>".
std::string Get(const char* section, const char* key) {
    std::string s = "<absent>";
    KXPlatformInfo::getString(section, key, s);
    return s;
}

struct Expect {
    const char* section;
    const char* key;
    const char* value;
};

void ExpectValues(std::initializer_list<Expect> values) {
    for (const Expect& e : values)
        EXPECT_EQ(Get(e.section, e.key), e.value) << e.section << "/" << e.key;
}

TEST_F(RegistryTest, ParsesSectionsCommentsBlanksAndDuplicates) {
    std::string path = writeFile("reg.ini",
                                 "# a comment\n"
                                 "; another comment\n"
                                 "\n"
                                 "  [ FileSystemAgent ]  \r\n"
                                 "  sCLASSIC_ARBITRATION =  Y  \r\n"
                                 "sEmpty=\n"
                                 "sPath = /a/b=c # not a comment\n"
                                 "nValue=1\n"
                                 "nValue=2\n"
                                 "[Session]\n"
                                 "dFBRDIR=/opt/fbr\n");
    std::string error;
    ASSERT_TRUE(KXPlatformInfo::loadFile(path, &error)) << error;
    ExpectValues({
        {kFsa, "sCLASSIC_ARBITRATION", "Y"},
        {kFsa, "sPath", "/a/b=c # not a comment"},
        {"Session", "dFBRDIR", "/opt/fbr"},
        {kFsa, "sEmpty", ""},  // present but empty differs from absent
        {kFsa, "sMissing", "<absent>"},
        {kFsa, "nValue", "2"},  // the later line wins
        // Names compare exactly, and a key belongs to its own section only.
        {kFsa, "sclassic_arbitration", "<absent>"},
        {"filesystemagent", "sCLASSIC_ARBITRATION", "<absent>"},
        {"Session", "nValue", "<absent>"},
    });
}

TEST_F(RegistryTest, MalformedLinesAreLoggedAndSkipped) {
    std::string text = "orphan=1\n"
                       "[FileSystemAgent]\n"
                       "good=1\n"
                       "no equals sign here\n"
                       "=value without key\n"
                       "nul=a";
    text += '\0';
    text += "b\n"
            "[Broken\n"
            "lost=1\n"
            "[]\n"
            "lost2=1\n"
            "[Session]\n"
            "kept=1\n";
    text += std::string("[Other\0]\n", 9);
    text += "lost3=1\n"
            "[Session]\n"
            "after=2\n"
            "last=3";  // no final line feed
    ASSERT_TRUE(KXPlatformInfo::loadFile(writeFile("bad.ini", text), nullptr));

    std::string log = log_.Take();
    for (const char* line : {"line 1: key orphan outside a section", "line 4: no \"=\"", "line 5: empty key",
                             "line 6: NUL byte", "line 7: malformed section line \"[Broken\"",
                             "line 9: malformed section line \"[]\"",
                             "line 13: NUL byte in section line, skipped with its keys"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    // Keys after a malformed section line land nowhere, not in the previous section.
    ExpectValues({
        {kFsa, "good", "1"}, {kFsa, "orphan", "<absent>"}, {kFsa, "nul", "<absent>"},
        {kFsa, "lost", "<absent>"}, {kFsa, "lost2", "<absent>"}, {"Session", "kept", "1"},
        {"Session", "lost3", "<absent>"}, {"Session", "after", "2"}, {"Session", "last", "3"},
    });
}

TEST_F(RegistryTest, NumbersAndBooleans) {
    const std::pair<const char*, long> numbers[] = {
        {"42", 42}, {"-7", -7}, {"0x1F", 31}, {"0XfF", 255}, {"010", 10},  // a leading zero is still decimal
    };
    for (const auto& c : numbers) {
        KXPlatformInfo::setValue(kFsa, "n", c.first);
        long n = 0;
        EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "n", n)) << c.first;
        EXPECT_EQ(n, c.second) << c.first;
    }
    for (const char* bad : {"", "12abc", "abc", "0x", "0xG", "- 5", "1 2", "0x-5",
                            "99999999999999999999", "0x10000000000000000"}) {
        KXPlatformInfo::setValue(kFsa, "bad", bad);
        long n = 1234;
        EXPECT_FALSE(KXPlatformInfo::getNumber(kFsa, "bad", n)) << "'" << bad << "'";
        EXPECT_EQ(n, 1234);
    }
    EXPECT_NE(log_.Take().find("is not a number"), std::string::npos);

    const std::pair<const char*, int> bools[] = {
        {"y", 1}, {"YES", 1}, {"True", 1}, {"1", 1}, {"n", 0}, {"No", 0}, {"FALSE", 0}, {"0", 0},
        {"", -1}, {"yess", -1}, {"2", -1}, {"on", -1},
    };
    for (const auto& c : bools) {
        KXPlatformInfo::setValue(kFsa, "b", c.first);
        bool b = c.second != 1;  // the opposite, or true for a bad value
        EXPECT_EQ(KXPlatformInfo::getBool(kFsa, "b", b), c.second >= 0) << c.first;
        EXPECT_EQ(b, c.second != 0) << c.first;
    }
    KXPlatformInfo::removeValue(kFsa, "n");
    long n = 5;
    EXPECT_FALSE(KXPlatformInfo::getNumber(kFsa, "n", n));
    EXPECT_EQ(n, 5);
}

TEST_F(RegistryTest, EnvironmentFileIsReadLazilyAndLayered) {
    std::string envFile = writeFile("env.ini", "[FileSystemAgent]\nHLINK=Y\nnA=1\n");
    std::string cliFile = writeFile("cli.ini", "[FileSystemAgent]\nnA=2\n");
    setenv("RUXEN_REGISTRY", envFile.c_str(), 1);
    ruxen::testcontrol::ResetRegistry();
    ExpectValues({{kFsa, "HLINK", "Y"}, {kFsa, "nA", "1"}});
    ASSERT_TRUE(KXPlatformInfo::loadFile(cliFile, nullptr));  // on top of the environment's
    EXPECT_EQ(Get(kFsa, "nA"), "2");
    KXPlatformInfo::setValue(kFsa, "nA", "3");  // in-process values on top of both
    EXPECT_EQ(Get(kFsa, "nA"), "3");

    // The environment is read once: a changed variable counts after the reset.
    setenv("RUXEN_REGISTRY", cliFile.c_str(), 1);
    EXPECT_EQ(Get(kFsa, "HLINK"), "Y");
    ruxen::testcontrol::ResetRegistry();
    ExpectValues({{kFsa, "HLINK", "<absent>"}, {kFsa, "nA", "2"}});

    std::string missing = dir_ / "does-not-exist.ini";
    std::string error;
    EXPECT_FALSE(KXPlatformInfo::loadFile(missing, &error));
    EXPECT_NE(error.find("cannot open registry file " + missing), std::string::npos) << error;
    setenv("RUXEN_REGISTRY", missing.c_str(), 1);
    ruxen::testcontrol::ResetRegistry();
    EXPECT_EQ(Get(kFsa, "nA"), "<absent>");
    EXPECT_NE(log_.Take().find("cannot open registry file"), std::string::npos);
}

}  // namespace
