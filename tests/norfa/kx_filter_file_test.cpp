#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "mapping/ContentMapper.h"
#include "norfa/KxFilterFile.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "platform/content/CMonikerResolver.h"
#include "support/TestFiles.h"

namespace {

std::string Dump(const LINK_LIST& list) {
    std::string s;
    for (int i = 0; i < list.GetTotalNodes(); ++i) {
        EXPECT_EQ(FilterNode(list, i)->code, kFilterItemValid);
        s += std::string(FilterNode(list, i)->item) + "|";
    }
    return s;
}
std::string Dump(const std::list<ListElement_n>& list) {
    std::string s;
    for (const auto& e : list) {
        EXPECT_EQ(e.code, kFilterItemValid);
        s += e.item + "|";
    }
    return s;
}
template <class Block>
std::string Dump(const Block& b) {
    return "xd:" + Dump(b.excludeDirs) + " xf:" + Dump(b.excludeFiles) + " id:" + Dump(b.includeDirs) +
           " if:" + Dump(b.includeFiles) + " sd:" + Dump(b.scDirNames) + " sn:" + Dump(b.scNoDirs);
}

// The file form reads through a pipe: nothing may seek.
int ParseFile(KxFilterFile& parser, const std::string& text, FilterParamBlock& block) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        EXPECT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fds[1]);
    });
    block.file = fdopen(fds[0], "r");
    int rc = parser.ParseFilterFile(&block);
    while (fgetc(block.file) != EOF) {  // let the writer finish after a failed parse
    }
    fclose(block.file);
    writer.join();
    return rc;
}
int ParseStream(KxFilterFile& parser, const std::string& text, FilterParamBlock_s& block) {
    std::istringstream in(text);
    block.input = &in;
    return parser.ParseFilterFile(&block);
}

// Prefixes what it maps, writing into the output while it reads the input:
// a parser that passed one buffer as both would get garbage.
struct FormattingMapper : ContentMapper {
    int MakeHostPathFromProxyPath(const char* in, char* out, int size) override {
        if (strncmp(in, "/fail", 5) == 0)
            return out[0] = '\0', -1;
        return snprintf(out, size, "/host%s", in) < size ? 0 : -1;
    }
    int MakeHostPathFromProxyPath(const std::string& in, std::string& out) override {
        out = in.compare(0, 5, "/fail") == 0 ? in : "/host" + in;
        return in.compare(0, 5, "/fail") == 0 ? -2 : 0;
    }
};

class KxFilterFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::StartLogCapture();
        ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0755), 0);
        testfiles::WriteWholeFile(dir_ / "f", "x");
    }
    void TearDown() override {
        ruxen::testcontrol::StopLogCapture();
        ruxen::testcontrol::ResetMonikers();
    }
    testfiles::TempDir dir_;
    KxFilterFile parser_;
};

TEST_F(KxFilterFileTest, KeywordLines) {
    const struct {
        const char* line;
        int64_t code;  // 0: no keyword
    } cases[] = {
        {"begin", FILTER_BEGIN}, {"  Begin", FILTER_BEGIN}, {"\tBEGIN\r", FILTER_BEGIN}, {"END", FILTER_END},
        {"END of it", FILTER_END}, {"ENDING", 0}, {"endnote*", 0}, {"NOPRUNEDIRS", FILTER_NOPRUNEDIRS},
        {"prunedirs", FILTER_PRUNEDIRS}, {"SCNODIRS", FILTER_SCNODIRS}, {"scdirnames ", FILTER_SCDIRNAMES},
        {"NONAMES.txt", 0}, {"", 0}, {"   ", 0}, {"x END", 0},
    };
    for (const auto& c : cases) {
        int64_t code = -7;
        EXPECT_EQ(parser_.CheckIfkeyWordToken(c.line, code), c.code != 0) << c.line;
        EXPECT_EQ(code, c.code ? c.code : -7) << c.line;
    }
}

