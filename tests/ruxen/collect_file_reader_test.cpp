#include "ruxen/CollectFileReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

class CollectTempFile {
public:
    explicit CollectTempFile(const std::string& content) {
        char tmpl[] = "/tmp/ruxen_collect_XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            return;
        m_path = tmpl;
        size_t done = 0;
        while (done < content.size()) {
            ssize_t n = write(fd, content.data() + done, content.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        m_ok = done == content.size();
        close(fd);
    }
    ~CollectTempFile() {
        if (!m_path.empty())
            unlink(m_path.c_str());
    }
    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    bool m_ok = false;
};

struct Got {
    CollectLineSource::Result result;
    std::string path;
    uint64_t offset;
    std::string raw;
    int errnum;
};

std::vector<Got> ReadAll(CollectFileReader& r) {
    std::vector<Got> out;
    CollectLine line;
    for (;;) {
        CollectLineSource::Result res = r.Next(line);
        if (res == CollectLineSource::kEnd)
            break;
        out.push_back(Got{res, line.path, line.offset, line.raw, line.errnum});
        if (res == CollectLineSource::kReadError || out.size() > 100000)
            break;
    }
    return out;
}

// The same content read from memory and from a file must give the same lines.
class CollectReaderBothSources : public ::testing::TestWithParam<bool> {
protected:
    std::vector<Got> Read(const std::string& content) {
        CollectFileReader r;
        if (GetParam()) {
            m_file.reset(new CollectTempFile(content));
            EXPECT_TRUE(m_file->ok());
            std::string error;
            EXPECT_TRUE(r.Open(m_file->path(), &error)) << error;
        } else {
            r.OpenMemory("collect", content);
        }
        return ReadAll(r);
    }
    std::unique_ptr<CollectTempFile> m_file;
};

TEST_P(CollectReaderBothSources, OffsetsEscapesAndLastLineWithoutLineFeed) {
    //                  0      3            10           17
    std::vector<Got> g = Read("/a\n/b%0Ac\n/d%25e\n/%0dlast");
    ASSERT_EQ(4u, g.size());
    const char* paths[] = {"/a", "/b\nc", "/d%e", "/\rlast"};
    const uint64_t offsets[] = {0, 3, 10, 17};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(CollectLineSource::kLine, g[i].result) << i;
        EXPECT_EQ(paths[i], g[i].path) << i;
        EXPECT_EQ(offsets[i], g[i].offset) << i;
    }
}

TEST_P(CollectReaderBothSources, EmptyInputHasNoLines) {
    EXPECT_TRUE(Read("").empty());
}

TEST_P(CollectReaderBothSources, BadLinesAreAnsweredAndReadingGoesOn) {
    const std::string tooLong = "/" + std::string(CollectFileReader::kMaxLineBytes, 'x');  // one byte over
    const std::string longest = "/" + std::string(CollectFileReader::kMaxLineBytes - 1, 'y');
    std::string content = "/ok1\n"      // 0
                          "\n"          // 5  empty
                          "/bad%zz\n"   // 6  bad escape
                          "/cut%4\n"    // 14 escape cut short
                          "rel/path\n"  // 21 relative
                          "/nul%00\n"   // 30 escaped NUL
                          "%2Fx\n";     // 38 decodes to "/x": absolute
    content += std::string("/raw\0nul\n", 9);  // 43 raw NUL
    const uint64_t tooLongAt = content.size();
    content += tooLong + "\n";
    const uint64_t longestAt = content.size();
    content += longest + "\n";
    const uint64_t lastAt = content.size();
    content += "/ok2\n";

    std::vector<Got> g = Read(content);
    ASSERT_EQ(11u, g.size());
    EXPECT_EQ(CollectLineSource::kLine, g[0].result);
    EXPECT_EQ("/ok1", g[0].path);

    struct Bad {
        size_t index;
        uint64_t offset;
        int errnum;
        std::string raw;
    };
    const Bad bads[] = {
        {1, 5, EINVAL, ""},          {2, 6, EINVAL, "/bad%zz"},
        {3, 14, EINVAL, "/cut%4"},   {4, 21, EINVAL, "rel/path"},
        {5, 30, EINVAL, "/nul%00"},  {7, 43, EINVAL, std::string("/raw\0nul", 8)},
        {8, tooLongAt, ENAMETOOLONG, ""},
    };
    for (const Bad& b : bads) {
        SCOPED_TRACE(b.index);
        EXPECT_EQ(CollectLineSource::kBadLine, g[b.index].result);
        EXPECT_EQ(b.offset, g[b.index].offset);
        EXPECT_EQ(b.errnum, g[b.index].errnum);
        EXPECT_EQ(b.raw, g[b.index].raw);
        EXPECT_EQ("", g[b.index].path) << "a bad line never yields a path";
    }
    EXPECT_EQ(CollectLineSource::kLine, g[6].result);
    EXPECT_EQ("/x", g[6].path);
    EXPECT_EQ(CollectLineSource::kLine, g[9].result);
    EXPECT_EQ(longest, g[9].path) << "a line of exactly the limit is accepted";
    EXPECT_EQ(longestAt, g[9].offset);
    EXPECT_EQ(CollectLineSource::kLine, g[10].result);
    EXPECT_EQ("/ok2", g[10].path);
    EXPECT_EQ(lastAt, g[10].offset);
}

TEST_P(CollectReaderBothSources, OverLongLastLineWithoutLineFeed) {
    std::vector<Got> g = Read("/a\n/" + std::string(100000, 'q'));
    ASSERT_EQ(2u, g.size());
    EXPECT_EQ(CollectLineSource::kBadLine, g[1].result);
    EXPECT_EQ(ENAMETOOLONG, g[1].errnum);
    EXPECT_EQ(3u, g[1].offset);
}

INSTANTIATE_TEST_SUITE_P(Sources, CollectReaderBothSources, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "File" : "Memory"; });

