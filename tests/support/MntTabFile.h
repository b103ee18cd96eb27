// A mount table written to a file of a fresh temporary directory; the
// mount-table reader is pointed at it for the life of the object.
#pragma once

#include <string>

#include "platform/base/TestControl.h"
#include "platform/os/KxMntTab.h"
#include "support/TestFiles.h"

namespace testfiles {

class MntTabFile {
public:
    explicit MntTabFile(const std::string& text) {
        WriteWholeFile(path_, text);
        ruxen::testcontrol::SetMountTablePath(path_.c_str());
    }
    ~MntTabFile() { ruxen::testcontrol::SetMountTablePath(nullptr); }
    MntTabFile(const MntTabFile&) = delete;
    MntTabFile& operator=(const MntTabFile&) = delete;

    const std::string& path() const { return path_; }

private:
    TempDir dir_{"mnt_tab_test"};
    std::string path_ = dir_ / "mounts";
};

}  // namespace testfiles
