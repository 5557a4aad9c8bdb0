// Hypervector generators and fingerprints.
//
// The deterministic generators give names, roles and quantised values stable
// bipolar vectors without storing a codebook: the same text and length give
// the same vector in every process, and a longer length extends a shorter one.
//
// Costs: every vector generator is O(n) and allocates its n floats; the fill
// polls the cancellation hook (it may unwind with Cancelled) and an n whose
// bytes could never be addressed is Fault "capacity overflow". The seeded
// generators are pure functions. The random ones draw from a generator owned
// by the calling thread (reseeded after a fork), so threads never share or
// lock random state. Seeding (a thread's first draw, or its first after a
// fork) throws std::runtime_error if the operating system's entropy source
// fails.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/algebra.hpp"
#include "core/cancel.hpp"

namespace tessarin {

// The multiplier of the 64-bit linear congruential sign stream, and of the
// congruential step inside expand_seed (core/chacha.hpp).
inline constexpr std::uint64_t kLcgMultiplier = 6364136223846793005ULL;

// n components of +-1.0: the state advances (s = s * kLcgMultiplier + 1) before
// each component, and the component is +1.0 when the new state's top bit is 0.
Hypervector lcg_bipolar_stream(std::uint64_t seed, std::uint64_t n);

// lcg_bipolar_stream(string_digest(text), n): O(len(text) + n).
Hypervector string_hypervector(std::string_view text, std::uint64_t n);

// The same components written into `out` (out.size() of them), for rows of a
// table filled in place; the fill ticks `poll`.
void lcg_bipolar_fill(std::uint64_t seed, std::span<float> out, CancelPoll& poll);
void string_hypervector_fill(std::string_view text, std::span<float> out, CancelPoll& poll);

// Sign fingerprint: bit (i mod 64) toggled for every component strictly
// greater than zero, over the whole vector. O(len), no allocation.
std::uint64_t hv_hash(HvView v);
// hv_hash of a bipolar vector of n components given as sign bits (bit j of
// word i set when component 64 * i + j is -1.0f): each word contributes its
// clear bits; words.size() must be (n + 63) / 64. O(n / 64).
std::uint64_t hv_hash_of_signs(std::span<const std::uint64_t> words, std::uint64_t n);

// One uniformly distributed 64-bit word from the calling thread's generator,
// which is seeded from the operating system's entropy source on first use.
std::uint64_t thread_random_u64();

// dim components of +-1.0 from the calling thread's generator, one draw each.
Hypervector rand_bipolar(std::uint64_t dim);

}  // namespace tessarin
