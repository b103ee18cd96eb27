// The filter file is written by the scan side and an administrator: any
// bytes go through both forms of the parser (the file form from a FILE*, the
// stream form from an input stream), with a mapper and a moniker that
// expand, and the SC lists then answer checkVmAndAddPath.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "mapping/ContentMapper.h"
#include "norfa/KxFilterFile.h"
#include "platform/content/CMonikerResolver.h"

// Past the filter file's line bound of 64 KiB.
RUXEN_FUZZ_MAX_LEN(128 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    static ContentMapper* mapper = [] {
        auto* m = new ContentMapper;
        m->SetSourceToLocalMap({{"/data", "/mnt/data"}});
        m->initialize("1:25");
        CMonikerResolver::RegisterMoniker("%TEMP%", {"/tmp/t", "/var/t*"});
        return m;
    }();
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    KxFilterFile parser;
    parser.SetProxyHostObject(mapper);
    FilterParamBlock old;
    old.file = fmemopen(const_cast<char*>(bytes.data()), bytes.size() ? bytes.size() : 1, "r");
    if (old.file != nullptr) {
        parser.ParseFilterFile(&old);
        fclose(old.file);
        checkVmAndAddPath(&old, "/data/vm1");
    }
    FilterParamBlock_s neu;
    std::istringstream in(bytes);
    neu.input = &in;
    parser.ParseFilterFile(&neu);
    return 0;
}
