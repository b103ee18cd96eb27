// The job's check, once every stream has ended, that each hard-link member
// that went out naming its group has the group's data in some stream
// (ruxen/HardLinkLedger.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>

#include "platform/agent/KxLog.h"
#include "platform/base/CTyError.h"
#include "platform/base/FdIO.h"
#include "platform/os/DirWalk.h"
#include "ruxen/HardLinkLedger.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenMessages.h"

bool RuxenBase::makeLedgers(int first, int streams) {
    m_ledgers.clear();
    if (m_args.jobDir.empty() || m_args.catalog)
        return true;  // no members without data
    m_ledgers.resize(static_cast<size_t>(first + streams));
    for (size_t s = static_cast<size_t>(first); s < m_ledgers.size(); ++s) {
        std::unique_ptr<HardLinkLedger> l(new HardLinkLedger);
        if (!l->Create()) {
            m_setupError = std::string("cannot make a temporary file for the hard-link ledger: ") + strerror(errno);
            KXLOG(-1, "%s", m_setupError.c_str());
            m_ledgers.clear();
            return false;
        }
        l->failuresPath = StreamOutputPath(m_args.failuresPath, static_cast<int>(s), streams);
        l->resultsPath = StreamOutputPath(m_args.resultsPath, static_cast<int>(s), streams);
        m_ledgers[s] = std::move(l);
    }
    return true;
}

HardLinkLedger* RuxenBase::ledgerOf(int stream) const {
    return stream >= 0 && static_cast<size_t>(stream) < m_ledgers.size() ? m_ledgers[stream].get() : nullptr;
}

namespace {

// Appends lines to a stream's list file, which its stream has closed
// (opened by the rule outputs are opened by). 0, or the errno.
int appendLines(const std::string& path, const std::string& lines) {
    if (path.empty() || lines.empty())
        return 0;
    ScopedFd fd(ruxen::OpenFileByRule(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0, nullptr));
    if (fd.valid() && ruxen::writeAll(fd.get(), lines.data(), lines.size()) == 0 && fd.Close() == 0)
        return 0;
    const int e = errno != 0 ? errno : EIO;
    KXLOG(-1, "cannot list failed items in %s: %s", path.c_str(), strerror(e));
    return e;
}

}  // namespace

void RuxenBase::settleHardLinkMembers() {
    std::vector<HardLinkLedger*> ledgers;
    for (const auto& l : m_ledgers)
        if (l)
            ledgers.push_back(l.get());
    if (ledgers.empty())
        return;
    std::vector<std::vector<HardLinkLedger::LostMember>> lost;
    std::string error;
    const bool read = HardLinkLedger::FindLostMembers(
        ledgers,
        [this](int32_t n) {
            const RestartInfo_t* r = findRestart(n);
            return r && r->offset == kRestartFinished;
        },
        lost, error);
    if (!read) {
        KXLOG(-1, "%s: whether every hard-link member has its group's data cannot be told", error.c_str());
        m_streamFailed = true;
        return;
    }
    std::map<int32_t, uint64_t> perCollect;
    for (size_t i = 0; i < ledgers.size(); ++i) {
        std::string failures, results;
        for (const HardLinkLedger::LostMember& m : lost[i]) {
            KXLOG(-1, "item failed: %s: %s", m.name.c_str(), kReasonHardLinkGroupLost);
            failures += m.name + ":" + std::to_string(kErrnoHardLinkGroupLost) + "\n";
            results += kResultsLinePrefix + m.name + " " + kReasonHardLinkGroupLost + "\n";
            ++perCollect[m.collect];
            ++m_totals.failedItems;
        }
        for (const auto& [what, path, lines] : {std::make_tuple("failures", &ledgers[i]->failuresPath, &failures),
                                                std::make_tuple("results", &ledgers[i]->resultsPath, &results)}) {
            if (const int e = appendLines(*path, *lines)) {
                m_jobProblems.push_back(CTyError::Format(kProblemListIncomplete, what, path->c_str(), strerror(e)));
                m_streamFailed = true;
            }
        }
    }
    for (const auto& [n, count] : perCollect) {
        const std::string why = std::to_string(count) +
                                " of its items name hard-link groups whose data is in no "
                                "stream of the job";
        failCollect(n, why.c_str());
    }
}
