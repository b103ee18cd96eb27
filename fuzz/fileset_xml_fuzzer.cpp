// The GPFS file-set list is a work file of the job-results directory. Feed
// arbitrary bytes through the list reader and the per-file object's loader:
// no input may crash either; every file set kept has a name and an absolute
// path without trailing slashes, no path twice; the loader finds each of
// them and keeps nothing else.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"

#include "platform/agent/GpfsFileSetConfig.h"
#include "ruxen/RuxenFilePrivate.h"
#include "ruxen/RuxenMessages.h"

// Past the XML reader's bound of 16 MiB.
RUXEN_FUZZ_MAX_LEN((16u << 20) + 64)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = fuzzsupport::ScratchDir();
    fuzzsupport::QuietLog();
    fuzzsupport::WriteInput(dir + "/" + kFileSetListFile, data, size);

    App::GpfsFileSetConfigList list;
    std::string error;
    const bool ok = list.unserialize(std::string(reinterpret_cast<const char*>(data), size), "fuzz", error);
    if (!ok && (error.empty() || !list.fileSets.empty()))
        abort();
    for (const App::GpfsFileSetConfig& c : list.fileSets) {
        const std::string& p = c.fileSetPath;
        if (c.fileSetName.empty() || p.empty() || p[0] != '/' || (p.size() > 1 && p.back() == '/'))
            abort();
    }

    RuxenFilePrivate priv;
    if (priv.LoadGpfsFileSetInfo(dir) != ok || priv.FileSetCount() != list.fileSets.size())
        abort();
    for (const App::GpfsFileSetConfig& c : list.fileSets) {
        const App::GpfsFileSetConfig* found = priv.FindFileSet(c.fileSetPath + "/");
        if (!found || found->fileSetName != c.fileSetName)
            abort();
    }
    return 0;
}
