// Object, version and component GUIDs of the current item.
#include "ruxen/RuxenFilePrivate.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "support/TestFiles.h"

namespace {

struct stat StatOf(const std::string& path) {
    struct stat st;
    memset(&st, 0, sizeof st);
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(RuxenFilePrivateGuids, GettersAnswerAnErrorBeforeGeneration) {
    RuxenFilePrivate p;
    std::string out = "stale";
    EXPECT_TRUE(p.GetObjectGUID(out).IsError());
    EXPECT_EQ(out, "");
    EXPECT_TRUE(p.GetParentObjectGUID(out).IsError());
    EXPECT_TRUE(p.GetVersionGUID(out).IsError());
    EXPECT_TRUE(p.GetComponentGUID(out).IsError());
    EXPECT_EQ(p.GetObjectGUID(out).ErrNo(), ENOENT);
}

TEST(RuxenFilePrivateGuids, SameInputsSameGuidsAndChangesShowInTheVersion) {
    testfiles::TempDir dir;
    const std::string path = dir / "f";
    testfiles::WriteWholeFile(path, "one");
    struct stat st = StatOf(path);

    RuxenFilePrivate a, b;
    a.clientName = b.clientName = "client1";
    ASSERT_TRUE(a.GenerateBackupObjectGUIDs(path, st, false).IsSuccess());
    ASSERT_TRUE(b.GenerateBackupObjectGUIDs(path, st, false).IsSuccess());
    std::string oa, ob, va, vb, pa;
    ASSERT_TRUE(a.GetObjectGUID(oa).IsSuccess());
    ASSERT_TRUE(b.GetObjectGUID(ob).IsSuccess());
    EXPECT_EQ(oa, ob);
    EXPECT_EQ(oa.size(), 36u);
    ASSERT_TRUE(a.GetVersionGUID(va).IsSuccess());
    ASSERT_TRUE(b.GetVersionGUID(vb).IsSuccess());
    EXPECT_EQ(va, vb);
    ASSERT_TRUE(a.GetParentObjectGUID(pa).IsSuccess());
    EXPECT_NE(pa, oa);

    // The parent's object GUID is the directory's own object GUID.
    RuxenFilePrivate d;
    d.clientName = "client1";
    ASSERT_TRUE(d.GenerateBackupObjectGUIDs(dir.path(), StatOf(dir.path()), false).IsSuccess());
    std::string od;
    ASSERT_TRUE(d.GetObjectGUID(od).IsSuccess());
    EXPECT_EQ(od, pa);

    // Another client, a changed size, a stub or a seed suffix: other GUIDs.
    RuxenFilePrivate c;
    c.clientName = "client2";
    ASSERT_TRUE(c.GenerateBackupObjectGUIDs(path, st, false).IsSuccess());
    std::string oc;
    c.GetObjectGUID(oc);
    EXPECT_NE(oc, oa);
    struct stat grown = st;
    grown.st_size += 1;
    ASSERT_TRUE(b.GenerateBackupObjectGUIDs(path, grown, false).IsSuccess());
    b.GetVersionGUID(vb);
    EXPECT_NE(vb, va);
    b.GetObjectGUID(ob);
    EXPECT_EQ(ob, oa);
    ASSERT_TRUE(b.GenerateBackupObjectGUIDs(path, st, true).IsSuccess());
    b.GetVersionGUID(vb);
    EXPECT_NE(vb, va);
    b.SetVersionGUIDSeedSuffix("_snap2");
    ASSERT_TRUE(b.GenerateBackupObjectGUIDs(path, st, false).IsSuccess());
    b.GetVersionGUID(vb);
    EXPECT_NE(vb, va);

    // Job-results items live in a GUID space of their own.
    ASSERT_TRUE(c.GenerateJobResultObjectGUIDs(path, st, false).IsSuccess());
    c.clientName = "client1";
    ASSERT_TRUE(c.GenerateJobResultObjectGUIDs(path, st, false).IsSuccess());
    c.GetObjectGUID(oc);
    EXPECT_NE(oc, oa);
}

TEST(RuxenFilePrivateGuids, ComponentIsTheMountHoldingThePath) {
    testfiles::TempDir dir;
    const std::string path = dir / "f";
    testfiles::WriteWholeFile(path, "x");
    RuxenFilePrivate p;
    p.clientName = "c";
    ASSERT_TRUE(p.GenerateComponentGUID(path, false, false).IsSuccess());
    std::string fileComponent, dirComponent, root;
    ASSERT_TRUE(p.GetComponentGUID(fileComponent).IsSuccess());
    ASSERT_TRUE(p.GenerateComponentGUID(dir.path(), false, false).IsSuccess());
    p.GetComponentGUID(dirComponent);
    EXPECT_EQ(fileComponent, dirComponent);  // one file system
    ASSERT_TRUE(p.GenerateComponentGUID("/", false, false).IsSuccess());
    p.GetComponentGUID(root);
    EXPECT_EQ(root.size(), 36u);
    // A path that does not exist has no component.
    EXPECT_TRUE(p.GenerateComponentGUID(dir / "missing", false, false).IsError());
    EXPECT_TRUE(p.GetComponentGUID(root).IsError());
}

TEST(RuxenFilePrivateMounts, AclSkipForRemoteFileSystems) {
    EXPECT_TRUE(RuxenFilePrivate::ShouldSkipACLForMountPoint("nfs"));
    EXPECT_TRUE(RuxenFilePrivate::ShouldSkipACLForMountPoint("nfs4"));
    EXPECT_TRUE(RuxenFilePrivate::ShouldSkipACLForMountPoint("autofs"));
    EXPECT_TRUE(RuxenFilePrivate::ShouldSkipACLForMountPoint("cifs"));
    EXPECT_TRUE(RuxenFilePrivate::ShouldSkipACLForMountPoint("smbfs"));
    EXPECT_FALSE(RuxenFilePrivate::ShouldSkipACLForMountPoint("ext4"));
    EXPECT_FALSE(RuxenFilePrivate::ShouldSkipACLForMountPoint("nf"));
}

}  // namespace
