// Ordered dot product with an explicit start value.
//
// `dot` starts its running sum at +0.0f. Some scores start at -0.0f instead;
// the two differ only in the sign of a zero result (a sum of nothing, or of
// negative-zero products only), and that sign decides whether dividing by the
// length gives +0.0f or -0.0f. Both keep the strict index order.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/algebra.hpp"

namespace tessarin {

// start + a[0]*b[0] + a[1]*b[1] + ... over the common prefix, each product and
// each sum rounded to 32 bits in index order.
inline float dot_from(float start, HvView a, HvView b) {
    const std::size_t m = std::min(a.size(), b.size());
    float acc = start;
    for (std::size_t i = 0; i < m; ++i) acc = acc + a[i] * b[i];
    return acc;
}

}  // namespace tessarin
