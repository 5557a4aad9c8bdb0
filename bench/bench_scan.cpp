// Scans of many records against one query, per SIMD target, beside two
// baselines from the same run:
//   - OneRecordLoop: the same scores as one ordered sum per record, record
//     after record (what a scan costs without lanes);
//   - AddFloor: the machine's add throughput at a target's vector width,
//     eight independent chains of vector adds with no loads and no multiplies.
//     Every lane of a scan needs one ordered add per component, so no scan can
//     beat it.
//   - SelectAddFloor: one pick between two vectors by a mask and one add per
//     16 lanes, eight independent chains: what a float query over sign-bit
//     rows needs at the least per block and component;
//   - StreamFloor: one core reading the sign-bit words of a store once, with
//     nothing but an OR per 64 bytes: the floor of a bipolar query over the
//     same store, which counts differing bits in those words.
// Every benchmark reports `lane_adds` (records * components per second) and
// `ns_per_record`; a scan's distance to a floor is the ratio of their
// ns_per_record at the same size. Scans over sign-bit rows and the select floor
// also report `steps_per_ns` and `cycles_per_step` (blocks of 16 rows advanced
// by one component; cycles at the clock read at start, which a boosting core
// may exceed) and `bytes_per_ns` of sign bits read.
#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "core/row_store.hpp"
#include "core/scan.hpp"
#include "core/simd_target.hpp"

