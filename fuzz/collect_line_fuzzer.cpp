// Collect files hold one escaped path per line. Feed arbitrary bytes through
// the path decoder line by line, the way a collect file is read: no input may
// crash it, and every line that decodes must survive another escape and
// decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/FileNameEscape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::string decoded;
    std::string escaped;
    std::string again;
    std::string error;
    size_t pos = 0;
    while (pos <= size) {
        const char* nl = static_cast<const char*>(memchr(text + pos, '\n', size - pos));
        size_t end = nl ? static_cast<size_t>(nl - text) : size;
        const char* line = text + pos;
        size_t len = end - pos;

        if (ruxen::unescapeFileName(line, len, decoded, &error)) {
            if (memchr(decoded.data(), '\0', decoded.size()))
                abort();  // a decoded path never holds NUL
            escaped.clear();
            ruxen::escapeFileNameInto(decoded.data(), decoded.size(), escaped);
            if (memchr(escaped.data(), '\n', escaped.size()) ||
                memchr(escaped.data(), '\r', escaped.size()))
                abort();  // an escaped path fits on one line
            if (!ruxen::unescapeFileName(escaped.data(), escaped.size(), again, &error) || again != decoded)
                abort();
        } else {
            if (error.empty() || error.find("offset") == std::string::npos)
                abort();  // a refusal always says where
            if (!decoded.empty())
                abort();  // and never hands back a cut path
        }

        // The raw line, taken as a path, must round-trip as well.
        if (!memchr(line, '\0', len)) {
            escaped.clear();
            ruxen::escapeFileNameInto(line, len, escaped);
            if (!ruxen::unescapeFileName(escaped.data(), escaped.size(), again, &error) ||
                again != std::string(line, len))
                abort();
        }
        if (!nl)
            break;
        pos = end + 1;
    }
    return 0;
}
