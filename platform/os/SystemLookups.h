// User and group names and file-system block sizes, from the system
// (getpwuid_r, getgrgid_r, statfs), each call counted so that a test can
// see which look-ups a cache saved.
#pragma once

#include <cstdint>
#include <string>

namespace SystemLookups {

// The name of a user id: true with `name`; false with `err` set (0 when
// the system has no such user).
bool UserName(uint32_t uid, std::string& name, int& err);
// The same for a group id.
bool GroupName(uint32_t gid, std::string& name, int& err);
// The block size (f_bsize) of the file system that holds `path`: true with
// `size`; false with `err` set.
bool BlockSize(const char* path, uint64_t& size, int& err);

struct Counts {
    uint64_t users = 0, groups = 0, statfs = 0;
};
Counts GetCounts();

}  // namespace SystemLookups

namespace skipFS {

// The file-system types whose mounts are not local (network and pseudo
// file systems), as one comma-separated text; a type that occurs in it is
// not asked for its block size when the job skips non-local mounts.
inline const char* GetIgnoreFSTypes() {
    return "nfs,nfs4,cifs,smbfs,smb3,autofs,afs,ncpfs,9p,fuse.sshfs,glusterfs,ceph,proc,sysfs,devpts,"
           "cgroup2,debugfs,securityfs,pstore,mqueue,hugetlbfs,binfmt_misc,fusectl,configfs,tracefs,bpf";
}

}  // namespace skipFS
