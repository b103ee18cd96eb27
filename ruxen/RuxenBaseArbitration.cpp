// The parent's choice of the next collect file: classic (restart-list order)
// or by disk group through the collect-file arbitrator, both holding back a
// regular collect file while hard-link collect files of its split group are
// still to be processed.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "hardlinks/JobDirectory.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KXJobCtrlClient.h"
#include "platform/agent/KXPlatformInfo.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"
#include "ruxen/CCollectFileArbitrator.h"
#include "ruxen/RuxenBase.h"
#include "ruxen/RuxenMessages.h"

void RuxenBase::Initialize() {
    m_arbitrator.reset();
    std::string value;
    bool classic = false;
    if (!KXPlatformInfo::getString(kJobSection, kKeyClassicArbitration, value)) {
        KXLOG(1, "Classic Arbitration option not set in FileSystemAgent Registry.");
        KXLOG(1, "Default is to not do classic arbitration.");
    } else {
        classic = !value.empty() && (value[0] == 'y' || value[0] == 'Y');
    }
    classic = classic || m_args.appType == kAppTypeClassicArbitration;
    if (!classic) {
        m_arbitrator.reset(new CCollectFileArbitrator(m_event, this, false));
        if (m_arbitrator->IsInitialized() == 0) {
            KXLOG(0, "Classic Arbitration disabled, but failed to initialize CollectFileArbitrator object.");
            KXLOG(0, "Will fall back to classic arbitration.");
            m_arbitrator.reset();
            classic = true;
        }
    }
    m_classic = classic;
}

RestartInfo_t* RuxenBase::findRestart(int32_t number) {
    if (number < 1 || static_cast<size_t>(number) >= m_restartIndex.size() || m_restartIndex[number] < 0)
        return nullptr;
    return &m_restart[m_restartIndex[number]];
}

bool RuxenBase::getRestartInfo() {
    m_restart.clear();
    m_hlGroupMap = HLGroupMap();
    m_setupError.clear();
    if (!m_args.jobDir.empty()) {
        // The job directory is checked before anything is opened: a backup
        // over an unfinished split or merge, or over collect files its
        // configurations do not account for, would lose items unsaid.
        JobDirectory jobDir(m_args.jobDir, kCollectFileBaseName);
        if (!(m_fromJobDir ? jobDir.Load() : jobDir.CheckSettled())) {
            m_inputError = jobDir.Error();
            return false;
        }
        if (m_fromJobDir) {
            m_restart = jobDir.RestartList();
            m_hlGroupMap = std::move(jobDir.Groups());
            m_collects.clear();
            for (int32_t n = 1; n <= jobDir.CollectCount(); ++n)
                m_collects.push_back(jobDir.CollectPath(n));
            m_args.collectCount = jobDir.CollectCount();
        }
    }
    if (m_restart.empty())
        resetRestartList();
    m_restartIndex.assign(m_collects.size() + 1, -1);
    m_remaining = 0;
    for (size_t i = 0; i < m_restart.size(); ++i) {
        RestartInfo_t& r = m_restart[i];
        r.splitHead = r.collectNumber;
        m_restartIndex[r.collectNumber] = static_cast<int32_t>(i);
        if (r.offset == kRestartFinished)
            UpdateStatusToCompletedForHLFile(r.collectNumber, m_hlGroupMap);
        else if (r.offset == 0)
            ++m_remaining;
    }
    // Every reader of a collect file, the disk-group look-up below first,
    // reads the job's one open of it.
    if (!openCollectInputs())
        return false;
    if (!m_classic) {
        if (PopulateDiskGroupInfo() != 0) {
            if (!m_inputError.empty())
                return false;  // a collect file is not what the job opened
            m_classic = true;
            m_arbitrator.reset();
        } else if (HookFiles::Exists(kHookDiskGroupDump)) {
            m_arbitrator->dumpDiskGroupInfo();
        }
    }
    return true;
}

int RuxenBase::PopulateDiskGroupInfo() {
    // One list per split group, in the order of their first collect file in
    // the restart list; a collect file of no group is a list of its own.
    std::vector<std::vector<CollectFile_t>> lists;
    std::map<int32_t, size_t> listOfGroup;
    for (const RestartInfo_t& r : m_restart) {
        if (r.offset == kRestartFinished || r.offset == kRestartFailed)
            continue;
        int32_t group = m_hlGroupMap.GroupOf(CollectToken{false, r.collectNumber});
        if (group < 0)
            group = m_hlGroupMap.GroupOf(CollectToken{true, r.collectNumber});
        const CollectFile_t f{r.collectNumber, -1, r.offset, r.archiveId, r.archiveType};
        auto at = group < 0 ? listOfGroup.end() : listOfGroup.find(group);
        if (at != listOfGroup.end()) {
            lists[at->second].push_back(f);
            continue;
        }
        if (group >= 0)
            listOfGroup[group] = lists.size();
        lists.push_back({f});
    }
    for (std::vector<CollectFile_t>& list : lists) {
        // A regular collect file places the list where it has one: a
        // hard-link collect file's members may lie anywhere.
        int32_t placing = list.front().collectNumber;
        for (const CollectFile_t& f : list)
            if (m_hlGroupMap.GroupOf(CollectToken{false, f.collectNumber}) >= 0) {
                placing = f.collectNumber;
                break;
            }
        std::string path = m_collects[placing - 1];
        // Through the job's one open of it, opened again for the look-up
        // when it is not held (and checked to be the file met at the start).
        const bool held = placing <= static_cast<int32_t>(m_inputs.size()) && m_inputs[placing - 1].IsOpen();
        std::string error;
        const CollectInputFile* input = collectInput(placing, &error);
        if (input == nullptr) {
            m_inputError = error;
            return 1;
        }
        CTyError err = m_arbitrator->addCollect(list, static_cast<int>(list.size()), path, input->Descriptor());
        if (!held)
            releaseCollectInput(placing);
        if (err.IsError()) {
            KXLOG(-1, "Failed to map collect file to device : %s", err.Message().c_str());
            return 1;
        }
    }
    return 0;
}

