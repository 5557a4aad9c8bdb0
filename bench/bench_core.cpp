// Kernels of the core. Each family has a baseline in the same run (a plain
// pass over the same number of bytes), so figures can be read as ratios.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "core/algebra.hpp"
#include "core/cancel.hpp"
#include "core/diagnostics.hpp"
#include "core/generators.hpp"
#include "core/hebbian.hpp"
#include "core/simd_target.hpp"
#include "core/siphash.hpp"
#include "engines/hkvc.hpp"
#include "engines/holo_cpu_scheduler.hpp"

namespace {

using tessarin::Hypervector;
using tessarin::SimdTarget;

void BM_BaselineCopy(benchmark::State& state) {
    const Hypervector a(static_cast<std::size_t>(state.range(0)), 1.0f);
    Hypervector out(a.size());
    for (auto _ : state) {
        std::memcpy(out.data(), a.data(), a.size() * sizeof(float));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void BM_Bind(benchmark::State& state) {
    const Hypervector a = tessarin::string_hypervector("a", static_cast<std::uint64_t>(state.range(0)));
    const Hypervector b = tessarin::string_hypervector("b", a.size());
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::hdc_bind(a, b));
}

// The ordered sum cannot be vectorised; this shows what that costs against bind.
void BM_Resonance(benchmark::State& state) {
    const Hypervector a = tessarin::string_hypervector("a", static_cast<std::uint64_t>(state.range(0)));
    const Hypervector b = tessarin::string_hypervector("b", a.size());
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::resonance(a, b));
}

void BM_StringHypervector(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::string_hypervector("ram_role", static_cast<std::uint64_t>(state.range(0))));
    }
}

void BM_RandBipolar(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::rand_bipolar(static_cast<std::uint64_t>(state.range(0))));
}

void BM_EncodeSystemState(benchmark::State& state) {
    const tessarin::SystemState s{50.0f, 25.0f, 3, 1500};
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::encode_system_state(static_cast<std::uint64_t>(state.range(0)), s));
    }
}

void BM_Hebbian(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    const Hypervector w(dim * dim, 0.0f);
    const Hypervector v = tessarin::string_hypervector("pre", dim);
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::hebbian(w, v, v, 0.01f, dim));
}

// SipHash over a short framed string: the per-digest cost behind every
// string-derived vector and phase.
void BM_StringDigest(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::string_digest(text));
}

// ---- One prefix, many indices ----------------------------------------------
// Arguments: digest count, key length (the counted framing puts 8 + length
// bytes before the index, so 8 leaves it block-aligned and 3 does not), and
// for the many-lane form the SIMD target.

// The baseline, as every caller did it before: the hasher copied and
// finished once per index.
template <class T, class ToValue>
void map_one_at_a_time(const tessarin::SipHasher13& prefix, std::vector<T>& out, ToValue to_value) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = to_value(tessarin::SipHasher13(prefix).write_u64(i).finish());
}

std::uint64_t identity(std::uint64_t h) { return h; }

tessarin::SipHasher13 counted_prefix(std::int64_t key_length) {
    return tessarin::SipHasher13{}.write_counted(std::string(static_cast<std::size_t>(key_length), 'k'));
}

