// Stop requests: SIGTERM and SIGINT end a job's streams between two items
// instead of killing them mid-record.
//
// While a StopSignals object lives, both signals only set a process-wide
// flag (the first signal's number) and write a byte to a self-pipe, both
// async-signal-safe. The streams ask StopRequested() between items (and the
// data loop between records), end their archive as interrupted and report;
// a parent polls WakeFd() beside its children's sockets and passes the
// signal on to them. The handlers restart interrupted system calls, so
// nothing else sees EINTR.
//
// Objects nest; the outermost one clears the flag when it is made and puts
// the earlier handlers back when it goes. The flag stays readable after
// that, until the next outermost object, so that a host can tell a stopped
// job from a failed one (ruxen-backup exits with 128 + the signal).
#pragma once

#include "platform/base/Export.h"

namespace ruxen {

class RUXEN_EXPORT StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The read end of the self-pipe (non-blocking), -1 when none is open.
    static int WakeFd();
    // Empties the self-pipe after a wake-up.
    static void DrainWake();
    // In a child just forked: the self-pipe is its parent's and is closed
    // here (the handlers and the flag stay).
    static void ForgetWakeInChild();
};

// The number of the signal that asked the job to stop, 0 while none has.
RUXEN_EXPORT int StopRequested();
// How many stop signals arrived since the outermost StopSignals was made: a
// second one asks for an end at once.
RUXEN_EXPORT int StopSignalCount();

}  // namespace ruxen
