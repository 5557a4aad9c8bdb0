// Single-precision sine and cosine of many phases at once.
//
// Every result is bit-identical to std::sin / std::cos on a float: the C
// library's own values, which are not always the nearest float. Where this C
// library build is one whose sinf/cosf the many-lane kernels were checked
// against for every float they evaluate, and a short self-test agrees on first
// use, the kernels evaluate 8 or 16 lanes at once by repeating the library's
// double-precision steps exactly; anywhere else, and for lanes outside those
// the check covered (|a| >= 120, infinities, NaN), the C library is called.
//
// Costs: O(n) in the phases evaluated, nothing allocated, nothing polled, no
// failure. The check of the library and the self-test run once per process,
// on the first call from whichever thread, and are then read-only; every
// function may be called from any number of threads at once.
#pragma once

#include <complex>
#include <cstddef>
#include <span>

namespace tessarin {

// sin_out[i] = std::sin(a[i]) and cos_out[i] = std::cos(a[i]) for every i;
// both outputs hold at least a.size() elements.
void sincos_many(std::span<const float> a, std::span<float> sin_out, std::span<float> cos_out);

// The terms of a phasor projection: the real part of acc * exp(-i * a) for a
// unit phasor of angle a, rounded as written (both products, then their sum).
inline float phasor_term(float sin_a, float cos_a, std::complex<float> acc) {
    return sin_a * acc.imag() + cos_a * acc.real();
}

// Records scored together by `phasor_projection_lanes`. A block keeps their
// phase rows interleaved: component i of record l at block[i * kPhaseLanes + l].
inline constexpr std::size_t kPhaseLanes = 16;

// For every record l of the block: the sum over i, in index order from +0.0f,
// of phasor_term(sin(a), cos(a), acc[i]) with a = q[i] + (component i of l)
// rounded to float. Needs block.size() == q.size() * kPhaseLanes and
// acc.size() >= q.size(). Each lane is bit-identical to the one-record loop.
// Only the first `live` lanes are needed: the others may be left as they were
// (the lanes run together anyway, except where the C library is called per lane).
void phasor_projection_lanes(std::span<const float> q, std::span<const float> block,
                             std::span<const std::complex<float>> acc, std::span<float, kPhaseLanes> out,
                             std::size_t live = kPhaseLanes);

// Whether this process's C library (version, and the sinf/cosf build it
// selected for this processor) is one the kernels were proven against.
bool sincos_library_proven();

// Whether the many-lane evaluation is in use in this process: the library is a
// proven one and the self-test on the first call of any function here passed.
// Nothing is decided at load time.
bool sincos_lanes_proven();

}  // namespace tessarin
