// Which instruction set the many-lane kernels run on.
//
// The library is compiled for the baseline x86-64 (or aarch64) instruction
// set; kernels that gain from wider registers are also compiled, in their own
// translation units, for AVX2, AVX-512 and AVX-512 with the vector population
// count, and the widest one the processor
// supports is chosen the first time a kernel runs. Nothing is probed before
// that, and no environment variable is read. Every target computes the same
// bits: only the number of independent sums in flight differs.
//
// The probe result is kept in an atomic and written at most once (with the
// same value by any thread that races to it), so the kernels may be called
// from many threads from the start.
#pragma once

#include <span>
#include <string_view>

namespace tessarin {

enum class SimdTarget {
    scalar,  // portable C++; the reference order every other target reproduces
    avx2,    // x86-64 with AVX2 (8 float lanes) and the population count
    avx512,  // x86-64 with AVX-512 F, BW, DQ and VL (16 float lanes, mask registers)
    avx512pop,  // avx512 plus VPOPCNTDQ: eight 64-bit population counts per instruction
};

std::string_view simd_target_name(SimdTarget t);

// Whether this processor (and this build) can run `t`.
bool simd_target_supported(SimdTarget t);

// The target the kernels use: the widest supported one, probed once, unless a
// test has pinned another (see ScopedSimdTarget).
SimdTarget active_simd_target();

// Every target this build and processor can run, scalar first.
std::span<const SimdTarget> supported_simd_targets();

// For tests and benchmarks only: pins the kernels to `t` (which must be
// supported: Fault "SIMD target not supported: <name>" otherwise) for the
// scope's lifetime, then restores the previous choice. The choice is process
// wide: not meant to be used while other threads run kernels.
class ScopedSimdTarget {
public:
    explicit ScopedSimdTarget(SimdTarget t);
    ~ScopedSimdTarget();
    ScopedSimdTarget(const ScopedSimdTarget&) = delete;
    ScopedSimdTarget& operator=(const ScopedSimdTarget&) = delete;

private:
    int previous_;
};

}  // namespace tessarin
