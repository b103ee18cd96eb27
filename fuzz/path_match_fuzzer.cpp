// Pattern and name from the input: the first byte chooses the matcher's
// options, the rest is "pattern NUL name". On a single component (no '/' in
// either) glibc's fnmatch is the oracle; longer paths must merely not crash
// and must finish in time.
#include <fnmatch.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "platform/content/TPathMatch.h"

// Patterns of more than 64 tokens take the long matcher.
RUXEN_FUZZ_MAX_LEN(4096)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const unsigned opts = data[0];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t nul = rest.find('\0');
    if (nul == std::string::npos)
        return 0;
    std::string pattern = rest.substr(0, nul);
    std::string name = rest.substr(nul + 1);

    TPathMatch m;
    if (opts & 1)
        m.caseInsensitive();
    if (opts & 2) {
        m.setDelimiter('\\');
        m.setEscape('/');
    }
    const int anchored = (opts & 4) ? 0 : 1;
    const int prefix = (opts & 8) ? 1 : 0;
    if (m.init(pattern, anchored, prefix) != 0) {
        if (m.match(name) != 0)
            abort();  // a refused pattern matches nothing
        return 0;
    }
    const int got = m.match(name);
    const bool single = (opts & 0x0E) == 0 && pattern.find('/') == std::string::npos &&
                        name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
    if (single) {
        const int want = fnmatch(pattern.c_str(), name.c_str(), FNM_PATHNAME | ((opts & 1) ? FNM_CASEFOLD : 0)) == 0;
        if (got != want)
            abort();
    }
    return 0;
}
