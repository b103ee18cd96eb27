// The child's receiving side: whatever its parent's socket carries
// (argument block, name-mapping records, assignments), the child must end
// without a crash, take only collect files the job has, each answer after
// asking for it, and tell its parent how the stream ended, exactly once.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/agent/KxLog.h"
#include "ruxen/ChildMessage.h"
#include "ruxen/RuxenBase.h"

// The argument block and a few name-mapping records and assignments.
RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = KxLog::UseFile("/dev/null");
    (void)quiet;
    if (size > 64 * 1024)  // what one socket buffer surely holds
        return 0;
    int cmd[2], msg[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, cmd) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, msg) != 0)
        abort();
    if (size && write(cmd[0], data, size) != static_cast<ssize_t>(size))
        abort();
    close(cmd[0]);

    BackupArgs args;
    args.archivePath = "/dev/null";
    RuxenBase job(args, {"c1", "c2", "c3", "c4", "c5"});
    std::vector<int> handed;
    job.setStreamFunction([&](RuxenBase&, const BackupArgs&, const RuxenBase::NextCollect& next) {
        StreamRun run;
        for (int n = 1; n > 0;) {
            n = next();
            if (n > 5)
                abort();
            handed.push_back(n);
            run.totals.items += n > 0;
        }
        run.failed = handed.back() < 0;
        return run;
    });
    const int status = job.child(cmd[1], msg[1]);
    close(cmd[1]);
    close(msg[1]);

    std::string said;
    char buf[4096];
    for (ssize_t n; (n = read(msg[0], buf, sizeof buf)) > 0;)
        said.append(buf, n);
    close(msg[0]);
    // One next-collect-file message per answer, then one end of stream.
    const size_t asks = handed.size() * sizeof(ChildMessage_t);
    if (said.size() != asks + sizeof(ChildMessage_t) + sizeof(StreamTotals_t))
        abort();
    ChildMessage_t end;
    memcpy(&end, said.data() + asks, sizeof end);
    if (end.type != (status == 0 ? kMsgStreamCompleted : kMsgStreamFailed) || end.value != 0)
        abort();
    return 0;
}
