#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "ruxen/CCollectFileSplitter.h"
#include "support/LogCapture.h"
#include "support/MntTabFile.h"
#include "support/TestFiles.h"

namespace {

using std::string;
using Files = std::map<string, string>;
namespace fs = std::filesystem;

// Mounts m1 .. m11 of a temporary directory; outputs go to its "out".
class SplitterTest : public ::testing::Test {
protected:
    void SetUp() override {
        string table;
        for (int m = 1; m <= 11; ++m) {
            ASSERT_EQ(mkdir(Mount(m).c_str(), 0755), 0);
            table += "/dev/d" + std::to_string(m) + " " + Mount(m) + " ext4 rw 0 0\n";
        }
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        ASSERT_EQ(symlink("/nowhere", (Mount(2) + "/link").c_str()), 0);
        mnt = std::make_unique<testfiles::MntTabFile>(table);
    }
    string Mount(int m) const { return dir / ("m" + std::to_string(m)); }
    // "$<n>" stands for mount n's directory, "$O" for the output directory.
    string Sub(string s) const {
        for (size_t at; (at = s.find('$')) != string::npos;) {
            size_t end = at + 1;
            while (end < s.size() && isdigit(static_cast<unsigned char>(s[end])))
                ++end;
            s.replace(at, std::max<size_t>(end, at + 2) - at, end > at + 1 ? Mount(std::stoi(s.substr(at + 1))) : out);
        }
        return s;
    }
    void Item(const string& path, size_t size) { testfiles::WriteWholeFile(Sub(path), string(size, 'x')); }
    // Every regular file of the output directory, by name.
    Files Outputs() const {
        Files f;
        for (const auto& e : fs::directory_iterator(out))
            if (fs::is_regular_file(fs::symlink_status(e.path())))
                f[e.path().filename()] = testfiles::ReadWholeFile(e.path());
        return f;
    }
    CTyError Split(CCollectFileSplitter& s, const string& collect, int n, const char* ext = "") {
        testfiles::WriteWholeFile(input, Sub(collect));
        CTyError e = s.splitBasedOnMountPoints(input.c_str(), out.c_str(), "C", ext);
        return e.IsError() ? e : s.splitEachMountCollectFile(n);
    }

