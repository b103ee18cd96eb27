// Files for tests: a private temporary directory removed with everything in
// it, and whole-file reads and writes that fail the test when they fail.
#pragma once

#include <string>

namespace testfiles {

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

// Creates (mode 0644, whatever the umask) or replaces a file with `content`;
// a failure is a fatal test failure (wrap the call in
// ASSERT_NO_FATAL_FAILURE to stop the test).
void WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace testfiles
