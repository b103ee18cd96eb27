#include "platform/base/StopSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "platform/base/TestControl.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_count = 0;
volatile sig_atomic_t g_wakeWrite = -1;
int g_wakeRead = -1;
int g_depth = 0;
struct sigaction g_oldTerm, g_oldInt;

void onStop(int sig) {
    const int saved = errno;
    if (g_stop == 0)
        g_stop = sig;
    g_count = g_count + 1;
    const int fd = g_wakeWrite;
    if (fd >= 0)
        (void)!write(fd, "s", 1);  // a full pipe already says enough
    errno = saved;
}

void closeWake() {
    const int w = g_wakeWrite;
    g_wakeWrite = -1;
    if (w >= 0)
        close(w);
    if (g_wakeRead >= 0)
        close(g_wakeRead);
    g_wakeRead = -1;
}

}  // namespace

namespace ruxen {

StopSignals::StopSignals() {
    if (g_depth++ > 0)
        return;
    g_stop = 0;
    g_count = 0;
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) == 0) {
        g_wakeRead = p[0];
        g_wakeWrite = p[1];
    }
    struct sigaction sa = {};
    sa.sa_handler = onStop;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, &g_oldTerm);
    sigaction(SIGINT, &sa, &g_oldInt);
}

StopSignals::~StopSignals() {
    if (--g_depth > 0)
        return;
    sigaction(SIGTERM, &g_oldTerm, nullptr);
    sigaction(SIGINT, &g_oldInt, nullptr);
    closeWake();
}

int StopSignals::WakeFd() { return g_wakeRead; }

void StopSignals::DrainWake() {
    char buf[64];
    while (g_wakeRead >= 0 && read(g_wakeRead, buf, sizeof buf) > 0) {
    }
}

void StopSignals::ForgetWakeInChild() { closeWake(); }

int StopRequested() { return g_stop; }

int StopSignalCount() { return g_count; }

}  // namespace ruxen

void ruxen::testcontrol::SetStopRequested(int sig) {
    g_stop = sig;
    g_count = sig != 0;
}

namespace {
const ruxen::testcontrol::Registration kTestReset("stop signal", [] { ruxen::testcontrol::SetStopRequested(0); });
}  // namespace