bool RuxenBase::ProcessingHardLinkCollect(int32_t collect) {
    return ::ProcessingHardLinkCollect(collect, m_hlGroupMap);
}

int RuxenBase::sendNextCollectFromDiskGroup(RestartInfo_t& next) {
    for (;;) {
        const int n = m_remaining > 0 ? m_arbitrator->getNextCollectForChild(next, m_archiveIds, m_archiveTypes,
                                                                             m_childByArchive, m_catalogOnly)
                                      : 0;
        if (n == -1 && !(m_jobCtrl && m_jobCtrl->isQuitSet()))
            return -1;
        RestartInfo_t* r = n > 0 ? findRestart(n) : nullptr;
        if (n > 0 && (r == nullptr || r->offset != 0 || r->childPid != 0))
            continue;  // failed with its group since it was registered
        if (n <= 0) {
            next.collectNumber = next.offset = 0;
            return 0;
        }
        --m_remaining;
        return n;
    }
}

int RuxenBase::nextInOrder(pid_t child) {
    bool held = false;
    for (RestartInfo_t& r : m_restart) {
        if (r.offset != 0 || r.childPid != 0)
            continue;
        if (ShouldWaitForHardLinkCollectFilesProcessing(r.collectNumber, m_hlGroupMap)) {
            KXLOG(2, "++111++HLDEBUG NOT RETURNING COLLECT FILE <%d> ", r.collectNumber);
            held = true;
            continue;
        }
        r.childPid = child;
        --m_remaining;
        return r.collectNumber;
    }
    return held && !(m_jobCtrl && m_jobCtrl->isQuitSet()) ? -1 : 0;
}

void RuxenBase::streamFailedOn(int32_t number) {
    if (number <= 0)
        return;
    // Only files nobody took leave the count: a file a stream holds is
    // settled when that stream reports.
    auto untaken = [this] {
        return std::count_if(m_restart.begin(), m_restart.end(),
                             [](const RestartInfo_t& r) { return r.offset == 0 && r.childPid == 0; });
    };
    const auto before = untaken();
    const uint32_t marked = UpdateStatusToFailForHLFile(number, m_hlGroupMap, m_restart);
    if (marked != 0) {
        KXLOG(-1, "collect file %d failed: %u collect files of its split group fail with it", number, marked);
        m_remaining = std::max<int32_t>(0, m_remaining - static_cast<int32_t>(before - untaken()));
    }
}

void RuxenBase::serveWaitingChildren() {
    for (ChildInfo_t& c : m_children)
        if (c.waiting && c.cmdFd.valid() && sendNextCollectFile(c) != 0)
            childGone(c, "it could not be given its next collect file", true);
    const bool anyWaiting = std::any_of(m_children.begin(), m_children.end(),
                                        [](const ChildInfo_t& c) { return c.waiting && c.cmdFd.valid(); });
    const bool stuck = anyWaiting && std::all_of(m_children.begin(), m_children.end(), [](const ChildInfo_t& c) {
                           return !c.msgFd.valid() || c.ended || (c.waiting && c.current == 0);
                       });
    if (!stuck)
        return;
    // Nothing can release the held files any more: their hard-link collect
    // files are neither held by a stream nor still to be handed out.
    for (RestartInfo_t& r : m_restart) {
        if (r.offset != 0 || r.childPid != 0)
            continue;
        std::string waits;
        for (int32_t h : PendingHardLinkCollectFiles(r.collectNumber, m_hlGroupMap))
            waits += " H" + std::to_string(h);
        char why[512];
        snprintf(why, sizeof why, "it waits for hard-link collect files that no stream will process:%s",
                 waits.empty() ? " (none named)" : waits.c_str());
        failCollect(r.collectNumber, why);
    }
    m_remaining = 0;
    for (ChildInfo_t& c : m_children)
        if (c.waiting && c.cmdFd.valid() && sendNextCollectFile(c) != 0)
            childGone(c, "it could not be given its next collect file", true);
}
