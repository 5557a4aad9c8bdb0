#include "core/batch.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "core/cancel.hpp"
#include "core/chacha.hpp"
#include "core/fault.hpp"
#include "core/generators.hpp"
#include "core/scan.hpp"

namespace tessarin {

namespace {

constexpr std::uint64_t kBitsPerDraw = 64;

std::uint64_t draws_per_row(std::uint64_t dim) { return dim / kBitsPerDraw + (dim % kBitsPerDraw != 0); }

// acc[j] = acc[j] + row[j] for every j, the running sum always the first
// operand (of two NaNs it keeps its own payload, as add_in_order does). The
// sums are independent, so four advance per instruction; the instruction is
// spelled out because the compiler would otherwise swap the operands.
void add_row_in_order(float* acc, const float* row, std::size_t n) {
    std::size_t j = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    for (; j + 4 <= n; j += 4) {
        __m128 a = _mm_loadu_ps(acc + j);
        const __m128 b = _mm_loadu_ps(row + j);
        __asm__("addps %1, %0" : "+x"(a) : "x"(b));
        _mm_storeu_ps(acc + j, a);
    }
#endif
    for (; j < n; ++j) acc[j] = add_in_order(acc[j], row[j]);
}

// The search order, for a store's own best k and for merges of best lists
// alike: `a` ranks above `b` when its score is greater, or equal with a
// smaller index (the column of a store's row, or the index a merge is given);
// a NaN ranks below every number, NaNs among themselves by index.
struct Ranked {
    float score;
    std::int64_t index;
};

bool ranks_above(const Ranked& a, const Ranked& b) {
    const bool a_nan = a.score != a.score;
    const bool b_nan = b.score != b.score;
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return a.index < b.index;
}

}  // namespace

namespace {

std::size_t checked_elements(std::uint64_t count, std::uint64_t dim, std::size_t element_size) {
    const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / element_size;
    if (dim != 0 && count > limit / dim) throw std::bad_alloc();
    return static_cast<std::size_t>(count * dim);
}

// A table made row by row: fill(i, row) writes row i. The memory is reserved
// whole but touched only as rows are filled, so a huge table that is
// cancelled has not first spent its time zero-filling all of it.
template <class Fill>
FloatTable table_by_rows(std::uint64_t count, std::uint64_t dim, CancelPoll& poll, Fill&& fill) {
    FloatTable out;
    out.values.reserve(checked_elements(count, dim, sizeof(float)));
    out.count = count;
    out.dim = dim;
    for (std::uint64_t i = 0; i < count; ++i) {
        // A very long row is made room for in blocks, each a poll.
        for_each_block(poll, dim, 1, [&](std::uint64_t, std::uint64_t last) {
            out.values.resize(static_cast<std::size_t>(i * dim + last));
        });
        fill(i, out.row(i));
    }
    return out;
}

}  // namespace

template <class T>
Table<T> zeroed_table(std::uint64_t count, std::uint64_t dim) {
    Table<T> out;
    out.values.resize(checked_elements(count, dim, sizeof(T)));
    out.count = count;
    out.dim = dim;
    return out;
}
template Table<float> zeroed_table<float>(std::uint64_t, std::uint64_t);
template Table<std::int64_t> zeroed_table<std::int64_t>(std::uint64_t, std::uint64_t);

FloatTable string_rows(std::span<const std::string> texts, std::uint64_t dim) {
    CancelPoll poll;
    return table_by_rows(texts.size(), dim, poll,
                         [&](std::uint64_t i, std::span<float> row) { string_hypervector_fill(texts[i], row, poll); });
}

FloatTable random_bipolar_rows(std::uint64_t count, std::uint64_t dim, std::uint64_t seed, std::uint64_t first) {
    const std::uint64_t per_row = draws_per_row(dim);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (count > kMax - first || (per_row != 0 && first + count > kMax / per_row)) {
        throw InputError("rows " + std::to_string(first) + " to " + std::to_string(first) + " + " +
                         std::to_string(count) + " lie beyond the generator's draws at dim " + std::to_string(dim));
    }
    const ChaChaKey key = expand_seed(seed);
    constexpr std::uint32_t kOne = 0x3F800000U;  // bit pattern of 1.0f
    CancelPoll poll;
    return table_by_rows(count, dim, poll, [&](std::uint64_t i, std::span<float> row) {
        const std::uint64_t base = (first + i) * per_row;
        for_each_chacha12_draw(key, base, base + per_row, [&](std::uint64_t index, std::uint64_t draw) {
            const std::uint64_t from = (index - base) * kBitsPerDraw;
            const std::uint64_t n = std::min(kBitsPerDraw, dim - from);
            for (std::uint64_t b = 0; b < n; ++b) {
                row[from + b] = std::bit_cast<float>(kOne | static_cast<std::uint32_t>((draw >> b) & 1U) << 31);
            }
            // Per draw, so that one very long row answers a stop too; a draw
            // costs about as much as eight components.
            poll.tick(kBitsPerDraw + 8);
        });
    });
}

Hypervector ordered_row_sum(const FloatTable& rows) {
    Hypervector sum = zeroed<float>(rows.dim);  // +0.0f, the sum's start
    CancelPoll poll;
    for (std::uint64_t i = 0; i < rows.count; ++i) {
        // In column blocks, so that very long rows answer a stop too.
        for_each_block(poll, rows.dim, 1, [&](std::uint64_t first, std::uint64_t last) {
            add_row_in_order(sum.data() + first, rows.row(i).data() + first, static_cast<std::size_t>(last - first));
        });
    }
    return sum;
}

void sign_in_place(std::span<float> sums) {
    for (float& s : sums) s = s > 0.0f ? 1.0f : (s < 0.0f ? -1.0f : 0.0f);
}

Hypervector bundle_rows(const FloatTable& rows) {
    Hypervector out = ordered_row_sum(rows);
    sign_in_place(out);
    return out;
}

namespace {

void require_same_dim(const FloatTable& queries, std::uint64_t dim) {
    if (queries.dim != dim) {
        throw InputError("queries have " + std::to_string(queries.dim) + " components but rows have " +
                         std::to_string(dim));
    }
}

}  // namespace

FloatTable resonance_table(const FloatTable& queries, const FloatTable& rows) {
    require_same_dim(queries, rows.dim);
    // Laid out as stored rows, so that bipolar rows are scored from their
    // bits as an item memory scores them.
    RowStore store;
    CancelPoll poll;
    for (std::uint64_t j = 0; j < rows.count; ++j) {
        store.push_back(rows.row(j));
        poll.tick(rows.dim);
    }
    return resonance_table(queries, store);
}

FloatTable resonance_table(const FloatTable& queries, const RowStore& rows) {
    // Each query is one scan of the store, polling on its own (a kernel
    // scoring several queries per pass over the rows would read them once
    // for all).
    FloatTable out = zeroed_table<float>(queries.count, rows.size());
    for (std::uint64_t i = 0; i < queries.count; ++i) resonances(queries.row(i), rows, out.row(i));
    return out;
}

namespace {

// The best min(k, n) of each row of `scores` (n columns), where candidate j
// of row i carries the index index_of(i, j): one heap loop, so that a
// store's own best k and a merge of several stores' best lists rank alike.
template <class IndexOf>
TopK best_k(const FloatTable& scores, std::uint64_t k, IndexOf index_of) {
    const std::uint64_t kept = std::min(k, scores.dim);
    TopK out{zeroed_table<float>(scores.count, kept), zeroed_table<std::int64_t>(scores.count, kept)};
    std::vector<Ranked> heap;
    heap.reserve(static_cast<std::size_t>(kept));
    CancelPoll poll;
    // A heap of the best `kept` so far, its worst on top: a candidate enters
    // only when it ranks above that worst.
    const auto worst_on_top = [](const Ranked& a, const Ranked& b) { return ranks_above(a, b); };
    for (std::uint64_t i = 0; i < scores.count; ++i) {
        heap.clear();
        const std::span<const float> row = scores.row(i);
        if (kept != 0) {
            for (std::size_t j = 0; j < row.size(); ++j) {
                const Ranked candidate{row[j], index_of(i, j)};
                if (heap.size() < kept) {
                    heap.push_back(candidate);
                    std::push_heap(heap.begin(), heap.end(), worst_on_top);
                } else if (ranks_above(candidate, heap.front())) {
                    std::pop_heap(heap.begin(), heap.end(), worst_on_top);
                    heap.back() = candidate;
                    std::push_heap(heap.begin(), heap.end(), worst_on_top);
                }
            }
        }
        std::sort_heap(heap.begin(), heap.end(), worst_on_top);
        const std::span<float> best_scores = out.scores.row(i);
        const std::span<std::int64_t> best_indices = out.indices.row(i);
        for (std::size_t r = 0; r < heap.size(); ++r) {
            best_scores[r] = heap[r].score;
            best_indices[r] = heap[r].index;
        }
        poll.tick(row.size() * 2);
    }
    return out;
}

}  // namespace

TopK top_k(const FloatTable& scores, std::uint64_t k) {
    return best_k(scores, k, [](std::uint64_t, std::size_t j) { return static_cast<std::int64_t>(j); });
}

TopK merge_top_k(const FloatTable& scores, const IndexTable& indices, std::uint64_t k) {
    if (indices.count != scores.count || indices.dim != scores.dim) {
        throw InputError("indices are " + std::to_string(indices.count) + " x " + std::to_string(indices.dim) +
                         " but scores are " + std::to_string(scores.count) + " x " + std::to_string(scores.dim));
    }
    return best_k(scores, k, [&](std::uint64_t i, std::size_t j) { return indices.row(i)[j]; });
}

}  // namespace tessarin
