// Hypervector algebra in 32-bit floats.
//
// Every two-argument operation works over the common prefix of its operands
// (min of the two lengths); a length mismatch is never an error. Element-wise
// loops are independent per component and may be vectorised; the sums in
// `dot` and `resonance` run strictly in index order from +0.0f, because any
// other order rounds differently.
//
// Costs: each operation is one pass, O(len), and every operation that returns
// a Hypervector allocates it (std::bad_alloc is the only failure unless a
// comment names a Fault). `codebook_cleanup` is O(entries * len) through the
// many-record scan (scan.hpp) and may unwind with Cancelled. All functions are
// free of shared state and safe to call from any number of threads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessarin {

using Hypervector = std::vector<float>;
using HvView = std::span<const float>;

// a[i] * b[i] over the common prefix.
Hypervector hdc_bind(HvView a, HvView b);
// key[i] * compound[i] over the common prefix. The product commutes except in
// which of two NaNs it keeps: here the key's, where hdc_bind(compound, key)
// would keep the compound's.
Hypervector hdc_unbind(HvView compound, HvView key);
// sign(a[i] + b[i]) as +1, -1 or +0 (zero, negative zero and NaN sums).
Hypervector hdc_bundle(HvView a, HvView b);
// Right rotation: element i moves to (i + k) mod len, k = n mod len taken
// non-negative. The remainder is computed in 64 bits so that any length works.
Hypervector hdc_permute(HvView v, std::int64_t n);
// Rotates right by k in place, k not reduced: k must not exceed the length
// (fault "assertion failed: k <= self.len()").
void rotate_right(std::span<float> v, std::uint64_t k);

// Sequential sum of a[i] * b[i] over the common prefix, starting at +0.0f.
float dot(HvView a, HvView b);
// ((dot / len(a)) + 1) * 0.5: the divisor is the first argument's full length,
// so the measure is not symmetric when the lengths differ.
float resonance(HvView a, HvView b);
// A normalised score d in [-1, 1] as a similarity in [0, 1]: (d + 1) * 0.5.
inline float resonance_of(float normalised) { return (normalised + 1.0f) * 0.5f; }
// Divides by the largest magnitude (at least 1e-9f); NaN never raises it.
Hypervector normalise_bipolar(HvView v);

// The index and score of the codebook entry with the highest resonance(v, entry).
// The best starts at score -2.0 and index 0 and is replaced only by a strictly
// greater score, so ties go to the earliest entry and NaN never wins (an empty
// codebook gives {0, -2.0}). Allocates one float per entry.
struct Match {
    std::uint64_t index = 0;
    float score = -2.0f;
};
Match codebook_cleanup(HvView v, std::span<const Hypervector> codebook);

}  // namespace tessarin
