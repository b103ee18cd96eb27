// Files for tests: a private temporary directory removed with everything in
// it, whole-file reads and writes that fail the test when they fail, and
// makers of patterned, sparse and very long-named files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testfiles {

// A base for temporary directories of tests that sync a lot: a memory file
// system where there is one (/dev/shm), where a sync costs nothing, else /tmp.
const char* SyncFreeBase();

class TempDir {
public:
    // A new directory under `base` whose name starts with `prefix`.
    explicit TempDir(const char* prefix = "ruxen_test", const char* base = "/tmp");
    ~TempDir();  // removes the tree (symbolic links are not followed)
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + rel
    std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

private:
    std::string m_path;
};

// Removes a tree, however deep (it walks by directory descriptors, so paths
// longer than PATH_MAX go too); answers false when something could not be
// removed.
bool RemoveTree(const std::string& path);

// The whole content of a file ("" when it cannot be read, with a test failure).
std::string ReadWholeFile(const std::string& path);

// How many times `what` occurs in `text`, one after another (not overlapping).
size_t CountOf(const std::string& text, const std::string& what);

// Creates (mode 0644, whatever the umask) or replaces a file with `content`;
// a failure is a fatal test failure (wrap the call in
// ASSERT_NO_FATAL_FAILURE to stop the test).
void WriteWholeFile(const std::string& path, const std::string& content);

// Bytes that differ from position to position (and from seed to seed).
std::string pattern(size_t n, unsigned seed = 1);

// A sparse file of `size` bytes holding `pieces` (offset, bytes); a failure
// is a fatal test failure.
void WriteSparse(const std::string& path, uint64_t size,
                 const std::vector<std::pair<uint64_t, std::string>>& pieces);

// Whether the file system holding `dir` reports holes (SEEK_HOLE).
bool ReportsHoles(const std::string& dir);

// Makes a file of 4 bytes under `base` whose path is exactly `total`
// characters, through nested directories of 200-character names (made by
// descriptor, so no call sees more than one component). Answers the path,
// "" when it could not be made.
std::string MakePathOfLength(const std::string& base, size_t total);

}  // namespace testfiles
