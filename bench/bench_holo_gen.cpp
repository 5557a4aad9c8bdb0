// The generation engine's kernels against a plain pass that allocates and
// writes the same number of bytes: the ratio is the cost of the keystream.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "engines/holo_gen_engine.hpp"

namespace {

using tessarin::SignVector;

void BM_WriteDimBytes(benchmark::State& state) {
    const auto dim = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        SignVector v(dim);
        for (std::size_t i = 0; i < dim; ++i) v[i] = (i & 1) != 0 ? std::int8_t{1} : std::int8_t{-1};
        benchmark::DoNotOptimize(v.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_SeededSignVector(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    std::uint64_t seed = 0;
    for (auto _ : state) {
        SignVector v = tessarin::seeded_sign_vector(seed++, dim);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_WavelengthCode(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        SignVector v = tessarin::wavelength_code(650.0f, dim);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_StringSignVector(benchmark::State& state) {
    const auto dim = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        SignVector v = tessarin::string_sign_vector("counterfactual root state", dim);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_PixelGeometry(benchmark::State& state) {
    const tessarin::HoloGenEngine engine(static_cast<std::uint64_t>(state.range(0)));
    std::uint32_t x = 0;
    for (auto _ : state) {
        SignVector v = engine.generate_pixel_geometry(x, x + 1, 7);
        ++x;
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_WriteDimBytes)->Arg(1024)->Arg(65536);
BENCHMARK(BM_SeededSignVector)->Arg(1024)->Arg(65536);
BENCHMARK(BM_WavelengthCode)->Arg(1024)->Arg(65536);
BENCHMARK(BM_StringSignVector)->Arg(1024)->Arg(65536);
BENCHMARK(BM_PixelGeometry)->Arg(1024)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
