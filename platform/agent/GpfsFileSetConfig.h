// Stand-ins for the application library's GPFS file-set messages: the list
// of a job's file sets, which the job writes as "FileSetTmp.kxf" into its
// job-results directory.
//
// Their XML text (read through the hardened parser; no DOCTYPE accepted):
//
//   <App_GpfsFileSetConfigList>                  root, compared exactly
//     <fileSet name="projects" path="/gpfs/fs0/projects"/>
//     ...                                        fileSet elements directly
//   </App_GpfsFileSetConfigList>                 under the root
//
// Both attributes must be present and not empty, and the path absolute;
// trailing slashes of the path are dropped ("/" stays "/"). An element that
// breaks a rule is skipped and named in the list's skipped lines; so is a
// second element with a path already listed (the first one stays). Other
// elements and text are ignored. A document that does not parse, or whose
// root is not the list, is an error.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace App {

constexpr const char* kGpfsFileSetListRoot = "App_GpfsFileSetConfigList";
constexpr const char* kGpfsFileSetElement = "fileSet";

struct GpfsFileSetConfig {
    std::string fileSetName;
    std::string fileSetPath;
};

// A job's file sets by path.
using GpfsFileSetMap = std::map<std::string, GpfsFileSetConfig>;

class GpfsFileSetConfigList {
public:
    static constexpr uint32_t kGroup = 30;
    static constexpr uint32_t kType = 602;

    // Reads the list from XML text; `name` names the text in errors. False
    // with the reason in `error`; the list is then empty.
    bool unserialize(const std::string& xml, const std::string& name, std::string& error);
    // The same from a regular file of at most 16 MiB.
    bool readFile(const std::string& path, std::string& error);

    std::vector<GpfsFileSetConfig> fileSets;
    // One line per skipped element: its position among the fileSet
    // elements (from 1) and why.
    std::vector<std::string> skipped;
};

}  // namespace App
