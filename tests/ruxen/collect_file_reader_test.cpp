#include "ruxen/CollectFileReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ruxen/CollectInputFile.h"
#include "support/TestFiles.h"

namespace {

using testfiles::TempDir;

struct Got {
    CollectLineSource::Result result;
    std::string text;  // the path (kLine) or the raw text (kBadLine)
    int errnum;
    uint64_t offset, rawLength;
    bool operator==(const Got& o) const {
        return result == o.result && text == o.text && errnum == o.errnum && offset == o.offset &&
               (result == CollectLineSource::kLine || rawLength == o.rawLength);
    }
};
void PrintTo(const Got& g, std::ostream* os) {
    *os << "{" << g.result << ", \"" << g.text.substr(0, 40) << "\", " << g.errnum << ", @" << g.offset << ", "
        << g.rawLength << "}";
}

std::vector<Got> ReadAll(CollectFileReader& r) {
    std::vector<Got> out;
    CollectLine line;
    for (CollectLineSource::Result res; (res = r.Next(line)) != CollectLineSource::kEnd && out.size() < 100000;) {
        out.push_back(Got{res, res == CollectLineSource::kLine ? line.path : line.raw, line.errnum, line.offset,
                          line.rawLength});
        if (res == CollectLineSource::kReadError)
            break;
    }
    return out;
}

// The same content read from memory and from a file gives the same lines.
class CollectReaderBothSources : public ::testing::TestWithParam<bool> {
protected:
    std::vector<Got> Read(const std::string& content) {
        CollectFileReader r;
        if (GetParam()) {
            testfiles::WriteWholeFile(m_dir / "collect", content);
            EXPECT_TRUE(r.Open(m_dir / "collect", nullptr));
        } else {
            r.OpenMemory("collect", content);
        }
        return ReadAll(r);
    }
    TempDir m_dir;
};

TEST_P(CollectReaderBothSources, EveryLineAnsweredOnceAtItsOffset) {
    const size_t max = CollectFileReader::kMaxLineBytes;
    const std::string longest = "/" + std::string(max - 1, 'y'), tooLong = "/" + std::string(max, 'x');
    const auto L = CollectLineSource::kLine;
    const auto B = CollectLineSource::kBadLine;
    struct Line {
        std::string text;  // without its line feed
        Got want;          // offset filled in below
    };
    std::vector<Line> lines = {
        {"/a", {L, "/a", 0, 0, 0}},
        {"/b%0Ac%25d%0d", {L, "/b\nc%d\r", 0, 0, 0}},
        {"", {B, "", EINVAL, 0, 0}},
        {"/bad%zz", {B, "/bad%zz", EINVAL, 0, 7}},
        {"/cut%4", {B, "/cut%4", EINVAL, 0, 6}},
        {"rel/path", {B, "rel/path", EINVAL, 0, 8}},
        {"/nul%00", {B, "/nul%00", EINVAL, 0, 7}},
        {"%2Fx", {L, "/x", 0, 0, 0}},
        {std::string("/raw\0nul", 8), {B, std::string("/raw\0nul", 8), EINVAL, 0, 8}},
        // A CR before the LF ends the line; any other raw CR makes it bad.
        {"/crlf\r", {L, "/crlf", 0, 0, 0}},
        {"\r", {B, "", EINVAL, 0, 0}},
        {"/cr\rmid", {B, "/cr\rmid", EINVAL, 0, 7}},
        {"/two\r\r", {B, "/two\r", EINVAL, 0, 5}},
        {longest + "\r", {L, longest, 0, 0, 0}},
        {tooLong, {B, tooLong.substr(0, CollectFileReader::kOverlongKeepBytes), ENAMETOOLONG, 0, max + 1}},
        {"/last\r", {L, "/last", 0, 0, 0}},  // without a line feed
    };
    std::string content;
    std::vector<Got> want;
    for (Line& l : lines) {
        l.want.offset = content.size();
        want.push_back(l.want);
        content += l.text + (&l == &lines.back() ? "" : "\n");
    }
    EXPECT_EQ(want, Read(content));
    EXPECT_TRUE(Read("").empty());
    EXPECT_EQ((std::vector<Got>{{L, "/a", 0, 0, 0}, {B, "/" + std::string(255, 'q'), ENAMETOOLONG, 3, 100001}}),
              Read("/a\n/" + std::string(100000, 'q')));
}

INSTANTIATE_TEST_SUITE_P(Sources, CollectReaderBothSources, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "File" : "Memory"; });

