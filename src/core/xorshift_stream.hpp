// The xorshift sign stream: a second deterministic bipolar generator beside
// lcg_bipolar_stream, for vectors keyed by a 64-bit digest. Like it: O(n), n
// floats allocated, polls while filling (Cancelled), Fault "capacity overflow"
// for an n no address space could hold.
#pragma once

#include <cstdint>

#include "core/algebra.hpp"
#include "core/cancel.hpp"
#include "core/fault.hpp"

namespace tessarin {

// The sign compares these two bits of the state.
inline constexpr unsigned kXorshiftSignBitLow = 0;
inline constexpr unsigned kXorshiftSignBitHigh = 7;
// The 64-bit xorshift shift triple (left, right, left).
inline constexpr unsigned kXorshiftA = 13;
inline constexpr unsigned kXorshiftB = 7;
inline constexpr unsigned kXorshiftC = 17;

// n components of +-1.0: component i is +1.0 when bits 0 and 7 of the state
// agree, and the state advances by one xorshift step after each component, so
// the seed itself decides component 0.
inline Hypervector xorshift_bipolar_stream(std::uint64_t seed, std::uint64_t n) {
    std::uint64_t t = seed;
    return filled_in_blocks<float>(n, 1, [&](Hypervector& out, std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            const bool agree = ((t >> kXorshiftSignBitLow) & 1U) == ((t >> kXorshiftSignBitHigh) & 1U);
            out[i] = agree ? 1.0f : -1.0f;
            t ^= t << kXorshiftA;
            t ^= t >> kXorshiftB;
            t ^= t << kXorshiftC;
        }
    });
}

}  // namespace tessarin
