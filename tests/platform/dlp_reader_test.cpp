#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/DlpBackupReader.h"

namespace {

struct DlpGuard {
    DlpGuard() { DlpBackupReader::ResetForTest(); }
    ~DlpGuard() { DlpBackupReader::ResetForTest(); }
};

TEST(DlpBackupReaderTest, PassesReadsThroughAndReportsNoDecodedSize) {
    DlpGuard guard;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "hello world", 11), 11);
    close(p[1]);

    DlpBackupReader* r = DlpBackupReader::create();
    ASSERT_NE(r, nullptr);
    r->setFd(p[0], "/some/file");
    EXPECT_EQ(r->getFd(), p[0]);
    EXPECT_EQ(r->getPath(), "/some/file");
    EXPECT_FALSE(r->isDlpMode());
    EXPECT_EQ(r->getDecFileSize(), static_cast<unsigned long long>(-1));

    char buf[8];
    EXPECT_EQ(r->read(p[0], buf, sizeof buf), 8);
    EXPECT_EQ(std::string(buf, 8), "hello wo");
    EXPECT_EQ(r->read(p[0], buf, sizeof buf), 3);
    EXPECT_EQ(r->read(p[0], buf, sizeof buf), 0);
    close(p[0]);

    errno = 0;
    EXPECT_EQ(r->read(p[0], buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);

    r->setFd(-1, nullptr);
    EXPECT_EQ(r->getPath(), "");
    DlpBackupReader::destroy(r);
    DlpBackupReader::destroy(nullptr);
}

std::atomic<int> g_signals{0};
void OnSignal(int) { ++g_signals; }

TEST(DlpBackupReaderTest, RetriesReadsInterruptedBySignals) {
    DlpGuard guard;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;  // no SA_RESTART: read(2) answers EINTR
    struct sigaction old;
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
        pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)!write(p[1], "x", 1);
    });
    DlpBackupReader* r = DlpBackupReader::create();
    char c = 0;
    ssize_t n = r->read(p[0], &c, 1);
    writer.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(c, 'x');
    EXPECT_GE(g_signals.load(), 1);
    DlpBackupReader::destroy(r);
    close(p[0]);
    close(p[1]);
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(DlpBackupReaderTest, TestHooksForceModeAndDecodedSizeAndReset) {
    DlpGuard guard;
    DlpBackupReader* r = DlpBackupReader::create();
    DlpBackupReader::ForceDlpModeForTest(true);
    DlpBackupReader::ForceDecFileSizeForTest(4242);
    EXPECT_TRUE(r->isDlpMode());
    EXPECT_EQ(r->getDecFileSize(), 4242u);
    DlpBackupReader::ResetForTest();
    EXPECT_FALSE(r->isDlpMode());
    EXPECT_EQ(r->getDecFileSize(), static_cast<unsigned long long>(-1));
    DlpBackupReader::destroy(r);
}

}  // namespace