// A file of several megabytes: lines, an escape and an over-long line cross
// the read buffer's boundaries; every line comes back whole at its offset.
TEST(CollectReaderLargeFile, LinesAcrossBufferBoundaries) {
    constexpr size_t kBuffer = 256 * 1024;
    std::string content;
    std::vector<Got> want;
    auto add = [&](const std::string& line, const Got& g) {
        want.push_back(g);
        want.back().offset = content.size();
        content += line + "\n";
    };
    bool placedEscape = false, placedLong = false;
    for (size_t i = 0; content.size() < 3 * 1024 * 1024; ++i) {
        const size_t toBoundary = (content.size() / kBuffer + 1) * kBuffer - content.size();
        if (!placedEscape && content.size() > kBuffer && toBoundary < 200 && toBoundary >= 4) {
            // "%0" | "A": an escape split by the boundary.
            std::string pre = "/" + std::string(toBoundary - 3, 'e');
            add(pre + "%0Atail", {CollectLineSource::kLine, pre + "\ntail", 0, 0, 0});
            placedEscape = true;
        } else if (!placedLong && content.size() > 4 * kBuffer + 5000) {
            const std::string line = "/" + std::string(CollectFileReader::kMaxLineBytes * 5, 'L');
            add(line, {CollectLineSource::kBadLine, line.substr(0, CollectFileReader::kOverlongKeepBytes), ENAMETOOLONG, 0,
                       line.size()});
            placedLong = true;
        } else {
            std::string name = "/dir/" + std::to_string(i) + "/" + std::string(i % 251, 'a' + static_cast<char>(i % 26));
            add(i % 7 ? name : name + "%25x", {CollectLineSource::kLine, i % 7 ? name : name + "%x", 0, 0, 0});
        }
    }
    ASSERT_TRUE(placedEscape && placedLong);
    TempDir dir;
    testfiles::WriteWholeFile(dir / "collect", content);
    CollectFileReader r;
    ASSERT_TRUE(r.Open(dir / "collect", nullptr));
    std::vector<Got> got = ReadAll(r);
    ASSERT_EQ(want.size(), got.size());
    for (size_t k = 0; k < got.size(); ++k)
        ASSERT_EQ(want[k], got[k]) << "line " << k;
}

// Restart: a Seek to a line's offset gives that line and those after it,
// with offsets counted from the start of the file.
TEST(CollectReaderSeek, FileAndMemory) {
    std::string content;
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 60000; ++i) {
        offsets.push_back(content.size());
        content += "/seek/" + std::to_string(i) + "\n";
    }
    TempDir dir;
    testfiles::WriteWholeFile(dir / "collect", content);
    for (bool fromFile : {true, false}) {
        SCOPED_TRACE(fromFile ? "file" : "memory");
        CollectFileReader r;
        if (fromFile)
            ASSERT_TRUE(r.Open(dir / "collect", nullptr));
        else
            r.OpenMemory("collect", content);
        CollectLine line;
        for (int target : {50000, 3, 0, 31000, 59999}) {
            ASSERT_TRUE(r.Seek(offsets[target]));
            for (int k = target; k < std::min(target + 2, 60000); ++k) {
                ASSERT_EQ(CollectLineSource::kLine, r.Next(line));
                EXPECT_EQ("/seek/" + std::to_string(k), line.path);
                EXPECT_EQ(offsets[k], line.offset);
            }
        }
        EXPECT_EQ(CollectLineSource::kEnd, r.Next(line));
        ASSERT_TRUE(r.Seek(0));
        EXPECT_EQ(60000u, ReadAll(r).size());
    }
    CollectFileReader mem, closed;
    mem.OpenMemory("collect", "/a\n");
    EXPECT_FALSE(mem.Seek(4)) << "beyond the end of the text";
    EXPECT_FALSE(closed.Seek(0)) << "nothing open";
}

