// Collect files come from the scan program and are read line by line. Feed
// arbitrary bytes through the collect-file reader: no input may crash it,
// every line must be answered exactly once at its own offset, a line that is
// answered as a path must decode to exactly that path (a CR before the LF
// belongs to the line end), and a bad line never hands back a path; its
// listing fits one line and, when it is not the line's own text, cannot be
// decoded into a path.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/FileNameEscape.h"
#include "ruxen/CollectFileReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CollectFileReader reader;
    reader.OpenMemory("fuzz", text);

    // The lines as a plain split finds them.
    std::vector<size_t> starts;
    for (size_t pos = 0; pos < size;) {
        starts.push_back(pos);
        size_t nl = text.find('\n', pos);
        pos = nl == std::string::npos ? size : nl + 1;
    }

    CollectLine line;
    std::string decoded, listing;
    std::vector<CollectLineSource::Result> results;
    for (size_t k = 0;; ++k) {
        CollectLineSource::Result r = reader.Next(line);
        if (r == CollectLineSource::kEnd) {
            if (k != starts.size())
                abort();  // a line was lost or invented
            break;
        }
        if (k >= starts.size() || line.offset != starts[k])
            abort();
        results.push_back(r);
        size_t nl = text.find('\n', line.offset);
        size_t end = nl == std::string::npos ? size : nl;
        const char* raw = text.data() + line.offset;
        size_t len = end - line.offset;
        if (len > 0 && raw[len - 1] == '\r')
            --len;

        if (r == CollectLineSource::kLine) {
            if (line.path.empty() || line.path[0] != '/')
                abort();
            if (memchr(line.path.data(), '\0', line.path.size()) || memchr(raw, '\r', len))
                abort();
            if (len > CollectFileReader::kMaxLineBytes)
                abort();
            if (!ruxen::unescapeFileName(raw, len, decoded, nullptr) || decoded != line.path)
                abort();
        } else if (r == CollectLineSource::kBadLine) {
            if (!line.path.empty() || line.error.empty() || line.rawLength != len)
                abort();
            if (line.errnum == ENAMETOOLONG) {
                if (len <= CollectFileReader::kMaxLineBytes ||
                    line.raw != std::string(raw, CollectFileReader::kOverlongKeepBytes))
                    abort();
            } else if (line.errnum == EINVAL) {
                if (line.raw != std::string(raw, len))
                    abort();
            } else {
                abort();
            }
            listing.clear();
            AppendBadLineListing(line, listing);
            if (memchr(listing.data(), '\n', listing.size()) || memchr(listing.data(), '\r', listing.size()) ||
                memchr(listing.data(), '\0', listing.size()))
                abort();  // one list line, never cut
            if ((len == 0 || line.errnum == ENAMETOOLONG) && ruxen::unescapeFileName(listing.data(), listing.size(), decoded, nullptr))
                abort();  // marked: no reader takes it for a real path
        } else {
            abort();  // no read errors from memory
        }
    }

    // A restart at any line's offset reads the same answer again.
    if (!starts.empty()) {
        size_t k = starts.size() / 2;
        if (!reader.Seek(starts[k]))
            abort();
        if (reader.Next(line) != results[k] || line.offset != starts[k])
            abort();
    }
    return 0;
}
