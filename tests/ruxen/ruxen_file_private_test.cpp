// Object, parent, version and component GUIDs of the current item.
#include "ruxen/RuxenFilePrivate.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "support/TestFiles.h"

namespace {

struct GuidCase {
    bool jobResult;
    const char* client;
    const char* path;
    bool stub;
    const char* suffix;
    const char* object;
    const char* parent;
    const char* version;
};

// Name-based GUIDs of fixed inputs (worked out independently of the code):
// the same item gets the same GUIDs in every run and on every host.
const GuidCase kCases[] = {
    {false, "client1", "/data/dir/file", false, "", "a789cd1e-58db-5ec9-b218-ca8a6ace0eb2",
     "1bd91969-b792-54a3-be44-82d6f459c28d", "30c463aa-16f7-5670-afe0-7566a7d247f6"},
    {false, "client1", "/data/dir/file", true, "", "a789cd1e-58db-5ec9-b218-ca8a6ace0eb2",
     "1bd91969-b792-54a3-be44-82d6f459c28d", "609b6100-2244-5bbb-8dc7-45f90a231535"},
    {false, "client1", "/data/dir/file", false, "_snap2", "a789cd1e-58db-5ec9-b218-ca8a6ace0eb2",
     "1bd91969-b792-54a3-be44-82d6f459c28d", "923ff22b-181d-5973-a960-fb24ee2936a8"},
    {true, "client1", "/data/dir/x", false, "", "800e7bd2-be07-5bc1-9473-d5bbfb707174",
     "0237b2eb-cf3b-5ef1-85b6-942d43caf7a0", "0dbe3229-9e77-57f5-8df4-72d350d39929"},
    {true, "client2", "/data/other/g", false, "", "9a7b3cf6-91c6-5fbd-9c57-60cf794aadda",
     "3b564d94-6739-5412-a09a-3b83e8771343", "dec87300-c34b-54b4-a351-8e5ae6a26665"},
    {false, "client1", "/f", false, "", "67e234b3-cbcb-516e-a5a3-58fdadcd3510",
     "cde69827-9ce5-5dc7-81a2-b89d40f86abd", "592fb719-b48d-550c-965f-ca6fba0eb90f"},
    {false, "client1", "rel", false, "", "e6034dc6-95cd-52c6-bd4b-5a793a8ee964",
     "e6034dc6-95cd-52c6-bd4b-5a793a8ee964", "644e6b27-66e9-5220-a8b3-0e1b5d1cd3f5"},
};

void ExpectGuids(const RuxenFilePrivate& p, const GuidCase& c) {
    std::string o, pa, v;
    EXPECT_TRUE(p.GetObjectGUID(o).IsSuccess());
    EXPECT_TRUE(p.GetParentObjectGUID(pa).IsSuccess());
    EXPECT_TRUE(p.GetVersionGUID(v).IsSuccess());
    EXPECT_EQ(c.object, o);
    EXPECT_EQ(c.parent, pa);
    EXPECT_EQ(c.version, v);
}

// One object runs through every case in turn and in reverse, asking for the
// GUIDs in different orders after changing what they are made of: GUIDs
// made on first use must still be those of the inputs at generation.
TEST(RuxenFilePrivateGuids, ValuesOfFixedInputsWhateverTheOrderOfUse) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_mtime = 1700000000;
    st.st_ctime = 1700000001;
    st.st_size = 1234;
    st.st_ino = 42;
    RuxenFilePrivate p;
    std::string out = "stale";
    EXPECT_EQ(ENOENT, p.GetObjectGUID(out).ErrNo());
    EXPECT_EQ("", out);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < sizeof kCases / sizeof kCases[0]; ++k) {
            const GuidCase& c = kCases[pass ? sizeof kCases / sizeof kCases[0] - 1 - k : k];
            SCOPED_TRACE(c.version);
            p.clientName = c.client;
            p.SetVersionGUIDSeedSuffix(c.suffix);
            ASSERT_TRUE((c.jobResult ? p.GenerateJobResultObjectGUIDs(c.path, st, c.stub)
                                     : p.GenerateBackupObjectGUIDs(c.path, st, c.stub))
                            .IsSuccess());
            p.SetVersionGUIDSeedSuffix("changed after generation");
            p.clientName = "changed after generation";
            if (k % 2) {
                std::string v;
                p.GetVersionGUID(v);  // before the object GUID it is made from
            }
            ExpectGuids(p, c);
        }
    }
    // A failed generation leaves no GUIDs of the previous item behind.
    EXPECT_TRUE(p.GenerateBackupObjectGUIDs("", st, false).IsError());
    EXPECT_TRUE(p.GetObjectGUID(out).IsError());
    EXPECT_TRUE(p.GetParentObjectGUID(out).IsError());
    EXPECT_TRUE(p.GetVersionGUID(out).IsError());
    EXPECT_EQ("", out);
}

TEST(RuxenFilePrivateGuids, ComponentIsTheMountHoldingThePath) {
    testfiles::TempDir dir;
    const std::string path = dir / "f";
    testfiles::WriteWholeFile(path, "x");
    RuxenFilePrivate p;
    p.clientName = "c";
    std::string fileComponent, dirComponent, root;
    EXPECT_TRUE(p.GetComponentGUID(root).IsError());
    ASSERT_TRUE(p.GenerateComponentGUID(path, false, false).IsSuccess());
    ASSERT_TRUE(p.GetComponentGUID(fileComponent).IsSuccess());
    ASSERT_TRUE(p.GenerateComponentGUID(dir.path(), false, false).IsSuccess());
    p.GetComponentGUID(dirComponent);
    EXPECT_EQ(fileComponent, dirComponent);  // one file system
    ASSERT_TRUE(p.GenerateComponentGUID("/", false, false).IsSuccess());
    p.GetComponentGUID(root);
    EXPECT_EQ(36u, root.size());
    EXPECT_TRUE(p.GenerateComponentGUID(dir / "missing", false, false).IsError());
    EXPECT_TRUE(p.GetComponentGUID(root).IsError());
}

TEST(RuxenFilePrivateMounts, AclSkipForRemoteFileSystems) {
    for (const char* fs : {"nfs", "nfs4", "autofs", "cifs", "smbfs"})
        EXPECT_TRUE(RuxenFilePrivate::ShouldSkipACLForMountPoint(fs)) << fs;
    for (const char* fs : {"ext4", "nf", "xfs"})
        EXPECT_FALSE(RuxenFilePrivate::ShouldSkipACLForMountPoint(fs)) << fs;
}

}  // namespace