TEST_F(KxFilterFileTest, SectionsInBothForms) {
    const std::string d = dir_ / "d", f = dir_ / "f";
    const std::string text = "stray\nBEGIN\nPRUNEDIRS\n" + d + "\n*.o\n" + f + "\n/var/x/*.tmp\n\\" + d.substr(1) +
                             "\nNONAMES\ncore\tcomment\njunk\x15" + f + "\n\nNOPRUNEDIRS\n" + d + "/\nkeep*\n" +
                             "YESNAMES\n" + f + "\nSCDIRNAMES\nvm\nSCNODIRS\ntmpl\\/\\/\n\nendnote*\nEND\n";
    FilterParamBlock old;
    ASSERT_EQ(ParseFile(parser_, text, old), kFilterParsedToEnd);
    EXPECT_EQ(Dump(old), "xd:" + d + "|/**/*.o|/var/x/*.tmp|" + d + "| xf:" + f + "|core|" + f + "| id:" + d +
                             "/|/**/keep*| if:/**/keep*|" + f + "| sd:vm| sn:tmpl|endnote*|");
    FilterParamBlock_s neu;
    ASSERT_EQ(ParseStream(parser_, text, neu), kFilterParsedToEnd);
    EXPECT_EQ(Dump(neu), "xd:" + d + "|/**/*.o|/var/x/*.tmp|" + d + "| xf:/**/*.o|" + f + "|/var/x/*.tmp|core|" + f +
                             "| id:" + d + "/**|/**/keep*| if:" + d + "/**|/**/keep*|" + f +
                             "| sd:vm| sn:tmpl|endnote*|");
}

TEST_F(KxFilterFileTest, LineEndingsControlBytesAndLimits) {
    const std::string fits(1021, 'a'), over(1022, 'a');
    const struct {
        std::string text;
        int fileRc, streamRc;
        const char* fileExcluded;
    } cases[] = {
        {"BEGIN\r\nPRUNEDIRS\r\n/a\r\nEND\r\n", 4097, 4097, "/a|"},
        {"BEGIN\nNONAMES\n/a\nEND", 4097, 4097, "/a|"},         // END without a line feed
        {"BEGIN\nNONAMES\n/a\n", 4103, 4103, "/a|"},            // no END
        {"BEGIN\nNONAMES\n/a\n\x1a\nEND\n", 4103, 4097, "/a|"},  // Ctrl-Z ends the file form
        {"BEGIN\nNONAMES\n/a\rb\nEND\n", 4097, 4097, "/ab|"},   // the file form drops CR
        {"BEGIN\nNONAMES\n/" + fits + "\nEND\n", 4097, 4097, nullptr},
        {"BEGIN\nNONAMES\n/" + over + "\n/b\nEND\n", 4103, 4097, ""},  // never a cut item
        {std::string(2047, ' ') + "\nBEGIN\nEND\n", 4103, 4097, ""},
        {"BEGIN\nNONAMES\n/" + std::string(kFilterStreamLineMax, 'a') + "\nEND\n", 4103, 4103, ""},
    };
    for (const auto& c : cases) {
        FilterParamBlock old;
        EXPECT_EQ(ParseFile(parser_, c.text, old), c.fileRc) << c.text.substr(0, 40);
        if (c.fileExcluded) {
            EXPECT_EQ(Dump(old.excludeFiles), c.fileExcluded) << c.text.substr(0, 40);
        }
        FilterParamBlock_s neu;
        EXPECT_EQ(ParseStream(parser_, c.text, neu), c.streamRc) << c.text.substr(0, 40);
    }
    EXPECT_NE(ruxen::testcontrol::TakeCapturedLog().find("line 3 is longer than 1022 bytes"), std::string::npos);

    // An over-long line is refused at its bound in both forms, not read to its end.
    std::string huge = "BEGIN\nNONAMES\n/" + std::string(4 << 20, 'a') + "\nEND\n";
    std::istringstream in(huge);
    FilterParamBlock_s neu;
    neu.input = &in;
    EXPECT_EQ(parser_.ParseFilterFile(&neu), kFilterParseFailed);
    EXPECT_LE(static_cast<size_t>(in.tellg()), 15 + kFilterStreamLineMax);
    FilterParamBlock old;
    old.file = fmemopen(&huge[0], huge.size(), "r");
    ASSERT_NE(old.file, nullptr);
    EXPECT_EQ(parser_.ParseFilterFile(&old), kFilterParseFailed);
    EXPECT_LE(static_cast<size_t>(ftell(old.file)), 15 + kFilterSectionBuffer);
    fclose(old.file);
}

