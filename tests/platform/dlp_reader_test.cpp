#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/DlpBackupReader.h"

namespace {

std::atomic<int> g_signals{0};
void OnSignal(int) { ++g_signals; }

// A read interrupted by a signal is not a failed item.
TEST(DlpBackupReaderTest, RetriesReadsInterruptedBySignals) {
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;  // no SA_RESTART: read(2) answers EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pthread_t reader = pthread_self();
    std::thread writer([&] {
        // Interrupt the blocked read until the signal was seen, then give it
        // its data.
        while (g_signals.load() == 0) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)!write(p[1], "x", 1);
    });
    DlpBackupReader* r = DlpBackupReader::create();
    char c = 0;
    ssize_t n = r->read(p[0], &c, 1);
    writer.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(c, 'x');
    DlpBackupReader::destroy(r);
    close(p[0]);
    close(p[1]);
    sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
