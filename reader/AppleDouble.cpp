#include "reader/AppleDouble.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "platform/base/Coding.h"
#include "platform/base/FdIO.h"

void AppleDouble::Decode(const unsigned char* table, unsigned count) {
    m_entries.resize(count);
    for (unsigned i = 0; i < count; ++i) {
        const char* e = reinterpret_cast<const char*>(table) + size_t(i) * kEntrySize;
        m_entries[i].id = ruxen::DecodeFixed32(e);
        m_entries[i].offset = ruxen::DecodeFixed32(e + 4);
        m_entries[i].length = ruxen::DecodeFixed32(e + 8);
    }
}

AppleDouble::Result AppleDouble::Read(int fd, unsigned maxEntries) {
    m_entries.clear();
    m_count = 0;
    unsigned char header[kHeaderSize];
    ssize_t n = ruxen::preadFull(fd, header, sizeof(header), 0);
    if (n < 0)
        return kNoHeader;
    if (static_cast<size_t>(n) < sizeof(header)) {
        errno = EINVAL;
        return kNoHeader;
    }
    m_count = ruxen::DecodeFixed16(reinterpret_cast<const char*>(header) + kCountOffset);
    if (m_count > maxEntries) {
        errno = ENFILE;
        return kTooMany;
    }
    const size_t want = size_t(m_count) * kEntrySize;
    m_raw.resize(want);
    n = want ? ruxen::preadFull(fd, m_raw.data(), want, static_cast<off_t>(kHeaderSize)) : 0;
    if (n < 0)
        return kNoEntries;
    if (static_cast<size_t>(n) < want) {
        errno = ENFILE;
        return kNoEntries;
    }
    Decode(m_raw.data(), m_count);
    return kOk;
}

AppleDouble::Result AppleDouble::Parse(const unsigned char* data, size_t size, unsigned maxEntries) {
    m_entries.clear();
    m_count = 0;
    if (data == nullptr || size < kHeaderSize) {
        errno = EINVAL;
        return kNoHeader;
    }
    m_count = ruxen::DecodeFixed16(reinterpret_cast<const char*>(data) + kCountOffset);
    if (m_count > maxEntries) {
        errno = ENFILE;
        return kTooMany;
    }
    if (size - kHeaderSize < size_t(m_count) * kEntrySize) {
        errno = ENFILE;
        return kNoEntries;
    }
    Decode(data + kHeaderSize, m_count);
    return kOk;
}

const AppleDouble::Entry* AppleDouble::Find(uint32_t id) const {
    for (const Entry& e : m_entries)
        if (e.id == id)
            return &e;
    return nullptr;
}
