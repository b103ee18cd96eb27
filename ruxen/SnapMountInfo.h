// The job's snapshot information as the parent gathers it: per content
// entry, the snapshot devices that hold it. The name mapping of the
// children is made from the devices' original and snapshot mount paths.
#pragma once

#include <string>
#include <vector>

struct kx_snapdevmntpath {
    std::string sOrigMntpath;  // where the device was mounted when the snapshot was taken
    std::string sSnapMntpath;  // where its snapshot is mounted now
    std::string sSnapDevname;
};

struct kx_contenttosnapmnt {
    std::string sContentPath;
    std::vector<kx_snapdevmntpath> vSnapdevmntpath;
};
