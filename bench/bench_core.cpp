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
#include "core/siphash.hpp"

namespace {

using tessarin::Hypervector;

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

BENCHMARK(BM_PolledRandBipolar)->ArgsProduct({{1 << 16, 1 << 22}, {0, 1}});
BENCHMARK(BM_PolledStringHypervector)->ArgsProduct({{1 << 16, 1 << 22}, {0, 1}});
BENCHMARK(BM_PolledHebbian)->ArgsProduct({{1024, 4096}, {0, 1}});

BENCHMARK(BM_BaselineCopy)->Arg(1024)->Arg(10000);
BENCHMARK(BM_Bind)->Arg(1024)->Arg(10000);
BENCHMARK(BM_Resonance)->Arg(1024)->Arg(10000);
BENCHMARK(BM_StringHypervector)->Arg(1024)->Arg(10000);
BENCHMARK(BM_RandBipolar)->Arg(1024)->Arg(10000);
BENCHMARK(BM_EncodeSystemState)->Arg(1024)->Arg(10000);
BENCHMARK(BM_Hebbian)->Arg(256)->Arg(1024);
BENCHMARK(BM_StringDigest)->Arg(8)->Arg(64);

BENCHMARK_MAIN();
