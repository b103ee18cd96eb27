// The parent: starts the children, hands out collect files, gathers the
// totals and settles what each child held when it ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/agent/KxLog.h"
#include "platform/base/FdIO.h"
#include "platform/base/ScopedFd.h"
#include "platform/base/StopSignals.h"
#include "platform/base/TestControl.h"
#include "ruxen/CCollectFileArbitrator.h"
#include "ruxen/JobFileGuard.h"
#include "ruxen/RuxenBase.h"

namespace {

// While the parent runs, a write to a child that has gone must come back
// as EPIPE instead of ending the job; the children inherit the setting.
class IgnoreSigpipe {
public:
    IgnoreSigpipe() {
        struct sigaction sa = {};
        sa.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &sa, &m_old);
    }
    ~IgnoreSigpipe() { sigaction(SIGPIPE, &m_old, nullptr); }
    IgnoreSigpipe(const IgnoreSigpipe&) = delete;
    IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

private:
    struct sigaction m_old;
};

constexpr const char* kChildMessageCut = "it sent part of a message and then nothing (protocol fault)";

// RuxenBase::kMessageDeadlineMs; tests shorten it.
std::atomic<int> g_messageDeadlineMs{RuxenBase::kMessageDeadlineMs};
int MessageDeadlineMs() { return g_messageDeadlineMs.load(std::memory_order_relaxed); }

}  // namespace

int RuxenBase::parent() {
    m_children.clear();
    m_totals = StreamTotals_t{};
    m_streamFailed = false;
    m_stopSignal = 0;
    m_streamsKilled = false;
    m_jobProblems.clear();
    Initialize();
    if (!openInputs())
        return 1;
    BackupArgs args = m_args;
    args.streamCount = std::min(std::max(1, m_args.streamCount), static_cast<int>(m_restart.size()));
    if (m_restart.empty())
        return 0;
    plfsBackupArgs block;
    std::string error;
    if ((args.streamCount > 1 && !JobFileGuard::StreamArchiveAllowed(args.archivePath, args.streamCount, &error)) ||
        !EncodeBackupArgs(args, block, &error)) {
        KXLOG(-1, "%s", error.c_str());
        for (const RestartInfo_t& r : m_restart)
            failCollect(r.collectNumber, "the job's arguments cannot be sent to a stream");
        return 1;
    }

    // Every stream's outputs can be opened (made where missing, so that each
    // stream knows the others' files by device and inode and passes them
    // over) before any stream empties its own.
    if (!openOutputs(args, 1))
        return 1;
    if (!makeLedgers(1, args.streamCount)) {
        for (StreamOutputFiles& o : m_outputs)
            o.Discard();
        for (const RestartInfo_t& r : m_restart)
            failCollect(r.collectNumber, m_setupError.c_str());
        return 1;
    }
    IgnoreSigpipe sigpipe;
    ruxen::StopSignals stopSignals;        // the children inherit the handlers
    m_children.reserve(args.streamCount);  // ChildInfo_t references stay valid
    for (int s = 1; s <= args.streamCount; ++s) {
        if (startChild(s, block) != 0) {
            m_streamFailed = true;
            break;
        }
    }

    std::vector<pollfd> fds;
    std::vector<ChildInfo_t*> who;
    for (;;) {
        fds.clear();
        who.clear();
        for (ChildInfo_t& c : m_children) {
            if (c.msgFd.valid()) {
                fds.push_back(pollfd{c.msgFd.get(), POLLIN, 0});
                who.push_back(&c);
            }
        }
        if (fds.empty())
            break;
        const int wake = ruxen::StopSignals::WakeFd();
        if (wake >= 0)
            fds.push_back(pollfd{wake, POLLIN, 0});
        if (ruxen::StopRequested() != 0 && m_stopSignal == 0)
            forwardStop(ruxen::StopRequested());
        if (ruxen::StopSignalCount() > 1 && !m_streamsKilled)
            killStreams();
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            KXLOG(-1, "cannot wait for the streams' messages: %s", strerror(errno));
            for (ChildInfo_t* c : who)
                childGone(*c, "the parent could no longer hear it", true);
            break;
        }
        for (size_t i = 0; i < who.size(); ++i)
            if (fds[i].revents != 0)
                handleMessage(*who[i]);
        if (fds.size() > who.size() && fds.back().revents != 0)
            ruxen::StopSignals::DrainWake();  // the flag is read at the top
        serveWaitingChildren();
    }

    for (const RestartInfo_t& r : m_restart)
        if (r.offset == 0)
            failCollect(r.collectNumber,
                        m_stopSignal ? "the job was interrupted before it" : "no stream was left to back it up");
    // An interrupted job too: the members whose group's data did not go
    // out are named.
    settleHardLinkMembers();
    bool failed = m_streamFailed;
    for (const RestartInfo_t& r : m_restart)
        failed |= r.offset == kRestartFailed;
    for (const ChildInfo_t& c : m_children)
        failed |= c.failed;
    return failed ? 1 : 0;
}

