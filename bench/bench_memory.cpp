// Cost of the memory engines' queries as the store grows.
//
// The cache's direct path and the causal memory's exact path look a key up
// and check only its few candidates, so they should cost the same at 10 and
// at 10,000 entries; the fallback and holographic paths scan every entry and
// should grow linearly. The reasoner stops as soon as a round reaches nothing
// new, so an enormous hop count costs what the rounds actually taken cost.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/generators.hpp"
#include "engines/causal_memory.hpp"
#include "engines/hkvc.hpp"
#include "engines/multi_hop_reasoner.hpp"

namespace {

using namespace tessarin;

constexpr std::uint64_t kCacheDim = 256;
constexpr std::uint64_t kCausalDim = 256;

std::string key_name(std::int64_t i) { return "key-" + std::to_string(i); }

struct CacheFixture {
    std::unique_ptr<HKVC> cache;
    double bytes_per_entry = 0;
};

// Built once per size and shared by every run at that size.
const CacheFixture& cache_with(std::int64_t entries) {
    static std::map<std::int64_t, CacheFixture> built;
    auto [it, fresh] = built.try_emplace(entries);
    if (fresh) {
        const std::size_t before = mallinfo2().uordblks;
        it->second.cache = std::make_unique<HKVC>(kCacheDim);
        for (std::int64_t i = 0; i < entries; ++i) {
            it->second.cache->store(key_name(i), "value-" + std::to_string(i), static_cast<std::uint64_t>(i));
        }
        const std::size_t after = mallinfo2().uordblks;
        it->second.bytes_per_entry = static_cast<double>(after - before) / static_cast<double>(entries);
    }
    return it->second;
}

void BM_HkvcDirectQuery(benchmark::State& state) {
    const CacheFixture& f = cache_with(state.range(0));
    const std::string key = key_name(state.range(0) / 2);
    for (auto _ : state) benchmark::DoNotOptimize(f.cache->query(key));
    state.counters["bytes_per_entry"] = f.bytes_per_entry;
    state.counters["row_bytes"] = static_cast<double>(2 * kCacheDim * sizeof(float));
}
BENCHMARK(BM_HkvcDirectQuery)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_HkvcFallbackQuery(benchmark::State& state) {
    const CacheFixture& f = cache_with(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(f.cache->query("never stored"));
}
BENCHMARK(BM_HkvcFallbackQuery)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

Hypervector bipolar(std::uint64_t seed) { return lcg_bipolar_stream(seed, kCausalDim); }

const CausalMemory& causal_with(std::int64_t records) {
    static std::map<std::int64_t, std::unique_ptr<CausalMemory>> built;
    auto [it, fresh] = built.try_emplace(records);
    if (fresh) {
        it->second = std::make_unique<CausalMemory>(kCausalDim);
        for (std::int64_t i = 0; i < records; ++i) {
            const auto s = static_cast<std::uint64_t>(3 * i);
            it->second->store(bipolar(s), bipolar(s + 1), bipolar(s + 2));
        }
    }
    return *it->second;
}

void BM_CausalExactQuery(benchmark::State& state) {
    const CausalMemory& m = causal_with(state.range(0));
    const Hypervector cause = bipolar(3 * static_cast<std::uint64_t>(state.range(0) / 2));
    for (auto _ : state) benchmark::DoNotOptimize(m.query_effect(cause));
}
BENCHMARK(BM_CausalExactQuery)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_CausalHolographicQuery(benchmark::State& state) {
    const CausalMemory& m = causal_with(state.range(0));
    // A fresh vector: its fingerprint is in no index, so the trace is scanned.
    const Hypervector cause = lcg_bipolar_stream(~0ULL, kCausalDim);
    for (auto _ : state) benchmark::DoNotOptimize(m.query_effect(cause));
}
BENCHMARK(BM_CausalHolographicQuery)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// 1,000 facts of which only fact 0 passes hop 0; links 0-1 and 1-2 are used in
// rounds one and two, round three reaches nothing new, and 200 further links
// join facts that are never reached.
const MultiHopReasoner& exhausted_after_three_rounds() {
    static const MultiHopReasoner r = [] {
        MultiHopReasoner built(kCausalDim);
        const Hypervector query = bipolar(0);
        Hypervector opposite = query;
        for (float& x : opposite) x = -x;
        built.add_fact(query);
        for (int i = 1; i < 1000; ++i) built.add_fact(opposite);
        built.add_link(0, 1);
        built.add_link(1, 2);
        for (std::uint64_t i = 0; i < 200; ++i) built.add_link(500 + i, 700 + i);
        return built;
    }();
    return r;
}

void BM_ReasonerHops(benchmark::State& state) {
    const MultiHopReasoner& r = exhausted_after_three_rounds();
    const Hypervector query = bipolar(0);
    const auto hops = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(r.reason(query, hops));
}
BENCHMARK(BM_ReasonerHops)->Arg(0)->Arg(3)->Arg(1'000'000'000'000'000'000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
