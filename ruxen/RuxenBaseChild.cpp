// The child's side of the protocol with its parent.
#include <cerrno>
#include <cstring>

#include "mapping/TAVNameMapper.h"
#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"
#include "ruxen/RuxenBase.h"

bool RuxenBase::receiveBackupArgs(BackupArgs& out) {
    plfsBackupArgs block;
    std::string error;
    if (ruxen::readAll(m_cmdFd, &block, sizeof block) != 0) {
        KXLOG(-1, "cannot read the argument block: %s", strerror(errno));
        return false;
    }
    if (!DecodeBackupArgs(block, out, &error)) {
        KXLOG(-1, "%s", error.c_str());
        return false;
    }
    if (out.collectCount != static_cast<int>(m_collects.size())) {
        KXLOG(-1, "the argument block names %d collect files, the job has %zu", out.collectCount, m_collects.size());
        return false;
    }
    return true;
}

int RuxenBase::receiveNextCollectFile(int32_t finished) {
    const ChildMessage_t ask{kMsgNextCollectFile, finished};
    if (ruxen::writeAll(m_msgFd, &ask, sizeof ask) != 0) {
        KXLOG(-1, "cannot ask the parent for a collect file: %s", strerror(errno));
        return -1;
    }
    RestartInfo_t next;
    if (ruxen::readAll(m_cmdFd, &next, sizeof next) != 0) {
        KXLOG(-1, "cannot read the next assignment: %s", strerror(errno));
        return -1;
    }
    if (next.collectNumber == 0)
        return 0;
    // Streams start collect files at their beginning: restart offsets are
    // not taken, and a finished or failed file is no assignment.
    if (next.collectNumber < 0 || next.collectNumber > static_cast<int32_t>(m_collects.size()) || next.offset != 0) {
        KXLOG(-1, "assignment of collect file %d at offset %d: the job has %zu collect files", next.collectNumber,
              next.offset, m_collects.size());
        return -1;
    }
    return next.collectNumber;
}

int RuxenBase::sendStreamEnd(int32_t type, const StreamTotals_t& totals) {
    // One write, so that the parent never sees the message without its totals.
    char buf[sizeof(ChildMessage_t) + sizeof(StreamTotals_t)];
    const ChildMessage_t m{type, 0};
    memcpy(buf, &m, sizeof m);
    memcpy(buf + sizeof m, &totals, sizeof totals);
    if (ruxen::writeAll(m_msgFd, buf, sizeof buf) != 0) {
        KXLOG(-1, "cannot tell the parent how the stream ended: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int RuxenBase::exitHere(const StreamTotals_t& totals) {
    KXLOG(-1, "stream %d failed", m_args.streamNumber);
    sendStreamEnd(kMsgStreamFailed, totals);
    return 1;
}

int RuxenBase::child(int cmdFd, int msgFd) {
    attachParent(cmdFd, msgFd);
    BackupArgs args;
    if (!receiveBackupArgs(args))
        return exitHere(StreamTotals_t{});
    m_args = args;
    // The child owns its name mapper for its whole life; the per-file
    // object only borrows it.
    makeNameMapper(args.appType);
    if (receiveMappingInfo(m_nameMapper.get()) != 0)
        return exitHere(StreamTotals_t{});
    int32_t finished = 0;
    StreamRun run = m_stream(*this, args, [this, &finished]() -> int {
        int n = receiveNextCollectFile(finished);
        finished = n > 0 ? n : 0;
        return n;
    });
    if (m_report)
        m_report(args, run);
    if (run.failed)
        return exitHere(run.totals);
    return sendStreamEnd(kMsgStreamCompleted, run.totals) == 0 ? 0 : 1;
}
