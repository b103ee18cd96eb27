#include "platform/hsm/DlpBackupReader.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/base/TestControl.h"

namespace {

std::atomic<bool> g_forceDlp{false};
std::atomic<unsigned long long> g_forcedDecSize{static_cast<unsigned long long>(-1)};

}  // namespace

DlpBackupReader* DlpBackupReader::create() { return new DlpBackupReader(); }

void DlpBackupReader::destroy(DlpBackupReader* reader) { delete reader; }

void DlpBackupReader::setFd(int fd, const char* path) {
    m_fd = fd;
    if (path)
        m_path.assign(path);
    else
        m_path.clear();
}

ssize_t DlpBackupReader::read(int fd, void* buf, size_t n) {
    for (;;) {
        ssize_t r = ::read(fd, buf, n);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

bool DlpBackupReader::isDlpMode() const { return g_forceDlp.load(std::memory_order_relaxed); }

unsigned long long DlpBackupReader::getDecFileSize() const { return g_forcedDecSize.load(std::memory_order_relaxed); }

void ruxen::testcontrol::ForceDlpMode(bool on) { g_forceDlp = on; }

void ruxen::testcontrol::ForceDlpDecodedSize(unsigned long long size) { g_forcedDecSize = size; }

void ruxen::testcontrol::ResetDlp() {
    g_forceDlp = false;
    g_forcedDecSize = static_cast<unsigned long long>(-1);
}

namespace {
const ruxen::testcontrol::Registration kTestReset("data-loss-prevention reader", &ruxen::testcontrol::ResetDlp);
}  // namespace