    testfiles::TempDir dir{"splitter_test"};
    string out = dir / "out", input = dir / "collect.kxf";
    std::unique_ptr<testfiles::MntTabFile> mnt;
    testfiles::LogCapture log;
    EvEvent event{"splitter"};
};

TEST_F(SplitterTest, SplitsByMountAndSize) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, size_t>> items;
        const char* collect;
        int n;
        const char* ext;
        Files expect;
    };
    const string ten = "$1/a\n$2/a\n$3/a\n$4/a\n$5/a\n$6/a\n$7/a\n$8/a\n$9/a\n$10/a\n$11/a";
    string tenMap;
    for (int m : {1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9})
        tenMap += "$O/C_" + std::to_string(m) + " " + std::to_string(m) + "\n";
    const Case cases[] = {
        {"two mounts, first seen first, N=1", {{"$1/a", 10}, {"$2/b", 20}, {"$1/c", 5}}, "$1/a\n$2/b\n$1/c\n", 1, "kxf",
         {{"C_1.kxf", "$1/a\n$1/c\n"}, {"C_1.kxf.b4split", "$1/a 10\n$1/c 5\n"}, {"C_2.kxf", "$2/b\n"},
          {"C_2.kxf.b4split", "$2/b 20\n"}, {"diskColMap.txt", "$O/C_1.kxf 1\n$O/C_2.kxf 2\n"}}},
        {"60 30 30 80 in two", {{"$1/a", 60}, {"$1/b", 30}, {"$1/c", 30}, {"$1/d", 80}}, "$1/a\n$1/b\n$1/c\n$1/d\n", 2, "",
         {{"C_1", "$1/a\n$1/b\n"}, {"C_2", "$1/c\n$1/d\n"}, {"C_1.b4split", "$1/a 60\n$1/b 30\n$1/c 30\n$1/d 80\n"},
          {"diskColMap.txt", "$O/C_1 1,2\n"}}},
        {"the last file takes the rest, a large first item stays",
         {{"$1/a", 50}, {"$1/b", 100}, {"$1/c", 100}, {"$1/d", 50}, {"$2/p", 500}, {"$2/q", 10}, {"$2/r", 10}},
         "$1/a\n$2/p\n$1/b\n$2/q\n$1/c\n$1/d\n$2/r\n", 2, "",
         {{"C_1", "$1/a\n"}, {"C_3", "$1/b\n$1/c\n$1/d\n"}, {"C_2", "$2/p\n"}, {"C_4", "$2/q\n$2/r\n"},
          {"C_1.b4split", "$1/a 50\n$1/b 100\n$1/c 100\n$1/d 50\n"}, {"C_2.b4split", "$2/p 500\n$2/q 10\n$2/r 10\n"},
          {"diskColMap.txt", "$O/C_1 1,3\n$O/C_2 2,4\n"}}},
        {"directives and markers kept; gone, deleted and link items count 0",
         {{"$1/x%y", 7}, {"$2/b", 9}},
         "%??HBASESNAPINCR%\r\n%??DOCSA%area\n$1/x%25y\n%??MAC,DATASIZE%$2/b\n%??DEL=1%$1/x%25y\n$1/gone\n$2/link", 2, "",
         {{"C_1", "%??HBASESNAPINCR%\n%??DOCSA%area\n$1/x%25y\n"},
          {"C_3", "%??HBASESNAPINCR%\n%??DOCSA%area\n%??DEL=1%$1/x%25y\n$1/gone\n"},
          {"C_1.b4split", "%??HBASESNAPINCR%\n%??DOCSA%area\n$1/x%25y 7\n%??DEL=1%$1/x%25y 0\n$1/gone 0\n"},
          {"C_2", "%??HBASESNAPINCR%\n%??DOCSA%area\n%??MAC,DATASIZE%$2/b\n"},
          {"C_4", "%??HBASESNAPINCR%\n%??DOCSA%area\n$2/link\n"},
          {"C_2.b4split", "%??HBASESNAPINCR%\n%??DOCSA%area\n%??MAC,DATASIZE%$2/b 9\n$2/link 0\n"},
          {"diskColMap.txt", "$O/C_1 1,3\n$O/C_2 2,4\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testfiles::RemoveTree(out);
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        for (const auto& item : c.items)
            Item(item.first, item.second);
        CCollectFileSplitter s(event);
        CTyError e = Split(s, c.collect, c.n, c.ext);
        ASSERT_TRUE(e.IsSuccess()) << e.Message();
        Files expect;
        for (const auto& f : c.expect)
            expect[f.first] = Sub(f.second);
        EXPECT_EQ(Outputs(), expect);
    }
    // Eleven per-mount files: the map is in byte order of the paths.
    for (int m = 1; m <= 11; ++m)
        Item("$" + std::to_string(m) + "/a", 1);
    CCollectFileSplitter s(event);
    ASSERT_TRUE(Split(s, ten, 1).IsSuccess());
    EXPECT_EQ(Outputs()["diskColMap.txt"], Sub(tenMap));
    // A second split on the same object starts afresh.
    ASSERT_TRUE(Split(s, "$2/a\n", 1).IsSuccess());
    EXPECT_EQ(s.collectFileMap(), (std::map<string, std::vector<int>>{{out + "/C_1", {1}}}));
    EXPECT_EQ(Outputs()["diskColMap.txt"], Sub("$O/C_1 1\n"));
}

TEST_F(SplitterTest, BadInputFailsAndLeavesNoFiles) {
    struct Case { const char* name; const char* collect; const char* error; };
    const Case cases[] = {
        {"empty line", "$1/a\n\n$1/a\n", "Nothing could be read"},
        {"no item", "%??HBASESNAPINCR%\n", "Nothing could be read"},
        {"bad marker", "$1/a\n%??BOGUS%$1/a\n", "is not valid path"},
        {"late directive", "$1/a\n%??HBASESNAPINCR%\n", "is not valid path"},
        {"hard-link collect file", "# /\n# 1 2 3 4 $1/a\n", "hard-link collect"},
        {"hard-link entry", "$1/a\n# 1 2 3 4 $1/a\n", "hard-link collect"},
        {"no mount", "$1/a\n/elsewhere/x\n", "Cannot determine the mountPath"},
    };
    Item("$1/a", 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CCollectFileSplitter s(event);
        CTyError e = Split(s, c.collect, 1);
        EXPECT_NE(e.Message().find(c.error), string::npos) << e.Message();
        EXPECT_EQ(e.Win32Code(), 774);
        EXPECT_EQ(Outputs(), Files());
    }
    CCollectFileSplitter s(event);
    CTyError e = s.splitBasedOnMountPoints((dir / "missing").c_str(), out.c_str(), "C", "");
    EXPECT_EQ(e.ErrNo(), ENOENT);
    // An output that is the input file, by name or by another link.
    testfiles::WriteWholeFile(out + "/C_1", Sub("$1/a\n"));
    ASSERT_EQ(link((out + "/C_1").c_str(), (out + "/C_1.x").c_str()), 0);
    for (const char* ext : {"", "x"}) {
        e = s.splitBasedOnMountPoints((out + "/C_1").c_str(), out.c_str(), "C", ext);
        EXPECT_NE(e.Message().find("is the collect file being split"), string::npos) << e.Message();
    }
    EXPECT_EQ(Outputs(), (Files{{"C_1", Sub("$1/a\n")}, {"C_1.x", Sub("$1/a\n")}}));
    // A write that fails.
    ASSERT_EQ(unlink((out + "/C_1").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (out + "/C_1").c_str()), 0);
    e = Split(s, "$1/a\n", 1);
    EXPECT_NE(e.Message().find("No space left"), string::npos) << e.Message();
}

TEST_F(SplitterTest, SecondPassFailureRestoresEverything) {
    Item("$1/a", 50), Item("$1/b", 50), Item("$2/c", 10);
    struct Case { const char* name; const char* obstacle; const char* kind; };
    const Case cases[] = {
        {"new file cannot be made", "C_3", "dir"},
        {"new file cannot be written", "C_3", "/dev/full"},
        {"map cannot be written", "diskColMap.txt", "/dev/full"},
        {"moved copy would replace the input", "C_2.b4split", "input"},
        {"a moved copy is not what was written", "C_2", "tamper"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testfiles::RemoveTree(out);
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        CCollectFileSplitter s(event);
        testfiles::WriteWholeFile(input, Sub("$1/a\n$2/c\n$1/b\n"));
        ASSERT_TRUE(s.splitBasedOnMountPoints(input.c_str(), out.c_str(), "C", "").IsSuccess());
        const string at = out + "/" + c.obstacle, kind = c.kind;
        if (kind == "dir")
            ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
        else if (kind == "input")
            ASSERT_EQ(link(input.c_str(), at.c_str()), 0);
        else if (kind == "tamper")
            testfiles::WriteWholeFile(at, Sub("$2/c\n"));
        else
            ASSERT_EQ(symlink(c.kind, at.c_str()), 0);
        const Files before = Outputs();
        for (int n : {0, -1})
            EXPECT_EQ(s.splitEachMountCollectFile(n).ErrNo(), EINVAL);
        EXPECT_TRUE(s.splitEachMountCollectFile(2).IsError());
        EXPECT_EQ(Outputs(), before);
        EXPECT_EQ(s.collectFileMap().at(out + "/C_1"), std::vector<int>{1});
        // Once the obstacle is gone the same object splits.
        if (kind == "tamper")
            testfiles::WriteWholeFile(at, Sub("$2/c 10\n"));
        else
            ASSERT_EQ(kind == "dir" ? rmdir(at.c_str()) : unlink(at.c_str()), 0);
        CTyError e = s.splitEachMountCollectFile(2);
        ASSERT_TRUE(e.IsSuccess()) << e.Message();
        EXPECT_EQ(Outputs()["diskColMap.txt"], Sub("$O/C_1 1,3\n$O/C_2 2\n"));
        EXPECT_TRUE(s.splitEachMountCollectFile(2).IsError()) << "split twice";
    }
}

TEST(SplitterSizedLine, ParsesTheLastBlank) {
    struct Case { const char* line; bool ok; size_t length; int64_t size; };
    const Case cases[] = {
        {"/a 1", true, 2, 1},         {"/a b 012", true, 4, 12},  {"/a 9223372036854775807", true, 2, INT64_MAX},
        {"/a 9223372036854775808", false, 0, 0}, {"/a", false, 0, 0}, {" 5", false, 0, 0},
        {"/a ", false, 0, 0}, {"/a -1", false, 0, 0}, {"/a +1", false, 0, 0}, {"/a 1x", false, 0, 0},
        {"/a 1 ", false, 0, 0},
    };
    for (const Case& c : cases) {
        size_t length = 0;
        int64_t size = 0;
        EXPECT_EQ(CCollectFileSplitter::ParseSizedLine(c.line, strlen(c.line), length, size), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(std::make_pair(length, size), std::make_pair(c.length, c.size)) << c.line;
        }
    }
}

}  // namespace