TEST(CollectReaderErrors, MissingFileAndUnreadableFile) {
    CollectFileReader r;
    std::string error;
    EXPECT_FALSE(r.Open("/nonexistent/dir/collect.cvf", &error));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_NE(std::string::npos, error.find("/nonexistent/dir/collect.cvf")) << error;
    ASSERT_TRUE(r.Open("/tmp", &error)) << error;  // a directory opens but cannot be read
    CollectLine line;
    EXPECT_EQ(CollectLineSource::kReadError, r.Next(line));
    EXPECT_EQ(EISDIR, line.errnum);
}

}  // namespace

namespace {

// One answer as text: the path and what the line carries, "bad" for a bad
// line; passed-over lines give no answer at all.
std::string Describe(CollectLineSource::Result r, const CollectLine& l) {
    if (r != CollectLineSource::kLine)
        return r == CollectLineSource::kBadLine ? "bad " + std::to_string(l.errnum) + (l.path.empty() ? "" : " WITH PATH")
                                                : "result " + std::to_string(r);
    std::string s = l.path;
    if (l.kind == CollectLine::kHardLinkEntry)
        s += " #" + std::to_string(l.inode) + ":" + std::to_string(l.device) + ":" + std::to_string(l.ctime) + ":" +
             std::to_string(l.size) + (l.newGroup ? " new" : "");
    const char* names[] = {"MAC", "PSEUDO", "ADHOC", "MNT", "SUB", "MNTPATH", "RAW", "DATASIZE", "NOHL", "SF", "STUB", "DEL"};
    for (int b = 0; b < 12; ++b)
        if (l.markers & (1u << b))
            s += std::string(" ") + names[b];
    for (auto [name, v] : {std::pair{"mnt", l.mountIndex}, {"sf", l.salesforceKind}, {"del", l.deletedKind}})
        if (v)
            s += std::string(" ") + name + "=" + std::to_string(v);
    return s;
}

std::vector<std::string> Answers(CollectFileReader& r) {
    std::vector<std::string> out;
    CollectLine line;
    for (CollectLineSource::Result res; (res = r.Next(line)) != CollectLineSource::kEnd;)
        out.push_back(std::to_string(line.offset) + " " + Describe(res, line));
    return out;
}

struct Grammar {
    const char* line;
    const char* want;  // "" when the line yields nothing
};

// Every kind of line in one file, in order (directives must come first).
const Grammar kGrammar[] = {
    {"%??HBASESNAPINCR%", ""},
    {"%??DOCSA%store%20area", ""},
    {"%??SFREL={a-1}%meta%0Atext", ""},
    {"%??SFREL=B2%m2", ""},
    {"# /", ""},
    {"/plain", "/plain"},
    {"# 5 7 -3 10 /h%20x", "/h x #5:7:-3:10 new"},
    {"# 5 7 -3 10 /h2", "/h2 #5:7:-3:10"},
    {"# 5 8 -3 10 /h3", "/h3 #5:8:-3:10 new"},
    {"# 18446744073709551615 18446744073709551615 -9223372036854775808 0 /max",
     "/max #18446744073709551615:18446744073709551615:-9223372036854775808:0 new"},
    {"/between", "/between"},
    {"# 18446744073709551615 18446744073709551615 1 0 /max2", "/max2 #18446744073709551615:18446744073709551615:1:0 new"},
    {"%??MAC,PSEUDO,ADHOC,MNT=3,SUB,MNTPATH,RAW,DATASIZE,NOHL,SF=2,STUB,DEL=7%/all%25",
     "/all% MAC PSEUDO ADHOC MNT SUB MNTPATH RAW DATASIZE NOHL SF STUB DEL mnt=3 sf=2 del=7"},
    {"%??DEL=1%/d", "/d DEL del=1"},
    {"%??MNT=2147483647%/m", "/m MNT mnt=2147483647"},
    {"#  5 7 1 1 /two-blanks", "bad 22"},
    {"# 5 7 1 /short", "bad 22"},
    {"# 5 7 1 1 relative", "bad 22"},
    {"# 5 x 1 1 /p", "bad 22"},
    {"# 18446744073709551616 7 1 1 /p", "bad 22"},
    {"# 5 7 1 1 /p%zz", "bad 22"},
    {"# 5 7 1 1 /p%00", "bad 22"},
    {"#", "bad 22"},
    {"%??MNT=0%/p", "bad 22"},
    {"%??DEL=8%/p", "bad 22"},
    {"%??SF=-1%/p", "bad 22"},
    {"%??MNT=+1%/p", "bad 22"},
    {"%??MNT=2147483648%/p", "bad 22"},
    {"%??MNT=%/p", "bad 22"},
    {"%??MNT%/p", "bad 22"},
    {"%??MAC=1%/p", "bad 22"},
    {"%??MAC,MAC%/p", "bad 22"},
    {"%??MAC,%/p", "bad 22"},
    {"%??%/p", "bad 22"},
    {"%??mac%/p", "bad 22"},
    {"%??FOO%/p", "bad 22"},
    {"%??DEL=1%relative", "bad 22"},
    {"%??MAC%", "bad 22"},
    {"%??MAC", "bad 22"},
    {"%??PSEUDO%/p%zz", "bad 22"},
    {"%??DOCSA%late", "bad 22"},
    {"%??HBASESNAPINCR%", "bad 22"},
    {"# 5 8 -3 10 /after-bad", "/after-bad #5:8:-3:10 new"},
};

std::string GrammarText() {
    std::string text;
    for (const Grammar& g : kGrammar)
        text += std::string(g.line) + "\n";
    return text;
}

}  // namespace

