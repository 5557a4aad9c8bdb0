// Sparse Hebbian update W' = W + lr * (pre x post) over a row-major dim x dim
// matrix kept as a flat list: only the main diagonal and the anti-diagonals
// whose row and column add up to a multiple of 7 are touched.
#pragma once

#include <cstdint>

#include "core/algebra.hpp"

namespace tessarin {

// Returns the updated copy of `weights` (same length). Pattern elements whose
// flat index i * dim + j lies beyond the list, or cannot be represented in
// 64 bits at all, are skipped.
//
// Cost: the copy is O(len(weights)), the update touches about one cell in
// seven of rows * cols (rows = min(len(pre), dim), cols = min(len(post), dim)).
// Allocates the result only; polls while copying and updating (Cancelled), and
// since the input is never written a cancelled call changes nothing.
Hypervector hebbian(HvView weights, HvView pre, HvView post, float lr, std::uint64_t dim);

}  // namespace tessarin
