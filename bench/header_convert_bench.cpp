// Throughput of the item header's conversion to network order: it runs once
// for every item a stream sends.
#include <benchmark/benchmark.h>

#include <cstring>

#include "platform/archive/ZXHeaderByteOrder.h"
#include "ruxen/ZXFileHeader.h"

namespace {

ZXFileHeader SampleRecord() {
    ZXFileHeader h;
    h.h_version = ZX_HEADER_VERSION;
    h.h_magic = ZX_HEADER_MAGIC;
    h.h_nlink = 1;
    h.h_mode = 0100644;
    h.h_uid = 1000;
    h.h_gid = 1000;
    h.h_platform_flags = ZX_HDR_FLAG_NOT_SPARSE | ZX_HDR_FLAG_SPARSE_TESTED;
    h.h_filesize = 123456789;
    h.h_mtime = 1700000000;
    h.h_ctime = 1700000000;
    h.h_separator = '/';
    h.h_flags = ZX_HFLAG_SLASH_SEPARATOR | ZX_HFLAG_ALWAYS;
    h.h_ino_low = 424242;
    const char name[] = "/home/user/projects/data/file.bin";
    std::memcpy(h.h_filename, name, sizeof name);
    h.h_namelen = sizeof name;
    return h;
}

void BM_ConvertZXFileHeaderToNetOrder(benchmark::State& state) {
    const ZXFileHeader src = SampleRecord();
    ZXFileHeader dst;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ConvertZXFileHeaderToNetOrder(&src, &dst));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(ZXFileHeader)));
}
BENCHMARK(BM_ConvertZXFileHeaderToNetOrder);

// The transport's in-place conversion alone, without the 1160-byte copy.
void BM_ConvertZXFileHeaderByteOrderInPlace(benchmark::State& state) {
    ZXFileHeader h = SampleRecord();
    for (auto _ : state) {
        ConvertZXFileHeaderByteOrder(&h);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertZXFileHeaderByteOrderInPlace);

void BM_ZXHeaderPipelineLength(benchmark::State& state) {
    ZXFileHeader w;
    const ZXFileHeader src = SampleRecord();
    ConvertZXFileHeaderToNetOrder(&src, &w);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZXHeaderPipelineLength(&w));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ZXHeaderPipelineLength);

}  // namespace
