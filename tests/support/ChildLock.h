// A child process that holds a lock on a file until the object goes: a
// record lock (F_SETLK of F_RDLCK or F_WRLCK over the whole file), an
// exclusive flock (as a job directory's lock file takes one), or a
// write lease (F_SETLEASE F_WRLCK) that it gives up when the kernel asks it
// to, as a file server breaks an oplock or a delegation, or one that it
// keeps (until the kernel's lease-break time) as a hung holder does.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace testfiles {

class ChildLock {
public:
    enum Kind { kRecordRead, kRecordWrite, kWriteLease, kStubbornLease, kFlockExclusive };

    ChildLock(const std::string& path, Kind kind) {
        // Close-on-exec: a program the test starts meanwhile must not keep
        // the holder waiting for its release.
        int up[2], down[2];
        if (pipe2(up, O_CLOEXEC) != 0)
            return;
        if (pipe2(down, O_CLOEXEC) != 0) {
            close(up[0]);
            close(up[1]);
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            // Only its own pipes: another holder's release end kept here would hold that one.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != up[1] && fd != down[0])
                    close(fd);
            char ok = Take(path, kind) ? 'y' : 'n';
            if (write(up[1], &ok, 1) != 1)
                _exit(2);
            char c;
            while (::read(down[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        m_release = down[1];
        char c = 'n';
        m_held = m_pid > 0 && ::read(up[0], &c, 1) == 1 && c == 'y';
        close(up[0]);
    }
    ~ChildLock() {
        if (m_release >= 0)
            close(m_release);
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
    }
    ChildLock(const ChildLock&) = delete;
    ChildLock& operator=(const ChildLock&) = delete;

    bool held() const { return m_held; }

private:
    static int& LeaseFd() {
        static int fd = -1;
        return fd;
    }
    static void OnLeaseBreak(int) { fcntl(LeaseFd(), F_SETLEASE, F_UNLCK); }

    static bool Take(const std::string& path, Kind kind) {
        int fd = open(path.c_str(), kind == kRecordRead ? O_RDONLY : O_RDWR);
        if (fd < 0)
            return false;
        if (kind == kWriteLease || kind == kStubbornLease) {
            LeaseFd() = fd;
            struct sigaction sa;
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = kind == kWriteLease ? OnLeaseBreak : SIG_IGN;
            return sigaction(SIGIO, &sa, nullptr) == 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
        }
        if (kind == kFlockExclusive)
            return flock(fd, LOCK_EX | LOCK_NB) == 0;
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = kind == kRecordRead ? F_RDLCK : F_WRLCK;
        fl.l_whence = SEEK_SET;
        return fcntl(fd, F_SETLK, &fl) == 0;
    }

    pid_t m_pid = -1;
    int m_release = -1;
    bool m_held = false;
};

}  // namespace testfiles
