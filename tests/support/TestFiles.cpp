#include "support/TestFiles.h"

#include <ftw.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testfiles {

namespace {

bool g_removeFailed = false;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    if (remove(path) != 0)
        g_removeFailed = true;
    return 0;
}

}  // namespace

TempDir::TempDir(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "_XXXXXX";
    if (!mkdtemp(&tmpl[0]))
        ADD_FAILURE() << "mkdtemp(" << tmpl << "): " << strerror(errno);
    m_path = tmpl;
}

TempDir::~TempDir() {
    RemoveTree(m_path);
}

bool RemoveTree(const std::string& path) {
    g_removeFailed = false;
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return !g_removeFailed;
}

std::string ReadWholeFile(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path << ": " << strerror(errno);
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        FAIL() << "cannot create " << path << ": " << strerror(errno);
    }
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = fclose(f) == 0 && ok;
    if (!ok)
        FAIL() << "cannot write " << path << ": " << strerror(errno);
}

}  // namespace testfiles
