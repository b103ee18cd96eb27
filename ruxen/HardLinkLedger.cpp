#include "ruxen/HardLinkLedger.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <unordered_set>

#include "platform/base/FdIO.h"
#include "platform/base/ScratchFile.h"
#include "platform/text/FileNameEscape.h"

bool HardLinkLedger::Create() {
    m_fd.reset(ruxen::openScratchFile());
    return m_fd.valid();
}

void HardLinkLedger::Append(char kind, const std::string& phonyName, const std::string* path) {
    if (!m_fd.valid() || m_writeError != 0)
        return;
    m_record.assign(1, kind);
    m_record += '\t';
    m_record += std::to_string(m_collect);
    m_record += '\t';
    m_record += phonyName;
    if (path) {
        m_record += '\t';
        ruxen::escapeFileNameInto(path->data(), path->size(), m_record);
    }
    m_record += '\n';
    if (ruxen::writeAll(m_fd.get(), m_record.data(), m_record.size()) != 0)
        m_writeError = errno ? errno : EIO;
}

void HardLinkLedger::GroupDataSent(const std::string& phonyName) { Append('G', phonyName, nullptr); }

void HardLinkLedger::MemberSent(const std::string& phonyName, const std::string& recordedPath) {
    Append('M', phonyName, &recordedPath);
}

bool HardLinkLedger::ForEachRecord(const std::function<void(char, int32_t, const std::string&, const std::string&)>& fn,
                                   std::string& error) const {
    if (!m_fd.valid()) {
        error = "no ledger was made";
        return false;
    }
    std::string pending, buf(1 << 16, '\0');
    for (off_t at = 0;;) {
        const ssize_t n = pread(m_fd.get(), &buf[0], buf.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::string("cannot read the hard-link ledger: ") + strerror(errno);
            return false;
        }
        if (n == 0)
            return true;  // a record cut by a kill has no line feed and is no record
        at += n;
        pending.append(buf, 0, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            const char* line = pending.data() + start;
            const size_t len = nl - start;
            const char* t1 = static_cast<const char*>(memchr(line, '\t', len));
            const char* t2 = t1 ? static_cast<const char*>(memchr(t1 + 1, '\t', line + len - t1 - 1)) : nullptr;
            int32_t collect = 0;
            if (len < 3 || t1 != line + 1 || !t2 || std::from_chars(t1 + 1, t2, collect).ptr != t2) {
                error = "the hard-link ledger holds a malformed record";
                return false;
            }
            const char* t3 = static_cast<const char*>(memchr(t2 + 1, '\t', line + len - t2 - 1));
            const std::string phony(t2 + 1, t3 ? t3 : line + len);
            fn(line[0], collect, phony, t3 ? std::string(t3 + 1, line + len) : std::string());
        }
        pending.erase(0, start);
    }
}

bool HardLinkLedger::FindLostMembers(const std::vector<HardLinkLedger*>& ledgers,
                                     const std::function<bool(int32_t)>& delivered,
                                     std::vector<std::vector<LostMember>>& lost, std::string& error) {
    std::unordered_set<std::string> sent;
    for (const HardLinkLedger* l : ledgers)
        if (!l->ForEachRecord(
                [&](char kind, int32_t collect, const std::string& phony, const std::string&) {
                    if (kind == 'G' && delivered(collect))
                        sent.insert(phony);
                },
                error))
            return false;
    lost.assign(ledgers.size(), {});
    for (size_t i = 0; i < ledgers.size(); ++i)
        if (!ledgers[i]->ForEachRecord(
                [&](char kind, int32_t collect, const std::string& phony, const std::string& name) {
                    if (kind == 'M' && !sent.count(phony))
                        lost[i].push_back(LostMember{collect, name});
                },
                error))
            return false;
    return true;
}
