// Sines and cosines many lanes at a time, and the cache's recall scan built on
// them, against the C library one value at a time and the one-entry loop the
// scan replaced. Each many-lane figure is run on every SIMD target the
// processor has (the target's number is the benchmark argument: 0 scalar,
// 1 AVX2, 2 AVX-512); compare ratios within one run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../tests/cpp/one_entry_cache.hpp"
#include "core/simd_target.hpp"
#include "core/sincos.hpp"
#include "engines/hkvc.hpp"

namespace {

using namespace tessarin;

constexpr std::size_t kPhases = 4096;
constexpr std::uint64_t kRecallDim = 1024;

// Sums and differences of two phases, the arguments the cache evaluates.
std::vector<float> phase_sums() {
    std::vector<float> a(kPhases);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i) * (12.566371f / kPhases) - 2.0f;
    return a;
}

// Pins the target named by the benchmark argument, or skips it.
bool pin_target(benchmark::State& state, std::unique_ptr<ScopedSimdTarget>& pin) {
    const auto t = static_cast<SimdTarget>(state.range(0));
    if (!simd_target_supported(t)) {
        state.SkipWithError("target not supported here");
        return false;
    }
    pin = std::make_unique<ScopedSimdTarget>(t);
    state.SetLabel(std::string(simd_target_name(t)) + (sincos_lanes_proven() ? "" : ", C library lanes"));
    return true;
}

void BM_SincosLibrary(benchmark::State& state) {
    const std::vector<float> a = phase_sums();
    std::vector<float> s(a.size());
    std::vector<float> c(a.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < a.size(); ++i) {
            s[i] = std::sin(a[i]);
            c[i] = std::cos(a[i]);
        }
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(c.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * a.size()));
}
BENCHMARK(BM_SincosLibrary);

void BM_SincosLanes(benchmark::State& state) {
    std::unique_ptr<ScopedSimdTarget> pin;
    if (!pin_target(state, pin)) return;
    const std::vector<float> a = phase_sums();
    std::vector<float> s(a.size());
    std::vector<float> c(a.size());
    for (auto _ : state) {
        sincos_many(a, s, c);
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(c.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * a.size()));
}
BENCHMARK(BM_SincosLanes)->DenseRange(0, 2);

struct RecallFixture {
    std::unique_ptr<HKVC> cache;
    std::unique_ptr<OneEntryCache> one_entry;
};

// The same stores into the cache and into the one-entry loop, once per size.
const RecallFixture& recall_with(std::int64_t entries) {
    static std::map<std::int64_t, RecallFixture> built;
    auto [it, fresh] = built.try_emplace(entries);
    if (fresh) {
        it->second.cache = std::make_unique<HKVC>(kRecallDim);
        it->second.one_entry = std::make_unique<OneEntryCache>(kRecallDim);
        for (std::int64_t i = 0; i < entries; ++i) {
            const std::string key = "key-" + std::to_string(i);
            const std::string value = "value-" + std::to_string(i);
            it->second.cache->store(key, value, static_cast<std::uint64_t>(i));
            it->second.one_entry->store(key, value, static_cast<std::uint64_t>(i));
        }
    }
    return it->second;
}

// A key never stored: the whole store is scanned.
void BM_RecallOneEntryLoop(benchmark::State& state) {
    const RecallFixture& f = recall_with(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(f.one_entry->recall_best("never stored"));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RecallOneEntryLoop)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_RecallBlockScan(benchmark::State& state) {
    std::unique_ptr<ScopedSimdTarget> pin;
    if (!pin_target(state, pin)) return;
    const RecallFixture& f = recall_with(state.range(1));
    for (auto _ : state) benchmark::DoNotOptimize(f.cache->query("never stored"));
    state.SetItemsProcessed(state.iterations() * state.range(1));
}
BENCHMARK(BM_RecallBlockScan)->ArgsProduct({{0, 1, 2}, {100, 1000}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