namespace {

using namespace tessarin;

constexpr std::uint64_t kFloorAddsPerChain = 1 << 16;

// Blocks of 16 rows advanced by one component, as steps per nanosecond and as
// cycles per step at the clock Google Benchmark reads at start.
void report_steps(benchmark::State& state, double steps) {
    state.counters["steps_per_ns"] = benchmark::Counter(steps * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cycles_per_step"] =
        benchmark::Counter(steps / benchmark::CPUInfo::Get().cycles_per_second,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

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

// Eight chains of acc += (mask ? b : a), the masks changing every step as a
// sign-bit block's would.
__attribute__((target("avx512f"))) void select_add_chains_avx512(std::uint64_t n, const std::uint16_t* masks,
                                                                 float* out) {
    __m512 acc[8];
    for (auto& a : acc) a = _mm512_setzero_ps();
    const __m512 plus = _mm512_set1_ps(1.0f);
    const __m512 minus = _mm512_set1_ps(-1.0f);
    for (std::uint64_t i = 0; i < n; ++i) {
        const __mmask16 m = masks[i % 64];
        for (int c = 0; c < 8; ++c) {
            acc[c] = _mm512_add_ps(acc[c], _mm512_mask_blend_ps(static_cast<__mmask16>(m ^ c), plus, minus));
        }
    }
    for (int c = 0; c < 8; ++c) out[c] = _mm512_cvtss_f32(acc[c]);
}

// ORs every 64 bytes of [p, p + n) into one register: a streaming read.
__attribute__((target("avx2"))) std::uint64_t stream_read_avx2(const std::uint64_t* p, std::size_t n) {
    __m256i a = _mm256_setzero_si256();
    __m256i b = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        a = _mm256_or_si256(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
        b = _mm256_or_si256(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 4)));
    }
    std::uint64_t rest = 0;
    for (; i < n; ++i) rest |= p[i];
    a = _mm256_or_si256(a, b);
    return rest | static_cast<std::uint64_t>(_mm256_extract_epi64(a, 0) | _mm256_extract_epi64(a, 1) |
                                             _mm256_extract_epi64(a, 2) | _mm256_extract_epi64(a, 3));
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

#if defined(__x86_64__)
void BM_SelectAddFloor(benchmark::State& state) {
    if (!pin_target(state, SimdTarget::avx512)) return;
    std::mt19937 gen(5);
    std::uint16_t masks[64];
    for (auto& m : masks) m = static_cast<std::uint16_t>(gen());
    float out[8];
    for (auto _ : state) {
        select_add_chains_avx512(kFloorAddsPerChain, masks, out);
        benchmark::DoNotOptimize(out);
    }
    report(state, 8.0 * 16.0, static_cast<double>(kFloorAddsPerChain));
    report_steps(state, 8.0 * static_cast<double>(kFloorAddsPerChain));
}
#endif

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

// A store of `count` rows, built once per size and kept for the other
// benchmarks of that size (a million rows take a second to build).
const RowStore& store_of(bool bipolar, std::uint64_t dim, std::int64_t count) {
    static std::map<std::tuple<bool, std::uint64_t, std::int64_t>, RowStore> built;
    auto [it, fresh] = built.try_emplace({bipolar, dim, count});
    if (fresh) {
        if (built.size() > 1) {
            // Keep one large store at a time.
            for (auto i = built.begin(); i != built.end();) i = i == it ? std::next(i) : built.erase(i);
        }
        std::mt19937 rows_gen(7);
        // Two more stores grow beside it, as a causal memory's three do, so
        // that the scan meets the store's words where an engine puts them.
        RowStore beside[2];
        for (std::int64_t r = 0; r < count; ++r) {
            it->second.push_back(bipolar ? bipolar_row(rows_gen, dim) : general_row(rows_gen, dim));
            for (RowStore& other : beside) other.push_back(it->second.row(static_cast<std::size_t>(r)));
        }
    }
    return it->second;
}

// Args: target, bipolar rows (0/1), dim, records, bipolar query (0/1).
void BM_ScanStore(benchmark::State& state) {
    const auto t = static_cast<SimdTarget>(state.range(0));
    if (!pin_target(state, t)) return;
    const ScopedSimdTarget pinned(t);
    const bool bipolar = state.range(1) != 0;
    const auto dim = static_cast<std::uint64_t>(state.range(2));
    const bool bipolar_query = state.range(4) != 0;
    const RowStore& store = store_of(bipolar, dim, state.range(3));
    std::mt19937 gen(11);
    const Hypervector query = bipolar_query ? bipolar_row(gen, dim) : general_row(gen, dim);
    std::vector<float> out(store.size());
    for (auto _ : state) {
        ordered_dots(0.0f, query, store, out);
        benchmark::DoNotOptimize(out.data());
    }
    report(state, static_cast<double>(store.size()), static_cast<double>(dim));
    if (bipolar) {
        report_steps(state, static_cast<double>(store.size()) / 16.0 * static_cast<double>(dim));
        state.counters["bytes_per_ns"] = benchmark::Counter(
            static_cast<double>(store.size()) * static_cast<double>(dim) / 8.0 * 1e-9,
            benchmark::Counter::kIsIterationInvariantRate);
    }
    state.SetLabel(std::string(simd_target_name(t)) + (bipolar ? " packed" : " float") +
                   (bipolar_query ? ", bipolar query" : ", float query"));
}

// Args: target, queries, records. Bipolar queries against bipolar rows of
// dim 1,024, all in one pass; reports ns_per_row_query.
void BM_ScanStoreMany(benchmark::State& state) {
    const auto t = static_cast<SimdTarget>(state.range(0));
    if (!pin_target(state, t)) return;
    const ScopedSimdTarget pinned(t);
    constexpr std::uint64_t kDim = 1024;
    const RowStore& store = store_of(true, kDim, state.range(2));
    std::mt19937 gen(13);
    std::vector<Hypervector> queries;
    for (std::int64_t i = 0; i < state.range(1); ++i) queries.push_back(bipolar_row(gen, kDim));
    const std::vector<HvView> views(queries.begin(), queries.end());
    std::vector<float> out(store.size() * queries.size());
    for (auto _ : state) {
        ordered_dots_many(0.0f, views, store, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ns_per_row_query"] = benchmark::Counter(
        static_cast<double>(out.size()) * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel(std::string(simd_target_name(t)));
}

#if defined(__x86_64__)
// Args: dim, records. Reads the sign-bit words of a store of bipolar rows.
void BM_StreamFloor(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    const RowStore& store = store_of(true, dim, state.range(1));
    std::uint64_t bits = 0;
    for (auto _ : state) {
        for (const RowStore::PackedBlock& b : store.packed_blocks()) bits |= stream_read_avx2(b.words(), b.size);
        benchmark::DoNotOptimize(bits);
    }
    report(state, static_cast<double>(store.size()), static_cast<double>(dim));
    state.counters["bytes_per_ns"] = benchmark::Counter(
        static_cast<double>(store.size()) * static_cast<double>(dim) / 8.0 * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate);
}
#endif

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
                                     static_cast<std::int64_t>(SimdTarget::avx512),
                                     static_cast<std::int64_t>(SimdTarget::avx512pop)};
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
                    b->Args({t, bipolar, dim, records, 0});
                    if (bipolar != 0) b->Args({t, bipolar, dim, records, 1});
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
BENCHMARK(BM_SelectAddFloor);
#endif
BENCHMARK(BM_ScanStore)->Apply(store_args);
// A million bipolar records at dim 1,024 (128 MB of sign bits, more than the
// caches hold): the two scans of sign-bit rows against their floors.
#if defined(__x86_64__)
BENCHMARK(BM_StreamFloor)->Args({1024, 100000})->Args({1024, 1000000})->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_ScanStore)
    ->ArgsProduct({{static_cast<std::int64_t>(SimdTarget::avx512), static_cast<std::int64_t>(SimdTarget::avx512pop)},
                   {1},
                   {1024},
                   {1000000},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanStoreMany)
    ->ArgsProduct({{static_cast<std::int64_t>(SimdTarget::avx512), static_cast<std::int64_t>(SimdTarget::avx512pop)},
                   {16},
                   {1000000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanRows)->Apply(rows_args);
BENCHMARK(BM_OneRecordLoop)->Apply(loop_args);
BENCHMARK(BM_RowStoreFill)->Arg(1000)->Arg(100000);

BENCHMARK_MAIN();
