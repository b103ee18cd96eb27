// A bare read/write loop, the floor a backup's data path is held to: reads
// each file named with 1 MiB read() calls into one aligned buffer and writes
// what it read to standard output (a pipe, or /dev/null). A pipe is grown
// to 1 MiB first, as ruxen-backup grows the pipe of its archive.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    constexpr size_t kBuf = 1 << 20;
    void* p = nullptr;
    if (posix_memalign(&p, 4096, kBuf) != 0)
        return 1;
    char* buf = static_cast<char*>(p);
    struct stat st;
    if (fstat(1, &st) == 0 && S_ISFIFO(st.st_mode))
        (void)fcntl(1, F_SETPIPE_SZ, static_cast<int>(kBuf));  // where refused, 64 KiB turns
    for (int i = 1; i < argc; ++i) {
        int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "read_loop: %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
        ssize_t n;
        while ((n = read(fd, buf, kBuf)) > 0) {
            for (ssize_t done = 0; done < n;) {
                ssize_t w = write(1, buf + done, static_cast<size_t>(n - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0) {
                    fprintf(stderr, "read_loop: write: %s\n", strerror(errno));
                    return 1;
                }
                done += w;
            }
        }
        if (n < 0 || close(fd) != 0) {
            fprintf(stderr, "read_loop: %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
    }
    free(buf);
    return 0;
}
