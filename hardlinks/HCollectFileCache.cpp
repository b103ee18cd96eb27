#include "hardlinks/HCollectFileCache.h"

#include "hardlinks/HardLinkExceptions.h"
#include "platform/agent/KxLog.h"

HCollectFileCache::Ptr HCollectFileCache::Get(uint32_t number, int mode, const std::string& directory,
                                              const std::string& baseName, const std::string& suffix) {
    auto it = m_files.find(number);
    if (it != m_files.end() && it->second.file->fileMode() == mode) {
        it->second.lastUse = ++m_clock;
        return it->second.file;
    }
    if (it != m_files.end())
        Drop(number);
    EvictIfFull();
    Ptr file = std::make_shared<HCollectFile>(directory, baseName, number, mode, suffix);
    m_files[number] = Entry{file, ++m_clock};
    return file;
}

void HCollectFileCache::EvictIfFull() {
    while (m_files.size() >= m_capacity) {
        auto victim = m_files.end();
        for (auto it = m_files.begin(); it != m_files.end(); ++it)
            if (it->second.file.use_count() == 1 &&
                (victim == m_files.end() || it->second.lastUse < victim->second.lastUse))
                victim = it;
        if (victim == m_files.end())
            return;  // every file is in use elsewhere
        Drop(victim->first);
    }
}

void HCollectFileCache::Drop(uint32_t number) {
    auto it = m_files.find(number);
    if (it == m_files.end())
        return;
    Ptr file = std::move(it->second.file);
    m_files.erase(it);
    file->close();
}

void HCollectFileCache::Clear() noexcept {
    std::map<uint32_t, Entry> files;
    files.swap(m_files);
    for (auto& kv : files) {
        try {
            kv.second.file->close();
        } catch (const std::exception& e) {
            KXLOG(-1, "H collect file %u: %s", kv.first, e.what());
        }
    }
}

void HCollectFileCache::TakeFrom(HCollectFileCache& other) {
    for (auto& kv : other.m_files) {
        if (m_files.count(kv.first)) {
            kv.second.file->close();  // both appended to the same file: keep this one's
            continue;
        }
        EvictIfFull();
        m_files[kv.first] = Entry{kv.second.file, ++m_clock};
    }
    other.m_files.clear();
}
