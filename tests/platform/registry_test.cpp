#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/KXPlatformInfo.h"
#include "platform/KxLog.h"
#include "support/TestFiles.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("RUXEN_REGISTRY");
        KXPlatformInfo::resetForTest();
        KxLog::StartCapture();
    }
    void TearDown() override {
        KxLog::StopCapture();
        unsetenv("RUXEN_REGISTRY");
        KXPlatformInfo::resetForTest();
    }
    std::string writeFile(const std::string& name, const std::string& text) {
        std::string path = dir_ / name;
        testfiles::WriteWholeFile(path, text);
        return path;
    }

    testfiles::TempDir dir_;
};

const char kFsa[] = "FileSystemAgent";

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

    std::string s = "untouched";
    EXPECT_TRUE(KXPlatformInfo::getString(kFsa, "sCLASSIC_ARBITRATION", s));
    EXPECT_EQ(s, "Y");
    EXPECT_TRUE(KXPlatformInfo::getString(kFsa, "sPath", s));
    EXPECT_EQ(s, "/a/b=c # not a comment");
    EXPECT_TRUE(KXPlatformInfo::getString("Session", "dFBRDIR", s));
    EXPECT_EQ(s, "/opt/fbr");

    // Present but empty differs from absent.
    s = "untouched";
    EXPECT_TRUE(KXPlatformInfo::getString(kFsa, "sEmpty", s));
    EXPECT_EQ(s, "");
    s = "untouched";
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "sMissing", s));
    EXPECT_EQ(s, "untouched");

    // Names compare exactly, and a key belongs to its own section only.
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "sclassic_arbitration", s));
    EXPECT_FALSE(KXPlatformInfo::getString("filesystemagent", "sCLASSIC_ARBITRATION", s));
    EXPECT_FALSE(KXPlatformInfo::getString("Session", "nValue", s));

    long n = 0;
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "nValue", n));
    EXPECT_EQ(n, 2);  // the later line wins
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
            "after=2\n"
            "last=3";  // no final line feed
    std::string path = writeFile("bad.ini", text);
    ASSERT_TRUE(KXPlatformInfo::loadFile(path, nullptr));

    std::string log = KxLog::TakeCaptured();
    EXPECT_NE(log.find("line 1: key orphan outside a section"), std::string::npos) << log;
    EXPECT_NE(log.find("line 4: no \"=\""), std::string::npos) << log;
    EXPECT_NE(log.find("line 5: empty key"), std::string::npos) << log;
    EXPECT_NE(log.find("line 6: NUL byte"), std::string::npos) << log;
    EXPECT_NE(log.find("line 7: malformed section line \"[Broken\""), std::string::npos) << log;
    EXPECT_NE(log.find("line 9: malformed section line \"[]\""), std::string::npos) << log;

    std::string s;
    EXPECT_TRUE(KXPlatformInfo::getString(kFsa, "good", s));
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "orphan", s));
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "nul", s));
    // Keys after a malformed section line land nowhere, not in the previous section.
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "lost", s));
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "lost2", s));
    EXPECT_TRUE(KXPlatformInfo::getString("Session", "after", s));
    EXPECT_TRUE(KXPlatformInfo::getString("Session", "last", s));
    EXPECT_EQ(s, "3");
}