// A file of several megabytes: lines, escapes and an over-long line cross
// the read buffer's boundaries; every line comes back whole at its offset.
TEST(CollectReaderLargeFile, LinesAcrossBufferBoundaries) {
    constexpr size_t kBuffer = 256 * 1024;
    std::string content;
    std::vector<std::string> paths;
    std::vector<uint64_t> offsets;
    std::vector<bool> bad;
    size_t i = 0;
    auto add = [&](const std::string& line, const std::string& decoded, bool isBad) {
        offsets.push_back(content.size());
        paths.push_back(decoded);
        bad.push_back(isBad);
        content += line + "\n";
    };
    bool placedEscape = false, placedLong = false;
    while (content.size() < 3 * 1024 * 1024) {
        const size_t boundary = (content.size() / kBuffer + 1) * kBuffer;
        if (!placedEscape && content.size() > kBuffer + 1000 && boundary - content.size() < 200 &&
            boundary - content.size() >= 3) {
            // An escape split by the boundary: "%0" | "A".
            std::string pre(boundary - content.size() - 2, 'e');
            pre[0] = '/';
            add(pre + "%0A" + "tail", pre + "\n" + "tail", false);
            EXPECT_EQ(boundary - 1, offsets.back() + pre.size() + 1);
            placedEscape = true;
            continue;
        }
        if (!placedLong && content.size() > 4 * kBuffer + 5000) {
            // Longer than a whole buffer, so it spans at least one boundary.
            add("/" + std::string(CollectFileReader::kMaxLineBytes * 5, 'L'), "", true);
            placedLong = true;
            continue;
        }
        std::string name = "/dir/" + std::to_string(i) + "/" + std::string(i % 251, 'a' + static_cast<char>(i % 26));
        if (i % 7 == 0)
            add(name + "%25" + "x", name + "%x", false);
        else
            add(name, name, false);
        ++i;
    }
    ASSERT_TRUE(placedEscape);
    ASSERT_TRUE(placedLong);

    CollectTempFile file(content);
    ASSERT_TRUE(file.ok());
    CollectFileReader r;
    std::string error;
    ASSERT_TRUE(r.Open(file.path(), &error)) << error;
    std::vector<Got> g = ReadAll(r);
    ASSERT_EQ(paths.size(), g.size());
    for (size_t k = 0; k < g.size(); ++k) {
        ASSERT_EQ(offsets[k], g[k].offset) << "line " << k;
        if (bad[k]) {
            ASSERT_EQ(CollectLineSource::kBadLine, g[k].result) << "line " << k;
            ASSERT_EQ(ENAMETOOLONG, g[k].errnum);
        } else {
            ASSERT_EQ(CollectLineSource::kLine, g[k].result) << "line " << k;
            ASSERT_EQ(paths[k], g[k].path) << "line " << k;
        }
    }
}

// Restart: Seek to a line's offset gives that line and those after it, with
// offsets counted from the start of the file.
TEST(CollectReaderSeek, FileAndMemory) {
    std::string content;
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 60000; ++i) {
        offsets.push_back(content.size());
        content += "/seek/" + std::to_string(i) + "\n";
    }
    CollectTempFile file(content);
    ASSERT_TRUE(file.ok());

    for (bool fromFile : {true, false}) {
        SCOPED_TRACE(fromFile ? "file" : "memory");
        CollectFileReader r;
        if (fromFile) {
            std::string error;
            ASSERT_TRUE(r.Open(file.path(), &error)) << error;
        } else {
            r.OpenMemory("collect", content);
        }
        CollectLine line;
        for (int target : {50000, 3, 0, 59999, 31000}) {
            ASSERT_TRUE(r.Seek(offsets[target]));
            ASSERT_EQ(CollectLineSource::kLine, r.Next(line));
            EXPECT_EQ("/seek/" + std::to_string(target), line.path);
            EXPECT_EQ(offsets[target], line.offset);
            if (target + 1 < 60000) {
                ASSERT_EQ(CollectLineSource::kLine, r.Next(line));
                EXPECT_EQ("/seek/" + std::to_string(target + 1), line.path);
                EXPECT_EQ(offsets[target + 1], line.offset);
            } else {
                EXPECT_EQ(CollectLineSource::kEnd, r.Next(line));
            }
        }
        // Seeking to the end reads nothing; back to the start reads it all.
        ASSERT_TRUE(r.Seek(content.size()));
        EXPECT_EQ(CollectLineSource::kEnd, r.Next(line));
        ASSERT_TRUE(r.Seek(0));
        EXPECT_EQ(60000u, ReadAll(r).size());
    }

    CollectFileReader mem;
    mem.OpenMemory("collect", "/a\n");
    EXPECT_FALSE(mem.Seek(4)) << "beyond the end of the text";
    CollectFileReader closed;
    EXPECT_FALSE(closed.Seek(0)) << "nothing open";
}

TEST(CollectReaderErrors, MissingFileAndUnreadableFile) {
    CollectFileReader r;
    std::string error;
    EXPECT_FALSE(r.Open("/nonexistent/dir/collect.cvf", &error));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_NE(std::string::npos, error.find("/nonexistent/dir/collect.cvf")) << error;

    // A directory opens but cannot be read.
    ASSERT_TRUE(r.Open("/tmp", &error)) << error;
    CollectLine line;
    EXPECT_EQ(CollectLineSource::kReadError, r.Next(line));
    EXPECT_EQ(EISDIR, line.errnum);
    EXPECT_FALSE(line.error.empty());
}

}  // namespace
