// Self-regulation and scheduler kernels: the feedback loop (which logs one
// observation per signal), recall over a growing codebook and the attention
// read-out.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engines/holo_cpu_scheduler.hpp"
#include "engines/metacognition.hpp"
#include "engines/quantum_attention_head.hpp"

namespace tessarin {
namespace {

constexpr std::uint64_t kDim = 1024;

// Baseline for the feedback loop: logging with a fresh context per record,
// the cost the scheduler avoids by sharing its one fixed context.
void BM_RecordFreshContext(benchmark::State& state) {
    Metacognition m(kDim);
    for (auto _ : state) m.record(0.75f, 0.75f, 0.75f, Hypervector(kDim, 1.0f), 0);
    benchmark::DoNotOptimize(m.success_rate());
}
BENCHMARK(BM_RecordFreshContext);

void BM_ProcessFeedback(benchmark::State& state) {
    HoloCPUScheduler s(kDim, 4);
    for (auto _ : state) s.process_feedback(0.75f);
    benchmark::DoNotOptimize(s.feedback_strength());
}
BENCHMARK(BM_ProcessFeedback);

void BM_Recall(benchmark::State& state) {
    HoloCPUScheduler s(kDim, 4);
    for (int i = 0; i < state.range(0); ++i) s.store_memory("concept" + std::to_string(i));
    for (auto _ : state) benchmark::DoNotOptimize(s.recall("concept0"));
}
BENCHMARK(BM_Recall)->Arg(1)->Arg(64);

void BM_QuantumAttention(benchmark::State& state) {
    const Hypervector query(kDim, 1.0f);
    const std::vector<Hypervector> keys(static_cast<std::size_t>(state.range(0)), query);
    for (auto _ : state) benchmark::DoNotOptimize(quantum_attention(kDim, query, keys, keys));
}
BENCHMARK(BM_QuantumAttention)->Arg(2)->Arg(64);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