TEST(CollectReaderGrammar, EveryKindMarkerAndError) {
    CollectFileReader r;
    const std::string text = GrammarText();
    r.OpenMemory("collect", text);
    std::vector<std::string> want;
    size_t offset = 0;
    for (const Grammar& g : kGrammar) {
        if (*g.want)
            want.push_back(std::to_string(offset) + " " + g.want);
        offset += strlen(g.line) + 1;
    }
    EXPECT_EQ(want, Answers(r));
    const CollectDirectives& d = *r.Directives();
    EXPECT_TRUE(d.hbaseIncrementalSnapshot);
    EXPECT_TRUE(d.documentum);
    EXPECT_EQ("store area", d.documentumSAName);
    ASSERT_EQ(2u, d.salesforceRelations.size());
    EXPECT_EQ("{a-1}", d.salesforceRelations[0].guid);
    EXPECT_EQ("meta\ntext", d.salesforceRelations[0].metadata);
    EXPECT_EQ("B2", d.salesforceRelations[1].guid);
}

// A malformed or repeated directive is a bad line, and ends the directives:
// the good one after it is late.
TEST(CollectReaderGrammar, BadDirectives) {
    for (const char* bad : {"%??HBASESNAPINCR%x", "%??DOCSA%", "%??DOCSA%a%zz", "%??DOCSA=1%x", "%??SFREL=%m",
                            "%??SFREL=a b%m", "%??SFREL=g%", "%??SFREL%m", "%??DOCSA%a\n%??DOCSA%b"}) {
        SCOPED_TRACE(bad);
        CollectFileReader r;
        r.OpenMemory("collect", std::string(bad) + "\n%??HBASESNAPINCR%\n/p\n");
        std::vector<std::string> got = Answers(r);
        ASSERT_EQ(3u, got.size());
        EXPECT_NE(std::string::npos, got[0].find(" bad 22"));
        EXPECT_NE(std::string::npos, got[1].find(" bad 22"));
        EXPECT_FALSE(r.Directives()->hbaseIncrementalSnapshot);
    }
}

