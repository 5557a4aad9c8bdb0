// Saving and loading a causal memory of bipolar records at dim 1,024, against
// the baselines a user would compare with: copying the same number of bytes
// in memory, and writing them to a file and syncing it. A save either makes
// the whole snapshot first (SaveToFile) or streams it (StreamToFile).
//
// Counters: file_ratio is the snapshot's size over the records' rows stored as
// bits (three rows of dim / 8 bytes each).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "core/generators.hpp"
#include "engines/causal_memory.hpp"

namespace {

using namespace tessarin;

constexpr std::uint64_t kDim = 1024;

struct Fixture {
    std::unique_ptr<CausalMemory> memory;
    SnapshotBytes bytes;
};

const Fixture& fixture(std::int64_t records) {
    static std::map<std::int64_t, Fixture> built;
    auto [it, fresh] = built.try_emplace(records);
    if (fresh) {
        it->second.memory = std::make_unique<CausalMemory>(kDim);
        for (std::int64_t i = 0; i < records; ++i) {
            const auto s = static_cast<std::uint64_t>(3 * i);
            it->second.memory->store(lcg_bipolar_stream(s, kDim), lcg_bipolar_stream(s + 1, kDim),
                                     lcg_bipolar_stream(s + 2, kDim));
        }
        it->second.bytes = it->second.memory->snapshot();
    }
    return it->second;
}

void set_counters(benchmark::State& state, const Fixture& f) {
    const double rows_as_bits = static_cast<double>(state.range(0)) * 3 * (kDim / 8);
    state.counters["file_ratio"] = static_cast<double>(f.bytes.size()) / rows_as_bits;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes.size()));
}

// A fresh file in the temporary folder, written by `fill(fd)` and synced.
template <class Fill>
void write_and_sync(Fill fill) {
    const char* dir = std::getenv("TMPDIR");
    const std::string path = std::string(dir ? dir : "/tmp") + "/bench_snapshot.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) std::abort();
    fill(fd);
    if (::fsync(fd) != 0 || ::close(fd) != 0) std::abort();
}
void write_all(int fd, SnapshotView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
}

void BM_CausalSnapshot(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(f.memory->snapshot());
    set_counters(state, f);
}
void BM_CausalFromSnapshot(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(CausalMemory::from_snapshot(f.bytes));
    set_counters(state, f);
}
void BM_CopySameBytes(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0));
    for (auto _ : state) {
        SnapshotBytes copy(f.bytes.size());
        std::memcpy(copy.data(), f.bytes.data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
    }
    set_counters(state, f);
}
void BM_CausalSaveToFile(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0));
    for (auto _ : state) write_and_sync([&](int fd) { write_all(fd, f.memory->snapshot()); });
    set_counters(state, f);
}
void BM_CausalStreamToFile(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0));
    for (auto _ : state) {
        write_and_sync([&](int fd) { f.memory->snapshot_to([fd](SnapshotView piece) { write_all(fd, piece); }); });
    }
    set_counters(state, f);
}
void BM_WriteSameBytesToFile(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0));
    for (auto _ : state) write_and_sync([&](int fd) { write_all(fd, f.bytes); });
    set_counters(state, f);
}

BENCHMARK(BM_CausalSnapshot)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CausalFromSnapshot)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopySameBytes)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CausalSaveToFile)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CausalStreamToFile)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSameBytesToFile)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
