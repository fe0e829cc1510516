// The file calls on the transfer path, on disk: what one call costs and how many heap
// allocations it makes ("allocs" per iteration), so that the file-system seam is seen
// to add neither. Only files.h is used, so the same source builds against an older
// files.cpp for a comparison.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/files.h"
#include "support/tempdir.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using keyvane::test::TempDir;

void CountAllocations(benchmark::State& state, uint64_t before) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations.load() - before),
                                                  benchmark::Counter::kAvgIterations);
}

// One block of a received file: open the record file, write a record, close it.
void BM_RecordWrite(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.file("recv.bin");
    const std::string block(1000, 'x');
    int64_t r = 1;
    const uint64_t before = allocations.load();
    for (auto _ : state) {
        keyvane::RecordFile f(path, 1000);
        f.Write(r, block);
        f.Close();
        r = r % 1000 + 1;
    }
    CountAllocations(state, before);
}
BENCHMARK(BM_RecordWrite);

// One block of a file being sent, read from a file kept open.
void BM_RecordRead(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.file("send.bin");
    {
        keyvane::RecordFile f(path, 1000);
        for (int64_t r = 1; r <= 1000; ++r) f.Write(r, std::string(1000, 'y'));
    }
    keyvane::RecordFile f(path, 1000);
    int64_t r = 1;
    const uint64_t before = allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.Read(r));
        r = r % 1000 + 1;
    }
    CountAllocations(state, before);
}
BENCHMARK(BM_RecordRead);

// What the cipher asks of a key file before every string operation.
void BM_Stamp(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.file("k2.bin");
    keyvane::WriteTextLines(path, {"1", "2"});
    const uint64_t before = allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(keyvane::StampOfPlainFile(path));
    CountAllocations(state, before);
}
BENCHMARK(BM_Stamp);

void BM_Exists(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.file("k3.bin");
    keyvane::WriteTextLines(path, {"1"});
    const uint64_t before = allocations.load();
    for (auto _ : state) benchmark::DoNotOptimize(keyvane::FileExists(path));
    CountAllocations(state, before);
}
BENCHMARK(BM_Exists);

// A small text file written whole, as the working rotors and settings are.
void BM_TextFile(benchmark::State& state) {
    TempDir dir;
    const std::string path = dir.file("k1.bcr");
    const std::string line(64, 'z');
    const uint64_t before = allocations.load();
    for (auto _ : state) {
        keyvane::TextWriter w(path);
        for (int i = 0; i < 16; ++i) w.WriteLine(line);
        w.Close();
    }
    CountAllocations(state, before);
}
BENCHMARK(BM_TextFile);

}  // namespace

BENCHMARK_MAIN();
