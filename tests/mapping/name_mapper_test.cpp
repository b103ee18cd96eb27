#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "mapping/FSTAVNameMapper.h"
#include "mapping/OBJServerTAVNameMapper.h"

namespace {

TEST(NameMapperTest, PrefixesOnWholeComponentsLongestWins) {
    FSTAVNameMapper fs;
    std::unique_ptr<OBJServerTAVNameMapper> obj = LoadObjServerNameMapper();
    for (TAVNameMapper* m : std::vector<TAVNameMapper*>{&fs, obj.get()}) {
        std::string out = "stale";
        EXPECT_FALSE(m->mapName("/a/f", out, nullptr));  // empty mapper
        EXPECT_EQ(out, "/a/f");
        m->add("/", "/snap/root");
        m->add("/home", "/snap/home/");
        m->add("/home", "/elsewhere");  // the first record of a prefix wins
        m->add("/a", "/snap/a");
        m->add("/a/b/", "/snap/ab");
        m->add("/same", "/same/");  // from == to: ignored
        m->add("", "/x");
        m->add("/y", nullptr);
        struct Case {
            const char* in;
            bool hit;
            const char* out;
        } cases[] = {
            {"/a", true, "/snap/a/"},
            {"/a/f", true, "/snap/a/f"},
            {"/a/b/c", true, "/snap/ab/c"},  // nested froms: the longest wins
            {"/home/u/f", true, "/snap/home/u/f"},
            {"/homework", true, "/snap/root/homework"},  // not under /home
            {"/same/x", true, "/snap/root/same/x"},
            {"", false, ""},
            // "." and ".." are refused wherever they stand: they could lead
            // out of a target, or past the map to another prefix.
            {"/a/../etc/shadow", false, ""},
            {"/home/./u/f", false, ""},
            {"/home/u/..", false, ""},
            {"/nowhere/../a/f", false, ""},
        };
        for (const Case& c : cases) {
            bool mapped = !c.hit;
            errno = 0;
            EXPECT_EQ(m->mapName(c.in, &mapped), c.out) << c.in;
            EXPECT_EQ(mapped, c.hit) << c.in;
            EXPECT_EQ(errno, *c.in != '\0' && *c.out == '\0' ? EINVAL : 0) << c.in;
        }
        bool mapped = true;
        EXPECT_FALSE(m->mapName(nullptr, out, &mapped));
        EXPECT_FALSE(mapped);
        m->clear();
        EXPECT_EQ(m->mapName("/a/f", nullptr), "/a/f");
    }
    EXPECT_EQ(fs.pairs().size(), 0u);
}

}  // namespace
