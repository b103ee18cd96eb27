// Throughput of the file reader's data path against plain read(2): a 64 MiB
// file in the page cache, read with 1 MiB buffers.
//
//   BM_PlainRead            open, read(2) to the end, close
//   BM_ReaderRead           CFileReader initialize, read to the end, closeFile
//                           (page-cache advice off, as with /tmp/nofadvise)
//   BM_ReaderReadAdvised    the same with the default page-cache advice (the
//                           file stays cached: the advice drops only pages the
//                           read brought in)
//   BM_SparseReadAdvised    a 64 GiB sparse file holding 1 MiB at its end:
//                           SEEK_DATA over the hole, then the data, with the
//                           default advice
//   BM_SparsePlainRead      the same with open, lseek(SEEK_DATA), read(2)
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchRatio.h"
#include "platform/agent/HookFiles.h"
#include "platform/agent/KxLog.h"
#include "platform/base/TestControl.h"
#include "reader/CFileReader.h"
#include "reader/CFileReaderContext.h"
#include "reader/CFileReaderFactory.h"

namespace {

constexpr size_t kFileSize = 64u << 20;
constexpr size_t kBufSize = 1u << 20;

struct Fixture {
    std::string dir;
    std::string file;
    std::string sparse;
    std::string hooks;  // holds "nofadvise"
    char* buf = nullptr;

    Fixture() {
        KxLog::UseFile("/dev/null");  // an absent registry key is logged per context
        char tmpl[] = "/tmp/file_reader_benchXXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        dir = tmpl;
        file = dir + "/data";
        hooks = dir + "/hooks";
        if (mkdir(hooks.c_str(), 0700) != 0)
            abort();
        FILE* h = fopen((hooks + "/nofadvise").c_str(), "w");
        if (h == nullptr || fclose(h) != 0)
            abort();
        if (posix_memalign(reinterpret_cast<void**>(&buf), 4096, kBufSize) != 0)
            abort();
        memset(buf, 'a', kBufSize);
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            abort();
        for (size_t off = 0; off < kFileSize; off += kBufSize) {
            buf[0] = static_cast<char>(off >> 20);
            if (write(fd, buf, kBufSize) != static_cast<ssize_t>(kBufSize))
                abort();
        }
        close(fd);
        sparse = dir + "/sparse";
        fd = open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const off_t dataAt = (off_t(64) << 30) - off_t(kBufSize);
        if (fd < 0 || pwrite(fd, buf, kBufSize, dataAt) != static_cast<ssize_t>(kBufSize) || close(fd) != 0)
            abort();
        warm();
    }
    ~Fixture() {
        unlink(file.c_str());
        unlink(sparse.c_str());
        unlink((hooks + "/nofadvise").c_str());
        rmdir(hooks.c_str());
        rmdir(dir.c_str());
        free(buf);
    }
    // Brings the whole file into the page cache.
    void warm() {
        int fd = open(file.c_str(), O_RDONLY);
        while (read(fd, buf, kBufSize) > 0) {
        }
        close(fd);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// open, (SEEK_DATA,) read(2) to the end, close.
void plainLoop(benchmark::State& state, const std::string& path, size_t expect, bool seekData) {
    Fixture& f = fixture();
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (seekData && lseek(fd, 0, SEEK_DATA) < 0)
            state.SkipWithError("seek failed");
        size_t total = 0;
        ssize_t n;
        while ((n = read(fd, f.buf, kBufSize)) > 0)
            total += static_cast<size_t>(n);
        close(fd);
        if (total != expect)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(f.buf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(expect));
}

void BM_PlainRead(benchmark::State& state) {
    Fixture& f = fixture();
    f.warm();
    plainLoop(state, f.file, kFileSize, false);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond);

// Reads `path` through a reader to its end, once per iteration; with
// `seekData` the reader first jumps to the file's data.
void readerLoop(benchmark::State& state, bool advice, const std::string& path, size_t expect, bool seekData) {
    Fixture& f = fixture();
    ruxen::testcontrol::SetHookDirectory(advice ? f.dir : f.hooks);
    auto ctx = std::make_shared<CFileReaderContext>();
    ruxen::testcontrol::SetHookDirectory("");
    ctx->InitHSM();
    std::shared_ptr<CFileReader> reader = CFileReaderFactory::CreateFileReader(FILE_READER_STANDARD, ctx);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        abort();
    for (auto _ : state) {
        if (reader->initialize(path.c_str(), &st, false, false) != 0 || (seekData && reader->seek(0, SEEK_DATA) < 0))
            state.SkipWithError("initialize or seek failed");
        size_t total = 0;
        int n;
        while ((n = reader->read(f.buf, kBufSize)) > 0)
            total += static_cast<size_t>(n);
        reader->closeFile();
        if (total != expect)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(f.buf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(expect));
}

void readWholeFile(benchmark::State& state, bool advice) {
    Fixture& f = fixture();
    f.warm();
    readerLoop(state, advice, f.file, kFileSize, false);
}

void BM_SparseReadAdvised(benchmark::State& state) { readerLoop(state, true, fixture().sparse, kBufSize, true); }
BENCHMARK(BM_SparseReadAdvised)->Unit(benchmark::kMillisecond);

void BM_SparsePlainRead(benchmark::State& state) { plainLoop(state, fixture().sparse, kBufSize, true); }
BENCHMARK(BM_SparsePlainRead)->Unit(benchmark::kMillisecond);

void BM_ReaderRead(benchmark::State& state) { readWholeFile(state, false); }
BENCHMARK(BM_ReaderRead)->Unit(benchmark::kMillisecond);

void BM_ReaderReadAdvised(benchmark::State& state) { readWholeFile(state, true); }
BENCHMARK(BM_ReaderReadAdvised)->Unit(benchmark::kMillisecond);

RUXEN_BENCH_RATIO("read", "BM_ReaderRead", "BM_PlainRead");
RUXEN_BENCH_RATIO("read-advised", "BM_ReaderReadAdvised", "BM_PlainRead");
RUXEN_BENCH_RATIO("sparse-advised", "BM_SparseReadAdvised", "BM_SparsePlainRead");

}  // namespace