void BM_IndexedDigestsOneAtATime(benchmark::State& state) {
    const tessarin::SipHasher13 prefix = counted_prefix(state.range(1));
    std::vector<std::uint64_t> out(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        map_one_at_a_time(prefix, out, identity);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_IndexedDigests(benchmark::State& state) {
    const auto target = static_cast<SimdTarget>(state.range(2));
    if (!tessarin::simd_target_supported(target)) {
        state.SkipWithError("target not supported here");
        return;
    }
    const tessarin::ScopedSimdTarget pin(target);
    state.SetLabel(std::string(tessarin::simd_target_name(target)));
    const tessarin::SipHasher13 prefix = counted_prefix(state.range(1));
    std::vector<std::uint64_t> out(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        prefix.indexed_digests(0, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void IndexedDigestArgs(benchmark::internal::Benchmark* b, bool with_targets) {
    for (const std::int64_t n : {1024, 10000}) {
        for (const std::int64_t key_length : {3, 8}) {
            if (!with_targets) {
                b->Args({n, key_length});
                continue;
            }
            for (const auto t : {SimdTarget::scalar, SimdTarget::avx2, SimdTarget::avx512}) {
                b->Args({n, key_length, static_cast<std::int64_t>(t)});
            }
        }
    }
}

// End effect on the callers, against the same computation done one index at a
// time: the cache's key phases and the scheduler's role vectors.
void BM_StringPhasesOneAtATime(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        const tessarin::SipHasher13 prefix = tessarin::SipHasher13{}.write_counted("key-123");
        tessarin::Hypervector out(dim);
        map_one_at_a_time(prefix, out, tessarin::phase_from_hash);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_StringPhases(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::string_phases("key-123", static_cast<std::uint64_t>(state.range(0))));
    }
}

void BM_GenerateRoleOneAtATime(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        const tessarin::SipHasher13 prefix = tessarin::SipHasher13{}.write_str("cpu_role");
        tessarin::Hypervector out(dim);
        map_one_at_a_time(prefix, out, [](std::uint64_t h) { return (h & 1U) != 0 ? 1.0f : -1.0f; });
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_GenerateRole(benchmark::State& state) {
    const tessarin::HoloCPUScheduler scheduler(static_cast<std::uint64_t>(state.range(0)), 1);
    for (auto _ : state) benchmark::DoNotOptimize(scheduler.generate_role("cpu_role"));
}

// ---- cost of the cancellation polls ------------------------------------------
//
// Long loops tick a cancellation poll and ask the hook about once a
// millisecond. Each kernel below runs twice in the same process: argument 1
// = 0 with no hook connected, = 1 with a hook that reads an atomic flag the way
// the interpreter's signal check does when no signal is pending. The ratio of
// the two is the price of being interruptible.

std::atomic<bool> stop_requested{false};

bool stop_if_requested() { return stop_requested.load(std::memory_order_relaxed); }

class HookSwitch {
public:
    explicit HookSwitch(const benchmark::State& state) {
        tessarin::connect_cancel_hook(state.range(1) != 0 ? &stop_if_requested : nullptr);
    }
    ~HookSwitch() { tessarin::connect_cancel_hook(nullptr); }
    HookSwitch(const HookSwitch&) = delete;
    HookSwitch& operator=(const HookSwitch&) = delete;
};

void BM_PolledRandBipolar(benchmark::State& state) {
    const HookSwitch hook(state);
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::rand_bipolar(static_cast<std::uint64_t>(state.range(0))));
}

void BM_PolledStringHypervector(benchmark::State& state) {
    const HookSwitch hook(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::string_hypervector("ram_role", static_cast<std::uint64_t>(state.range(0))));
    }
}

void BM_PolledHebbian(benchmark::State& state) {
    const HookSwitch hook(state);
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    const Hypervector w(dim * dim, 0.0f);
    const Hypervector v = tessarin::string_hypervector("pre", dim);
    for (auto _ : state) benchmark::DoNotOptimize(tessarin::hebbian(w, v, v, 0.01f, dim));
}

}  // namespace

BENCHMARK(BM_BaselineCopy)->Arg(1024)->Arg(10000);
BENCHMARK(BM_Bind)->Arg(1024)->Arg(10000);
BENCHMARK(BM_Resonance)->Arg(1024)->Arg(10000);
BENCHMARK(BM_StringHypervector)->Arg(1024)->Arg(10000);
BENCHMARK(BM_RandBipolar)->Arg(1024)->Arg(10000);
BENCHMARK(BM_EncodeSystemState)->Arg(1024)->Arg(10000);
BENCHMARK(BM_Hebbian)->Arg(256)->Arg(1024);
BENCHMARK(BM_StringDigest)->Arg(8)->Arg(64);
BENCHMARK(BM_IndexedDigestsOneAtATime)->Apply([](auto* b) { IndexedDigestArgs(b, false); });
BENCHMARK(BM_IndexedDigests)->Apply([](auto* b) { IndexedDigestArgs(b, true); });
BENCHMARK(BM_StringPhasesOneAtATime)->Arg(1024)->Arg(10000);
BENCHMARK(BM_StringPhases)->Arg(1024)->Arg(10000);
BENCHMARK(BM_GenerateRoleOneAtATime)->Arg(1024)->Arg(10000);
BENCHMARK(BM_GenerateRole)->Arg(1024)->Arg(10000);

BENCHMARK(BM_PolledRandBipolar)->ArgsProduct({{1 << 16, 1 << 22}, {0, 1}});
BENCHMARK(BM_PolledStringHypervector)->ArgsProduct({{1 << 16, 1 << 22}, {0, 1}});
BENCHMARK(BM_PolledHebbian)->ArgsProduct({{1024, 4096}, {0, 1}});

BENCHMARK_MAIN();
