#include "core/hebbian.hpp"

#include <algorithm>

#include "core/cancel.hpp"
#include "core/scan.hpp"

namespace tessarin {

Hypervector hebbian(HvView weights, HvView pre, HvView post, float lr, std::uint64_t dim) {
    constexpr std::uint64_t kStride = 7;
    // Copied in blocks, so that a huge matrix can be interrupted while it is copied.
    Hypervector w = filled_in_blocks<float>(weights.size(), 1, [&](Hypervector& out, std::size_t first, std::size_t last) {
        std::copy(weights.begin() + first, weights.begin() + last, out.begin() + first);
    });
    const std::uint64_t len = w.size();
    const std::uint64_t rows = std::min<std::uint64_t>(pre.size(), dim);
    const std::uint64_t cols = std::min<std::uint64_t>(post.size(), dim);
    // The result is a new list, so a call cancelled part way changes nothing.
    CancelPoll poll;

    for (std::uint64_t i = 0; i < rows; ++i) {
        // Row starts grow with i, so once one lies past the end (or past what
        // 64 bits can count) every later row does too.
        std::uint64_t row_start = 0;
        if (__builtin_mul_overflow(i, dim, &row_start) || row_start >= len) break;
        const std::uint64_t row_cols = std::min(cols, len - row_start);
        const float t = mul_in_order(pre[i], lr);
        auto update = [&](std::uint64_t j) {
            float& cell = w[static_cast<std::size_t>(row_start + j)];
            cell = add_in_order(mul_in_order(post[j], t), cell);
        };
        if (i < row_cols) update(i);
        // Columns with (i + j) % 7 == 0, skipping the diagonal element already updated.
        for (std::uint64_t j = (kStride - i % kStride) % kStride; j < row_cols; j += kStride) {
            if (j != i) update(j);
        }
        poll.tick(row_cols / kStride + 1);
    }
    return w;
}

}  // namespace tessarin
