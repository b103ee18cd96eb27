// A fixture directory for the snapshot stand-ins: a fresh temporary directory
// named by the registry value FileSystemAgent/sSnapFixtureDir for the life of
// the object, with helpers that write a job's fixture files into it.
#pragma once

#include <string>

#include "platform/agent/KXPlatformInfo.h"
#include "platform/snapshot/StandInFixtures.h"
#include "support/TestFiles.h"

namespace testfiles {

class SnapFixture {
public:
    SnapFixture() { KXPlatformInfo::setValue(StandInFixtures::kSection, StandInFixtures::kDirKey, dir_.path()); }
    ~SnapFixture() { KXPlatformInfo::removeValue(StandInFixtures::kSection, StandInFixtures::kDirKey); }
    SnapFixture(const SnapFixture&) = delete;
    SnapFixture& operator=(const SnapFixture&) = delete;

    const TempDir& dir() const { return dir_; }
    // Writes "<job><suffix>" (".snap", ".flrcp", ".dbfiles").
    void write(long long job, const char* suffix, const std::string& text) const {
        WriteWholeFile(dir_ / (std::to_string(job) + suffix), text);
    }

private:
    TempDir dir_{"snap_fixture"};
};

}  // namespace testfiles
