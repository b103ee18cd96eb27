// Shared by the hard-link tests: a job results directory with the feature
// switched on, and stat buffers of chosen identity.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>

#include "hardlinks/HardLinkManager.h"
#include "hardlinks/HardLinkMessages.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/base/TestControl.h"
#include "support/TestFiles.h"

class HardLinkJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        ruxen::testcontrol::ResetAll();
        HardLinkManager::EnableHardLinkFeature();
    }
    void TearDown() override { ruxen::testcontrol::ResetAll(); }
    std::string At(const std::string& rel) const { return m_dir / rel; }

    // Every file of the directory but the hard-links table's and the lock file, with its content.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> files;
        DIR* d = opendir(m_dir.path().c_str());
        while (dirent* e = d ? readdir(d) : nullptr) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && name.compare(0, 9, "hardLinks") != 0 && name != kJobDirectoryLockName)
                files[name] = testfiles::ReadWholeFile(At(name));
        }
        if (d)
            closedir(d);
        return files;
    }
    // Empties the directory, the hard-links table's files included.
    void ClearDir() const {
        ASSERT_TRUE(testfiles::RemoveTree(m_dir.path()));
        ASSERT_EQ(mkdir(m_dir.path().c_str(), 0700), 0);
    }
    void WriteFiles(const std::map<std::string, std::string>& files) const {
        for (const auto& kv : files)
            testfiles::WriteWholeFile(At(kv.first), kv.second);
    }

    static struct stat Stat(uint64_t ino, uint64_t dev, int64_t ctime, int64_t size) {
        struct stat st {};
        st.st_ino = ino;
        st.st_dev = dev;
        st.st_ctime = ctime;
        st.st_size = size;
        return st;
    }

    testfiles::TempDir m_dir{"ruxen_hl", testfiles::SyncFreeBase()};
};
