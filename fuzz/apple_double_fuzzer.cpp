// AppleDouble companion files come from the backed-up file system: anyone
// who can write beside a file can write its companion. Feed arbitrary bytes
// as the companion of a fixed item and read the item through the file
// reader: no input may crash it, a successful read must yield exactly what
// getTotalSize promised (data, resource fork, 92-byte properties block),
// and every part must match the bytes the table points at.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "reader/AppleDouble.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"

namespace {

std::string g_dir, g_item, g_companion;
const std::string kData = "The data fork of the item: 45 bytes of text.\n";

bool writeAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

void setUp() {
    KxLog::UseFile("/dev/null");  // format faults are logged at the failure level
    g_dir = fuzzsupport::ScratchDir();
    ruxen::testcontrol::SetHookDirectory(g_dir);  // no hook file applies
    g_item = g_dir + "/item";
    g_companion = g_dir + "/._item";
    if (!writeAll(g_item, reinterpret_cast<const uint8_t*>(kData.data()), kData.size()))
        abort();
}

// What the reader must deliver for part `id` of `want` bytes: the entry's
// bytes (as far as the file has them) padded with zeros.
std::string expectedPart(const AppleDouble& ad, bool tableOk, const uint8_t* data, size_t size, uint32_t id,
                         size_t want) {
    std::string out(want, '\0');
    if (!tableOk)
        return out;
    const AppleDouble::Entry* e = ad.Find(id);
    if (e == nullptr || e->offset == 0)
        return out;
    size_t n = e->length < want ? e->length : want;
    if (e->offset >= size)
        return out;
    if (n > size - e->offset)
        n = size - e->offset;
    memcpy(&out[0], data + e->offset, n);
    return out;
}

}  // namespace

// A companion's table of up to 1024 entries, and forks around it.
RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_dir.empty())
        setUp();
    if (!writeAll(g_companion, data, size))
        abort();

    // The parser alone, with and without the size query's limit.
    AppleDouble ad;
    AppleDouble::Result all = ad.Parse(data, size);
    if (all == AppleDouble::kOk &&
        (size < AppleDouble::kHeaderSize + ad.Count() * AppleDouble::kEntrySize || ad.Entries().size() != ad.Count()))
        abort();
    AppleDouble limited;
    AppleDouble::Result lim = limited.Parse(data, size, AppleDouble::kMaxEntries);
    if (lim == AppleDouble::kTooMany && limited.Count() <= AppleDouble::kMaxEntries)
        abort();

    auto ctx = std::make_shared<CFileReaderContext>();
    ctx->InitHSM();
    std::shared_ptr<CFileReader> reader = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    struct stat st;
    if (lstat(g_item.c_str(), &st) != 0)
        abort();

    const size_t sizes[] = {1, 7, 60, 61, 4096};
    for (size_t bs : sizes) {
        if (bs == 1 && size > 4096)
            continue;  // one table read per byte: keep the run short
        if (reader->initialize(g_item.c_str(), &st, true, false) != 0)
            abort();  // the companion is a readable regular file
        if (!(reader->isHFS() & CFileReader::kHFSHasCompanion))
            abort();
        const long long total = reader->getTotalSize();
        const long long rsrc = reader->getResourceSize();
        if (rsrc < 0 || total != static_cast<long long>(kData.size()) + rsrc + 92)
            abort();
        // The size query agrees with the parser under its limit.
        int q = reader->getAppleDoubleSize(HFS_RESOURCE_FORK, reader->GetResourceFileHandle());
        if (lim == AppleDouble::kOk) {
            const AppleDouble::Entry* e = limited.Find(HFS_RESOURCE_FORK);
            long long want = e == nullptr ? -2 : (e->length > 0x7FFFFFFFu ? -1 : static_cast<long long>(e->length));
            if (q != want)
                abort();
        } else if (q != -1) {
            abort();
        }

        std::vector<char> buf(bs);
        std::string got;
        bool failed = false;
        for (;;) {
            int n = reader->read(buf.data(), bs);
            if (n < 0) {
                failed = true;
                break;
            }
            if (n == 0)
                break;
            if (static_cast<size_t>(n) > bs)
                abort();
            got.append(buf.data(), static_cast<size_t>(n));
            if (static_cast<long long>(got.size()) > total)
                abort();  // more than promised
        }
        if (got.compare(0, kData.size() < got.size() ? kData.size() : got.size(), kData, 0,
                        kData.size() < got.size() ? kData.size() : got.size()) != 0)
            abort();
        if (failed)
            continue;
        if (static_cast<long long>(got.size()) != total)
            abort();  // a success is always the whole item
        const bool tableOk = all == AppleDouble::kOk;
        const size_t r = static_cast<size_t>(rsrc);
        if (r > 0) {
            const AppleDouble::Entry* e = ad.Find(HFS_RESOURCE_FORK);
            if (!tableOk || e == nullptr || e->offset == 0 || static_cast<size_t>(e->offset) + r > size ||
                got.compare(kData.size(), r, reinterpret_cast<const char*>(data) + e->offset, r) != 0)
                abort();
        }
        const bool noProps = (reader->isHFS() & CFileReader::kHFSNoProperties) != 0;
        std::string props = noProps ? std::string(60, '\0') : expectedPart(ad, tableOk, data, size, HFS_PROPERTIES, 60);
        std::string finder = expectedPart(ad, tableOk, data, size, HFS_FINDER_INFO, 32);
        if (got.compare(kData.size() + r, 60, props) != 0 || got.compare(kData.size() + r + 60, 32, finder) != 0)
            abort();
    }
    reader->closeFile();
    return 0;
}