TEST_F(KxFilterFileTest, MappedExclusionsAndExpandedItems) {
    FormattingMapper mapper;
    parser_.SetProxyHostObject(&mapper);
    const std::string text = "BEGIN\nPRUNEDIRS\n/a/*\n%TEMP%/x\nNONAMES\n/fail/y\nNOPRUNEDIRS\n/a\nSCDIRNAMES\n%TEMP%\nEND\n";
    CMonikerResolver::RegisterMoniker("%TEMP%", {"/tmp/t", "/var/t*"});
    FilterParamBlock old;
    ASSERT_EQ(ParseFile(parser_, text, old), kFilterParsedToEnd);
    EXPECT_EQ(Dump(old), "xd:/host/a/*| xf:/host%TEMP%/x|/fail/y| id: if:/a| sd:%TEMP%| sn:");
    FilterParamBlock_s neu;
    ASSERT_EQ(ParseStream(parser_, text, neu), kFilterParsedToEnd);
    EXPECT_EQ(Dump(neu), "xd:/host/a/*|/host/var/t*/x| xf:/host/a/*|/host/tmp/t/x|/host/var/t*/x|/fail/y| id: "
                         "if:/a| sd:/tmp/t|/var/t*\\/\\/| sn:");

    ruxen::testcontrol::FailMonikers(ruxen::testcontrol::MonikerFailure::kCreateResolver);
    std::vector<std::string> out;
    CTyError err = parser_.ExpandWKFItem("%TEMP%", FILTER_SCDIRNAMES, out);
    EXPECT_EQ(err.Win32Code(), 14);
    EXPECT_EQ(out, std::vector<std::string>{"%TEMP%"});
    ruxen::testcontrol::FailMonikers(ruxen::testcontrol::MonikerFailure::kExpand);
    FilterParamBlock_s failed;
    ASSERT_EQ(ParseStream(parser_, "BEGIN\nSCDIRNAMES\n%TEMP%\nEND\n", failed), kFilterParsedToEnd);
    EXPECT_EQ(Dump(failed.scDirNames), "%TEMP%|");
}

TEST_F(KxFilterFileTest, ItemKindsFollowLinksAndLongPaths) {
    std::string deep = dir_.path();
    int fd = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    const std::string name(200, 'n');
    while (deep.size() <= PATH_MAX) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        deep += "/" + name;
    }
    close(fd);
    ASSERT_EQ(symlink((dir_ / "d").c_str(), (dir_ / "link").c_str()), 0);
    const struct {
        std::string item;
        int kind;
    } cases[] = {
        {deep, 2}, {deep + "/missing", 3}, {dir_ / "link", 2}, {dir_ / "f", 3},
        {"/", 2}, {"\\", 2}, {"/no/such", 3}, {"a[b", 4},
    };
    for (auto c : cases)
        EXPECT_EQ(parser_.IdentifyFilterItem(c.item), c.kind) << c.item.substr(0, 60);
}

TEST_F(KxFilterFileTest, VmPathsByScLists) {
    FilterParamBlock block;
    for (const char* n : {"vm", "disk"})
        AddFilterNode(block.scDirNames, kFilterItemValid, n);
    AddFilterNode(block.scNoDirs, kFilterItemValid, "tmpl");
    const struct {
        const char* path;
        bool added;
    } cases[] = {{"/data/vm1", true}, {"/x/disks", true}, {"/data/vmtmpl", false}, {"/data/x", false}};
    for (const auto& c : cases)
        EXPECT_EQ(checkVmAndAddPath(&block, c.path), c.added) << c.path;
    EXPECT_EQ(Dump(block.includeDirs), "/data/vm1|/x/disks|");
}

}  // namespace
