// Scans of many records against one query, per SIMD target, beside two
// baselines from the same run:
//   - OneRecordLoop: the same scores as one ordered sum per record, record
//     after record (what a scan costs without lanes);
//   - AddFloor: the machine's add throughput at a target's vector width,
//     eight independent chains of vector adds with no loads and no multiplies.
//     Every lane of a scan needs one ordered add per component, so no scan can
//     beat it.
// Every benchmark reports `lane_adds` (records * components per second) and
// `ns_per_record`; a scan's distance to the floor is AddFloor's lane_adds over
// the scan's.
#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <random>
#include <vector>

#include "core/row_store.hpp"
#include "core/scan.hpp"
#include "core/simd_target.hpp"

namespace {

using namespace tessarin;

constexpr std::uint64_t kFloorAddsPerChain = 1 << 16;

void report(benchmark::State& state, double records, double components) {
    state.counters["lane_adds"] = benchmark::Counter(records * components, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["ns_per_record"] = benchmark::Counter(
        records * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) void add_chains_avx512(std::uint64_t n, float* out) {
    __m512 acc[8];
    for (auto& a : acc) a = _mm512_setzero_ps();
    const __m512 one = _mm512_set1_ps(1.0f);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (auto& a : acc) a = _mm512_add_ps(a, one);
    }
    for (int c = 0; c < 8; ++c) out[c] = _mm512_cvtss_f32(acc[c]);
}

__attribute__((target("avx2"))) void add_chains_avx2(std::uint64_t n, float* out) {
    __m256 acc[8];
    for (auto& a : acc) a = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (auto& a : acc) a = _mm256_add_ps(a, one);
    }
    for (int c = 0; c < 8; ++c) out[c] = _mm256_cvtss_f32(acc[c]);
}
#endif

bool pin_target(benchmark::State& state, SimdTarget t) {
    if (simd_target_supported(t)) return true;
    state.SkipWithError("target not supported here");
    return false;
}

void BM_AddFloor(benchmark::State& state) {
    const auto t = static_cast<SimdTarget>(state.range(0));
    if (!pin_target(state, t)) return;
    float out[8];
    double lanes = 0;
    for (auto _ : state) {
#if defined(__x86_64__)
        if (t == SimdTarget::avx512) {
            add_chains_avx512(kFloorAddsPerChain, out);
            lanes = 16.0;
        } else {
            add_chains_avx2(kFloorAddsPerChain, out);
            lanes = 8.0;
        }
#endif
        benchmark::DoNotOptimize(out);
    }
    report(state, 8.0 * lanes, static_cast<double>(kFloorAddsPerChain));
    state.SetLabel(std::string(simd_target_name(t)));
}

Hypervector general_row(std::mt19937& gen, std::uint64_t dim) {
    std::normal_distribution<float> d(0.0f, 1.0f);
    Hypervector v(dim);
    for (float& x : v) x = d(gen);
    return v;
}

Hypervector bipolar_row(std::mt19937& gen, std::uint64_t dim) {
    Hypervector v(dim);
    for (float& x : v) x = (gen() & 1U) != 0 ? -1.0f : 1.0f;
    return v;
}

std::vector<Hypervector> rows_of(bool bipolar, std::uint64_t dim, std::int64_t count) {
    std::mt19937 gen(7);
    std::vector<Hypervector> rows;
    for (std::int64_t r = 0; r < count; ++r) rows.push_back(bipolar ? bipolar_row(gen, dim) : general_row(gen, dim));
    return rows;
}

// Args: target, bipolar (0/1), dim, records.
void BM_ScanStore(benchmark::State& state) {
    const auto t = static_cast<SimdTarget>(state.range(0));
    if (!pin_target(state, t)) return;
    const ScopedSimdTarget pinned(t);
    const bool bipolar = state.range(1) != 0;
    const auto dim = static_cast<std::uint64_t>(state.range(2));
    RowStore store;
    std::mt19937 rows_gen(7);
    for (std::int64_t r = 0; r < state.range(3); ++r) {
        store.push_back(bipolar ? bipolar_row(rows_gen, dim) : general_row(rows_gen, dim));
    }
    std::mt19937 gen(11);
    const Hypervector query = general_row(gen, dim);
    std::vector<float> out(store.size());
    for (auto _ : state) {
        ordered_dots(0.0f, query, store, out);
        benchmark::DoNotOptimize(out.data());
    }
    report(state, static_cast<double>(store.size()), static_cast<double>(dim));
    state.SetLabel(std::string(simd_target_name(t)) + (bipolar ? " packed" : " float"));
}

// Args: target, dim, records. Rows held as separate vectors.
void BM_ScanRows(benchmark::State& state) {
    const auto t = static_cast<SimdTarget>(state.range(0));
    if (!pin_target(state, t)) return;
    const ScopedSimdTarget pinned(t);
    const auto dim = static_cast<std::uint64_t>(state.range(1));
    const std::vector<Hypervector> rows = rows_of(false, dim, state.range(2));
    std::mt19937 gen(11);
    const Hypervector query = general_row(gen, dim);
    std::vector<float> out(rows.size());
    for (auto _ : state) {
        ordered_dots(0.0f, query, rows, out);
        benchmark::DoNotOptimize(out.data());
    }
    report(state, static_cast<double>(rows.size()), static_cast<double>(dim));
    state.SetLabel(std::string(simd_target_name(t)) + " rows");
}

// Args: dim, records.
void BM_OneRecordLoop(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    const std::vector<Hypervector> rows = rows_of(false, dim, state.range(1));
    std::mt19937 gen(11);
    const Hypervector query = general_row(gen, dim);
    std::vector<float> out(rows.size());
    for (auto _ : state) {
        for (std::size_t k = 0; k < rows.size(); ++k) out[k] = ordered_dot(0.0f, query, rows[k]);
        benchmark::DoNotOptimize(out.data());
    }
    report(state, static_cast<double>(rows.size()), static_cast<double>(dim));
}

// Filling a store: the cost per row should not grow with the store.
// Args: records (bipolar rows of dim 256).
void BM_RowStoreFill(benchmark::State& state) {
    const std::vector<Hypervector> rows = rows_of(true, 256, 64);
    for (auto _ : state) {
        RowStore store;
        for (std::int64_t r = 0; r < state.range(0); ++r) store.push_back(rows[static_cast<std::size_t>(r) % rows.size()]);
        benchmark::DoNotOptimize(store.size());
    }
    state.counters["ns_per_record"] = benchmark::Counter(
        static_cast<double>(state.range(0)) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

constexpr std::int64_t kTargets[] = {static_cast<std::int64_t>(SimdTarget::scalar),
                                     static_cast<std::int64_t>(SimdTarget::avx2),
                                     static_cast<std::int64_t>(SimdTarget::avx512)};
// Float rows at dim 10,000 stop at 1,000 records (40 MB); sign bits go to 10,000.
constexpr std::int64_t kDims[] = {1024, 10000};
constexpr std::int64_t kRecords[] = {100, 1000, 10000};

bool too_big_as_floats(std::int64_t dim, std::int64_t records) { return dim * records > 10'240'000; }

void store_args(benchmark::internal::Benchmark* b) {
    for (const std::int64_t t : kTargets) {
        for (const std::int64_t bipolar : {1, 0}) {
            for (const std::int64_t dim : kDims) {
                for (const std::int64_t records : kRecords) {
                    if (bipolar == 0 && too_big_as_floats(dim, records)) continue;
                    b->Args({t, bipolar, dim, records});
                }
            }
        }
    }
}

void rows_args(benchmark::internal::Benchmark* b) {
    for (const std::int64_t t : kTargets) {
        for (const std::int64_t dim : kDims) {
            for (const std::int64_t records : {100, 1000}) b->Args({t, dim, records});
        }
    }
}

void loop_args(benchmark::internal::Benchmark* b) {
    for (const std::int64_t dim : kDims) {
        for (const std::int64_t records : kRecords) {
            if (!too_big_as_floats(dim, records)) b->Args({dim, records});
        }
    }
}

}  // namespace

#if defined(__x86_64__)
BENCHMARK(BM_AddFloor)
    ->Arg(static_cast<std::int64_t>(SimdTarget::avx2))
    ->Arg(static_cast<std::int64_t>(SimdTarget::avx512));
#endif
BENCHMARK(BM_ScanStore)->Apply(store_args);
BENCHMARK(BM_ScanRows)->Apply(rows_args);
BENCHMARK(BM_OneRecordLoop)->Apply(loop_args);
BENCHMARK(BM_RowStoreFill)->Arg(1000)->Arg(100000);

BENCHMARK_MAIN();
