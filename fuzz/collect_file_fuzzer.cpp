// Collect files come from the scan program and are read line by line. Feed
// arbitrary bytes through the collect-file reader: no input may crash it;
// every line is answered once at its own offset, except directives and the
// "# /" line of hard-link collect files, which yield nothing; a line answered
// as an item carries exactly the path its text decodes to (after a marker
// list or the numbers of a hard-link entry); a bad line never hands back a
// path, and its listing fits one line and, when it is not the line's own
// text, cannot be decoded into a path. A restart at a line reads the same
// answers again.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/text/FileNameEscape.h"
#include "ruxen/CollectFileReader.h"

namespace {

struct Answer {
    CollectLineSource::Result result;
    uint64_t offset;
    std::string path;
    uint32_t markers;
    bool newGroup;
    bool operator!=(const Answer& o) const {
        return result != o.result || offset != o.offset || path != o.path || markers != o.markers ||
               newGroup != o.newGroup;
    }
};

// Where the escaped path of an item line begins.
size_t PathStart(const CollectLine& line, const char* raw, size_t len) {
    if (line.kind == CollectLine::kHardLinkEntry) {
        size_t blanks = 0, i = 0;
        for (; i < len && blanks < 5; ++i)
            blanks += raw[i] == ' ';
        return i;
    }
    if (line.markers) {
        const char* close = static_cast<const char*>(memchr(raw + 3, '%', len - 3));
        return close ? static_cast<size_t>(close - raw) + 1 : len + 1;
    }
    return 0;
}

}  // namespace

// Past the collect line's bound of 64 KiB.
RUXEN_FUZZ_MAX_LEN(128 * 1024)

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
    std::vector<Answer> answers;
    size_t k = 0;
    for (;;) {
        CollectLineSource::Result r = reader.Next(line);
        // Lines passed over must be directives or "# /".
        for (; k < starts.size() && (r == CollectLineSource::kEnd || starts[k] < line.offset); ++k) {
            const char* skipped = text.data() + starts[k];
            size_t avail = size - starts[k];
            if (!(avail >= 3 && memcmp(skipped, "%??", 3) == 0) && !(avail >= 3 && memcmp(skipped, "# /", 3) == 0))
                abort();  // a line was lost
        }
        if (r == CollectLineSource::kEnd)
            break;
        if (k >= starts.size() || line.offset != starts[k])
            abort();  // invented, or not at a line start
        ++k;
        answers.push_back({r, line.offset, line.path, line.markers, line.newGroup});
        size_t nl = text.find('\n', line.offset);
        size_t end = nl == std::string::npos ? size : nl;
        const char* raw = text.data() + line.offset;
        size_t len = end - line.offset;
        if (len > 0 && raw[len - 1] == '\r')
            --len;

        if (r == CollectLineSource::kLine) {
            if (line.path.empty() || line.path[0] != '/' || memchr(line.path.data(), '\0', line.path.size()))
                abort();
            if (memchr(raw, '\r', len) || len > CollectFileReader::kMaxLineBytes)
                abort();
            size_t at = PathStart(line, raw, len);
            if (at > len || !ruxen::unescapeFileName(raw + at, len - at, decoded, nullptr) || decoded != line.path)
                abort();
            if (((line.markers & kMarkerDeleted) != 0) != (line.deletedKind >= 1 && line.deletedKind <= 7) ||
                ((line.markers & kMarkerMount) != 0) != (line.mountIndex > 0) ||
                ((line.markers & kMarkerSalesforce) != 0) != (line.salesforceKind > 0))
                abort();  // a marker without its value, or a value without its marker
            if (line.kind == CollectLine::kHardLinkEntry && (line.markers || raw[0] != '#'))
                abort();
        } else if (r == CollectLineSource::kBadLine) {
            if (!line.path.empty() || line.markers || line.error.empty() || line.rawLength != len)
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
            if ((len == 0 || line.errnum == ENAMETOOLONG) &&
                ruxen::unescapeFileName(listing.data(), listing.size(), decoded, nullptr))
                abort();  // marked: no reader takes it for a real path
        } else {
            abort();  // no read errors from memory
        }
    }

    // A restart at an answered line reads the same answers from there on.
    if (!answers.empty()) {
        size_t from = answers.size() / 2;
        if (!reader.Seek(answers[from].offset))
            abort();
        for (size_t i = from; i < answers.size(); ++i) {
            CollectLineSource::Result r = reader.Next(line);
            if (answers[i] != Answer{r, line.offset, line.path, line.markers, line.newGroup})
                abort();
        }
        if (reader.Next(line) != CollectLineSource::kEnd)
            abort();
    }
    return 0;
}
