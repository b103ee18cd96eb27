// Shared by the hard-link tests: a job results directory with the feature
// switched on, and stat buffers of chosen identity.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "hardlinks/HardLinkManager.h"
#include "platform/KXPlatformInfo.h"
#include "support/TestFiles.h"

class HardLinkJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        KXPlatformInfo::resetForTest();
        HardLinkManager::ResetForTest();
        HardLinkManager::EnableHardLinkFeature();
    }
    void TearDown() override {
        HardLinkManager::ResetForTest();
        KXPlatformInfo::resetForTest();
    }
    std::string At(const std::string& rel) const { return m_dir / rel; }

    static struct stat Stat(uint64_t ino, uint64_t dev, int64_t ctime, int64_t size) {
        struct stat st {};
        st.st_ino = ino;
        st.st_dev = dev;
        st.st_ctime = ctime;
        st.st_size = size;
        return st;
    }

    testfiles::TempDir m_dir{"ruxen_hl"};
};