int RuxenBase::startChild(int streamNumber, const plfsBackupArgs& block) {
    int cmd[2], msg[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, cmd) != 0) {
        KXLOG(-1, "cannot make the sockets of stream %d: %s", streamNumber, strerror(errno));
        return -1;
    }
    ScopedFd parentCmd(cmd[0]), childCmd(cmd[1]);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, msg) != 0) {
        KXLOG(-1, "cannot make the sockets of stream %d: %s", streamNumber, strerror(errno));
        return -1;
    }
    ScopedFd parentMsg(msg[0]), childMsg(msg[1]);
    fflush(nullptr);  // nothing buffered is written twice
    const pid_t parentPid = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        KXLOG(-1, "cannot start stream %d: %s", streamNumber, strerror(errno));
        return -1;
    }
    if (pid == 0) {
        // A parent that dies stops the child's stream as a signal would
        // (the command socket's end stops it too, once it asks for more).
        ruxen::StopSignals::ForgetWakeInChild();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parentPid)
            raise(SIGTERM);  // it died before the line above
        // The child holds only its own sockets: another stream's end left
        // open here would keep that stream's parent from seeing it end.
        parentCmd.Close();
        parentMsg.Close();
        for (ChildInfo_t& other : m_children) {
            other.cmdFd.Close();
            other.msgFd.Close();
        }
        const int status = child(childCmd.get(), childMsg.get());
        fflush(nullptr);
        _exit(status);
    }
    childCmd.Close();
    childMsg.Close();
    m_children.emplace_back();
    ChildInfo_t& c = m_children.back();
    c.streamNumber = streamNumber;
    c.pid = pid;
    c.cmdFd = std::move(parentCmd);
    c.msgFd = std::move(parentMsg);
    KXLOG(1, "stream %d runs as process %d", streamNumber, static_cast<int>(pid));
    plfsBackupArgs mine = block;
    mine.streamNumber = streamNumber;
    if (ruxen::writeAll(c.cmdFd.get(), &mine, sizeof mine) != 0 || sendMappingInfo(c) != 0) {
        // The child reads the end of its socket and reports a failed stream.
        KXLOG(-1, "stream %d did not get its arguments and name mapping: %s", streamNumber, strerror(errno));
        c.cmdFd.Close();
    }
    return 0;
}

int RuxenBase::sendNextCollectFile(ChildInfo_t& child) {
    RestartInfo_t next = {};  // collect number 0: nothing is left
    next.childPid = child.pid;
    const int n = m_classic ? nextInOrder(child.pid) : sendNextCollectFromDiskGroup(next);
    child.current = 0;
    child.waiting = n < 0;
    if (child.waiting) {
        KXLOG(2, "stream %d waits: the collect files left wait for hard-link collect files", child.streamNumber);
        return 0;
    }
    RestartInfo_t* taken = findRestart(n);
    next = RestartInfo_t{};
    if (taken) {
        taken->childPid = child.pid;
        next = *taken;
    }
    if (ruxen::writeAll(child.cmdFd.get(), &next, sizeof next) != 0) {
        KXLOG(-1, "cannot send stream %d its next assignment: %s", child.streamNumber, strerror(errno));
        if (taken) {
            taken->childPid = 0;  // it never had it: another stream may take it
            ++m_remaining;
        }
        return -1;
    }
    child.current = next.collectNumber;
    if (taken)
        KXLOG(2, "stream %d takes collect file %d (%s)", child.streamNumber, next.collectNumber,
              m_collects[next.collectNumber - 1].c_str());
    return 0;
}