TEST_F(RegistryTest, NumbersAndBooleans) {
    KXPlatformInfo::setValue(kFsa, "dec", "42");
    KXPlatformInfo::setValue(kFsa, "neg", "-7");
    KXPlatformInfo::setValue(kFsa, "hex", "0x1F");
    KXPlatformInfo::setValue(kFsa, "HEX", "0XfF");
    KXPlatformInfo::setValue(kFsa, "octalish", "010");
    long n = 0;
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "dec", n));
    EXPECT_EQ(n, 42);
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "neg", n));
    EXPECT_EQ(n, -7);
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "hex", n));
    EXPECT_EQ(n, 31);
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "HEX", n));
    EXPECT_EQ(n, 255);
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "octalish", n));
    EXPECT_EQ(n, 10);  // a leading zero is still decimal

    for (const char* bad : {"", "12abc", "abc", "0x", "0xG", "- 5", "1 2", "0x-5",
                            "99999999999999999999", "0x10000000000000000"}) {
        KXPlatformInfo::setValue(kFsa, "bad", bad);
        n = 1234;
        EXPECT_FALSE(KXPlatformInfo::getNumber(kFsa, "bad", n)) << "'" << bad << "'";
        EXPECT_EQ(n, 1234);
    }
    EXPECT_NE(KxLog::TakeCaptured().find("is not a number"), std::string::npos);

    bool b = false;
    for (const char* yes : {"y", "Y", "yes", "YES", "true", "True", "1"}) {
        KXPlatformInfo::setValue(kFsa, "b", yes);
        b = false;
        EXPECT_TRUE(KXPlatformInfo::getBool(kFsa, "b", b)) << yes;
        EXPECT_TRUE(b) << yes;
    }
    for (const char* no : {"n", "N", "no", "No", "false", "FALSE", "0"}) {
        KXPlatformInfo::setValue(kFsa, "b", no);
        b = true;
        EXPECT_TRUE(KXPlatformInfo::getBool(kFsa, "b", b)) << no;
        EXPECT_FALSE(b) << no;
    }
    for (const char* bad : {"", "yess", "2", "on"}) {
        KXPlatformInfo::setValue(kFsa, "b", bad);
        b = true;
        EXPECT_FALSE(KXPlatformInfo::getBool(kFsa, "b", b)) << bad;
        EXPECT_TRUE(b);
    }
    EXPECT_FALSE(KXPlatformInfo::getBool(kFsa, "absent", b));

    KXPlatformInfo::removeValue(kFsa, "dec");
    n = 5;
    EXPECT_FALSE(KXPlatformInfo::getNumber(kFsa, "dec", n));
    EXPECT_EQ(n, 5);
}

TEST_F(RegistryTest, EnvironmentFileIsReadLazilyAndLayered) {
    std::string envFile = writeFile("env.ini", "[FileSystemAgent]\nHLINK=Y\nnA=1\n");
    std::string cliFile = writeFile("cli.ini", "[FileSystemAgent]\nnA=2\n");
    setenv("RUXEN_REGISTRY", envFile.c_str(), 1);
    KXPlatformInfo::resetForTest();

    std::string s;
    EXPECT_TRUE(KXPlatformInfo::getString(kFsa, "HLINK", s));
    EXPECT_EQ(s, "Y");

    // A further file goes on top of the environment's.
    ASSERT_TRUE(KXPlatformInfo::loadFile(cliFile, nullptr));
    long n = 0;
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "nA", n));
    EXPECT_EQ(n, 2);
    // In-process values go on top of both.
    KXPlatformInfo::setValue(kFsa, "nA", "3");
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "nA", n));
    EXPECT_EQ(n, 3);

    // The environment is read once: a changed variable takes effect only
    // after the reset.
    setenv("RUXEN_REGISTRY", cliFile.c_str(), 1);
    EXPECT_TRUE(KXPlatformInfo::getString(kFsa, "HLINK", s));
    KXPlatformInfo::resetForTest();
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "HLINK", s));
    EXPECT_TRUE(KXPlatformInfo::getNumber(kFsa, "nA", n));
    EXPECT_EQ(n, 2);
}

TEST_F(RegistryTest, MissingFiles) {
    std::string missing = dir_ / "does-not-exist.ini";
    std::string error;
    EXPECT_FALSE(KXPlatformInfo::loadFile(missing, &error));
    EXPECT_NE(error.find("cannot open registry file " + missing), std::string::npos) << error;

    setenv("RUXEN_REGISTRY", missing.c_str(), 1);
    KXPlatformInfo::resetForTest();
    std::string s = "keep";
    EXPECT_FALSE(KXPlatformInfo::getString(kFsa, "HLINK", s));
    EXPECT_EQ(s, "keep");
    EXPECT_NE(KxLog::TakeCaptured().find("cannot open registry file"), std::string::npos);
}

}  // namespace
