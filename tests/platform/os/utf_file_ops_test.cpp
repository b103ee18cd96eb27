#include <gtest/gtest.h>

#include <string>

#include "platform/os/UtfFileOps.h"

namespace {

TEST(KxDfmfNameTest, CompanionIsDotUnderscoreInTheSameDirectory) {
    struct {
        const char* path;
        const char* companion;
    } cases[] = {
        {"/a/b/c", "/a/b/._c"}, {"/x", "/._x"},       {"x", "._x"},         {"a/b", "a/._b"},
        {"/a/b/", "/a/._b"},    {"/a//b", "/a//._b"}, {"/a/._b", "/a/._._b"}, {"/a/n m\n", "/a/._n m\n"},
        {"/", ""},              {"//", ""},           {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KX_DFMF_NAME(c.path), c.companion) << c.path;
    EXPECT_EQ(KX_DFMF_NAME(nullptr), "");
}

}  // namespace