void RuxenBase::handleMessage(ChildInfo_t& c) {
    // The first byte is there: the rest must follow at once, or one child
    // would stall every other.
    ChildMessage_t m;
    if (ruxen::readAllWithin(c.msgFd.get(), &m, sizeof m, MessageDeadlineMs()) != 0) {
        childGone(c,
                  errno == ENODATA     ? "the process ended"
                  : errno == ETIMEDOUT ? kChildMessageCut
                                       : strerror(errno),
                  errno == ETIMEDOUT);
        return;
    }
    if (m.type == kMsgNextCollectFile) {
        if (c.ended || m.value != c.current) {
            childGone(c, "it asked for a collect file out of step", true);
            return;
        }
        if (RestartInfo_t* r = findRestart(c.current)) {
            if (r->offset != kRestartFailed)  // its split group failed meanwhile: it stays failed
                r->offset = kRestartFinished;
            UpdateStatusToCompletedForHLFile(c.current, m_hlGroupMap);
            KXLOG(2, "stream %d finished collect file %d", c.streamNumber, c.current);
        }
        c.current = 0;
        if (m_stopSignal == 0 && sendNextCollectFile(c) != 0)
            childGone(c, "it could not be given its next collect file", true);
        return;
    }
    if (m.type != kMsgStreamCompleted && m.type != kMsgStreamFailed) {
        childGone(c, "it sent a message of an unknown type", true);
        return;
    }
    StreamTotals_t t;
    if (c.ended || ruxen::readAllWithin(c.msgFd.get(), &t, sizeof t, MessageDeadlineMs()) != 0) {
        childGone(c, "its end-of-stream message was cut or out of step", true);
        return;
    }
    c.ended = true;
    m_totals.items += t.items;
    m_totals.bytes += t.bytes;
    m_totals.failedItems += t.failedItems;
    if (m.type == kMsgStreamFailed || c.current != 0) {
        c.failed = true;
        KXLOG(-1, "stream %d (process %d) %s", c.streamNumber, static_cast<int>(c.pid),
              m.type == kMsgStreamFailed ? "failed" : "completed while it held a collect file");
        failCollect(c.current, m.type == kMsgStreamFailed ? "its stream failed" : "its stream left it unfinished");
        streamFailedOn(c.current);
        c.current = 0;
    }
}

// A second signal: the user will not wait for the streams to reach their
// next item (a read blocked on a FIFO, a slow device). Their archives end
// cut short, which every reader reports.
void RuxenBase::killStreams() {
    m_streamsKilled = true;
    KXLOG(-1, "a second stop signal: every stream is killed, its archive cut short");
    for (ChildInfo_t& c : m_children)
        if (c.msgFd.valid())
            ::kill(c.pid, SIGKILL);
}

void RuxenBase::forwardStop(int sig) {
    m_stopSignal = sig;
    KXLOG(-1, "signal %d: every stream is told to stop", sig);
    for (ChildInfo_t& c : m_children) {
        if (!c.msgFd.valid())
            continue;
        ::kill(c.pid, sig);
        c.cmdFd.Close();
        c.waiting = false;
    }
}

void RuxenBase::childGone(ChildInfo_t& c, const char* why, bool kill) {
    if (kill)
        ::kill(c.pid, SIGKILL);  // out of step: it must not go on writing
    c.cmdFd.Close();
    c.msgFd.Close();
    int status = 0;
    pid_t r;
    while ((r = waitpid(c.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    char how[64];
    if (r != c.pid)
        snprintf(how, sizeof how, "not reaped: %s", strerror(errno));
    else if (WIFEXITED(status))
        snprintf(how, sizeof how, "exit status %d", WEXITSTATUS(status));
    else
        snprintf(how, sizeof how, "signal %d", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    const bool clean = r == c.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (kill || !c.ended) {
        c.failed = true;
        KXLOG(-1, "stream %d (process %d) ended without reporting how its stream went: %s (%s)", c.streamNumber,
              static_cast<int>(c.pid), why, how);
    } else if (!clean && !c.failed) {
        c.failed = true;
        KXLOG(-1, "stream %d (process %d) reported its end, then ended with %s", c.streamNumber,
              static_cast<int>(c.pid), how);
    } else {
        KXLOG(1, "stream %d (process %d) ended: %s", c.streamNumber, static_cast<int>(c.pid), how);
    }
    failCollect(c.current, why);
    streamFailedOn(c.current);
    c.current = 0;
    c.waiting = false;
    // Its disk group and archives go to the others.
    if (m_arbitrator)
        m_arbitrator->releaseChild(c.pid, m_childByArchive);
}

void ruxen::testcontrol::SetMessageDeadline(int ms) { g_messageDeadlineMs.store(ms, std::memory_order_relaxed); }

namespace {
const ruxen::testcontrol::Registration kTestReset("message deadline", [] {
    ruxen::testcontrol::SetMessageDeadline(RuxenBase::kMessageDeadlineMs);
});
}  // namespace
