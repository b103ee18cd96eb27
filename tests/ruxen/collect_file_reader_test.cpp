#include "ruxen/CollectFileReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

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
