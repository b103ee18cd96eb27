// Collect lines come from the scan program. Feed arbitrary bytes, line by
// line, through the path decoder and through the collect-line parser:
// no input may crash either; a line that decodes survives another escape and
// decode unchanged; a line on its own is an item (with an absolute path), a
// bad line (without one), or nothing (a directive or "# /"); the same line
// after an item answers the same, except that a directive there is late and
// so a bad line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "platform/text/FileNameEscape.h"
#include "ruxen/CollectFileReader.h"

namespace {

// The reader's answer for `text`'s line at `offset`: 'I' item, 'B' bad,
// '-' nothing.
char Parse(const std::string& text, uint64_t offset, CollectLine& line, uint64_t* generations) {
    CollectFileReader reader;
    reader.OpenMemory("fuzz", text);
    const uint64_t before = reader.Directives()->generation;
    CollectLineSource::Result r;
    while ((r = reader.Next(line)) != CollectLineSource::kEnd && line.offset < offset) {
    }
    *generations = reader.Directives()->generation - before;
    if (r == CollectLineSource::kEnd || line.offset != offset)
        return '-';
    if (r == CollectLineSource::kLine) {
        if (line.path.empty() || line.path[0] != '/' || memchr(line.path.data(), '\0', line.path.size()))
            abort();
        return 'I';
    }
    if (r != CollectLineSource::kBadLine || !line.path.empty() || line.markers || line.error.empty())
        abort();
    return 'B';
}

}  // namespace

// Past the collect line's bound of 64 KiB.
RUXEN_FUZZ_MAX_LEN(128 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::string decoded, escaped, again, error;
    CollectLine alone, after;
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
            if (memchr(escaped.data(), '\n', escaped.size()) || memchr(escaped.data(), '\r', escaped.size()))
                abort();  // an escaped path fits on one line
            if (!ruxen::unescapeFileName(escaped.data(), escaped.size(), again, &error) || again != decoded)
                abort();
        } else if (error.empty() || error.find("offset") == std::string::npos || !decoded.empty()) {
            abort();  // a refusal says where and never hands back a cut path
        }

        const std::string one(line, len);
        if (len == 0) {  // no line at all on its own
            if (!nl)
                break;
            pos = end + 1;
            continue;
        }
        uint64_t gAlone = 0, gAfter = 0;
        char a = Parse(one, 0, alone, &gAlone);
        char b = Parse("/item\n" + one, 6, after, &gAfter);
        const bool directive = len >= 3 && memcmp(line, "%??", 3) == 0 && a == '-';
        if (a == '-' && !directive && one != "# /" && one != "# /\r")
            abort();  // nothing only for a directive or "# /"
        if ((gAlone != 0) != directive || gAfter != 0)
            abort();  // directives take effect only before the first item
        if (directive ? b != 'B' : (a != b || alone.path != after.path || alone.markers != after.markers))
            abort();
        if (!nl)
            break;
        pos = end + 1;
    }
    return 0;
}