// A restart at any line's offset answers what reading from the start
// answers from that line on, with the same directives and the same group
// heads; from memory and from a file.
TEST(CollectReaderGrammar, RestartAtEveryLine) {
    const std::string text = GrammarText() + "# 5 8 -3 10 /again\n";
    TempDir dir;
    testfiles::WriteWholeFile(dir / "collect", text);
    for (bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "file" : "memory");
        CollectFileReader r;
        if (fromFile)
            ASSERT_TRUE(r.Open(dir / "collect", nullptr));
        else
            r.OpenMemory("collect", text);
        const std::vector<std::string> all = Answers(r);
        const CollectDirectives whole = *r.Directives();
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
            ASSERT_TRUE(r.Seek(at));
            std::vector<std::string> from;
            for (const std::string& a : all)
                if (std::stoull(a) >= at)
                    from.push_back(a);
            EXPECT_EQ(from, Answers(r)) << "restart at " << at;
            EXPECT_EQ(whole.documentumSAName, r.Directives()->documentumSAName);
            EXPECT_EQ(whole.salesforceRelations.size(), r.Directives()->salesforceRelations.size());
        }
    }
}

// A collect file let go is opened again only as the file met at the start:
// each change is told apart, and a FIFO put in its place is never opened.
TEST(CollectInputFile, OpenedAgainOnlyAsTheFileMetAtTheStart) {
    using Path = const std::string&;
    const struct {
        const char* name;
        int (*change)(Path);
        const char* differs;  // null: opened again
    } cases[] = {
        {"unchanged", [](Path) { return 0; }, nullptr},
        {"renamed over", [](Path p) { return rename((p + ".new").c_str(), p.c_str()); }, "inode"},
        {"shrank", [](Path p) { return truncate(p.c_str(), 3); }, "size"},
        {"rewritten in place",
         [](Path p) {
             static const struct timespec later[2] = {{0, UTIME_OMIT}, {12345, 0}};
             return utimensat(AT_FDCWD, p.c_str(), later, 0);
         },
         "modification time"},
        {"removed", [](Path p) { return unlink(p.c_str()); }, "path"},
        {"a FIFO in its place", [](Path p) { return unlink(p.c_str()) == 0 ? mkfifo(p.c_str(), 0600) : -1; }, "inode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("collect_input");
        const std::string path = dir / "c";
        testfiles::WriteWholeFile(path, "/a\n/b\n");
        testfiles::WriteWholeFile(path + ".new", "/a\n/b\n");
        CollectInputFile in;
        std::string error;
        ASSERT_TRUE(in.Open(path, {dir.path()}, &error)) << error;
        in.Release();
        ASSERT_EQ(0, c.change(path)) << strerror(errno);
        bool changed = true;
        const char* what = nullptr;
        EXPECT_EQ(c.differs == nullptr, in.Reopen(&error, &changed, &what)) << error;
        EXPECT_EQ(c.differs != nullptr, changed);
        EXPECT_EQ(c.differs != nullptr, !in.IsOpen());
        EXPECT_STREQ(c.differs, what);
        EXPECT_TRUE(c.differs || in.Changed() == nullptr);
    }
}

// A piped collect file's copy is named by no path: it stays open, and it is
// checked against its state once copied.
TEST(CollectInputFile, CopyOfAPipeIsKeptAndCheckedThroughItsDescriptor) {
    TempDir dir("collect_input");
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ASSERT_EQ(6, write(p[1], "/a\n/b\n", 6));
    close(p[1]);
    CollectInputFile in;
    std::string error;
    ASSERT_TRUE(in.Open("/dev/fd/" + std::to_string(p[0]), {dir.path()}, &error)) << error;
    close(p[0]);
    ASSERT_TRUE(in.Copied());
    in.Release();
    ASSERT_TRUE(in.IsOpen());
    EXPECT_EQ(nullptr, in.Changed());
    ASSERT_EQ(0, ftruncate(in.Descriptor(), 3));
    EXPECT_STREQ("size", in.Changed());
}
