#include "core/batch.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/cancel.hpp"
#include "core/chacha.hpp"
#include "core/fault.hpp"
#include "core/generators.hpp"
#include "core/scan.hpp"
#include "core/simd_target.hpp"

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
bool ranks_above(const Ranked& a, const Ranked& b) {
    const bool a_nan = a.score != a.score;
    const bool b_nan = b.score != b.score;
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return a.index < b.index;
}

// With k much smaller than the row, nearly every score falls below the full
// heap's worst; such scores are passed over a stretch at a time, compared
// side by side, and only a stretch that holds a possible entrant is ranked
// score by score.
constexpr std::size_t kStretch = 16;

// Whether the first kStretch scores all lie below `worst`'s score, so that
// none of them can enter a heap whose worst it is, whatever their indices
// (a NaN never ranks above a number; an equal score is left to ranks_above).
// False when fewer scores are left or the worst is itself a NaN.
bool stretch_below(std::span<const float> scores, const Ranked& worst) {
    if (scores.size() < kStretch || worst.score != worst.score) return false;
    int reaching = 0;
    for (std::size_t j = 0; j < kStretch; ++j) reaching += scores[j] >= worst.score ? 1 : 0;
    return reaching == 0;
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
    // Rows of no components have nothing to fill: the table is its shape
    // alone, however many rows it counts (a loop over them would never end).
    if (dim == 0) return out;
    for (std::uint64_t i = 0; i < count; ++i) {
        // A very long row is made room for in blocks, each a poll.
        for_each_block(poll, dim, 1, [&](std::uint64_t, std::uint64_t last) {
            out.values.resize(static_cast<std::size_t>(i * dim + last));
        });
        fill(i, out.row(i));
    }
    return out;
}

// Asks for huge pages under a large table before it is first touched: a
// scan's table of 16 queries by a million rows is 64 MB, and filling it in
// 4 KiB pages costs more page faults than the scan costs time. Only the 2 MiB
// pages that lie wholly inside the buffer are advised; where the system does
// not offer them the advice is ignored and nothing changes but speed.
constexpr std::size_t kHugePage = std::size_t{1} << 21;

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < 2 * kHugePage) return;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (address + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    const std::uintptr_t last = (address + bytes) & ~(std::uintptr_t{kHugePage} - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace

template <class T>
Table<T> zeroed_table(std::uint64_t count, std::uint64_t dim) {
    Table<T> out;
    const std::size_t elements = checked_elements(count, dim, sizeof(T));
    out.values.reserve(elements);
    advise_huge_pages(out.values.data(), elements * sizeof(T));
    CancelPoll poll;
    resize_in_blocks(poll, out.values, elements);
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

// Columns whose sums one pass over an item's keys keeps in registers: eight
// independent sums of four lanes, so both adders stay busy.
constexpr std::size_t kSumChunk = 32;
// Columns of every key and value kept hot while all items pass over them (64
// keys of 128 columns are 32 KiB), so that a large table is read from memory
// once rather than once per item.
constexpr std::size_t kColumnBlock = 128;

#if defined(__x86_64__) && defined(__GNUC__)
// out[j] for j in [from, from + 4 * Width): the ordered sums from +0.0f over
// k of key[k][j] * value[k][j], Width sums of four lanes in flight.
template <std::size_t Width>
void bound_sums_lanes(std::span<const float* const> key, std::span<const float* const> value, std::size_t from,
                      float* out) {
    __m128 acc[Width];
    for (__m128& a : acc) a = _mm_setzero_ps();  // +0.0f, the sums' start
    for (std::size_t k = 0; k < key.size(); ++k) {
#pragma GCC unroll 8
        for (std::size_t l = 0; l < Width; ++l) {
            const __m128 product =
                mul_lanes_in_order(_mm_loadu_ps(key[k] + from + 4 * l), _mm_loadu_ps(value[k] + from + 4 * l));
            acc[l] = add_lanes_in_order(acc[l], product);
        }
    }
    for (std::size_t l = 0; l < Width; ++l) _mm_storeu_ps(out + from + 4 * l, acc[l]);
}

// The same eight lanes at a time, for processors with AVX2: half the loads
// and instructions per column, the same bits (in the three-operand form the
// left operand is again the first source).
constexpr std::size_t kWideChunk = 64;

__attribute__((target("avx2"))) void bound_sums_wide(std::span<const float* const> key,
                                                     std::span<const float* const> value, std::size_t from,
                                                     float* out) {
    constexpr std::size_t kWidth = kWideChunk / 8;
    __m256 acc[kWidth];
    for (__m256& a : acc) a = _mm256_setzero_ps();  // +0.0f, the sums' start
    for (std::size_t k = 0; k < key.size(); ++k) {
#pragma GCC unroll 8
        for (std::size_t l = 0; l < kWidth; ++l) {
            const __m256 left = _mm256_loadu_ps(key[k] + from + 8 * l);
            const __m256 right = _mm256_loadu_ps(value[k] + from + 8 * l);
            __m256 product;
            __asm__("vmulps %2, %1, %0" : "=x"(product) : "x"(left), "x"(right));
            __asm__("vaddps %2, %1, %0" : "=x"(acc[l]) : "x"(acc[l]), "x"(product));
        }
    }
    for (std::size_t l = 0; l < kWidth; ++l) _mm256_storeu_ps(out + from + 8 * l, acc[l]);
}
#endif

// out[j] = +0.0f + key[0][j] * value[0][j] + key[1][j] * value[1][j] + ...
// for j in [0, n): each sum in k order, each product with the key on the left.
void bound_sums(std::span<const float* const> key, std::span<const float* const> value, std::size_t n, float* out) {
    std::size_t j = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (active_simd_target() != SimdTarget::scalar) {
        for (; j + kWideChunk <= n; j += kWideChunk) bound_sums_wide(key, value, j, out);
    }
    for (; j + kSumChunk <= n; j += kSumChunk) bound_sums_lanes<kSumChunk / 4>(key, value, j, out);
    for (; j + 4 <= n; j += 4) bound_sums_lanes<1>(key, value, j, out);
#endif
    for (; j < n; ++j) {
        float acc = 0.0f;
        for (std::size_t k = 0; k < key.size(); ++k) acc = add_in_order(acc, mul_in_order(key[k][j], value[k][j]));
        out[j] = acc;
    }
}

void require_bound_shapes(const FloatTable& keys, const FloatTable& values, const IndexTable& choices) {
    if (keys.dim != values.dim) {
        throw InputError("keys have " + std::to_string(keys.dim) + " components but values have " +
                         std::to_string(values.dim));
    }
    if (choices.dim != keys.count) {
        throw InputError("choices have " + std::to_string(choices.dim) + " columns but there are " +
                         std::to_string(keys.count) + " keys");
    }
    for (std::uint64_t i = 0; i < choices.count; ++i) {
        const std::span<const std::int64_t> row = choices.row(i);
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (row[k] < 0 || static_cast<std::uint64_t>(row[k]) >= values.count) {
                throw InputError("choices[" + std::to_string(i) + "][" + std::to_string(k) + "] is " +
                                 std::to_string(row[k]) + " but values has " + std::to_string(values.count) +
                                 " rows");
            }
        }
    }
}

}  // namespace

FloatTable bound_row_sums(const FloatTable& keys, const FloatTable& values, const IndexTable& choices, bool sign) {
    require_bound_shapes(keys, values, choices);
    FloatTable out = zeroed_table<float>(choices.count, keys.dim);
    const std::size_t dim = static_cast<std::size_t>(keys.dim);
    std::vector<const float*> key(static_cast<std::size_t>(keys.count));
    std::vector<const float*> value(key.size());
    CancelPoll poll;
    for (std::size_t first = 0; first < dim; first += kColumnBlock) {
        const std::size_t n = std::min(kColumnBlock, dim - first);
        for (std::size_t k = 0; k < key.size(); ++k) key[k] = keys.row(k).data() + first;
        for (std::uint64_t i = 0; i < choices.count; ++i) {
            const std::span<const std::int64_t> chosen = choices.row(i);
            for (std::size_t k = 0; k < value.size(); ++k) {
                value[k] = values.row(static_cast<std::uint64_t>(chosen[k])).data() + first;
            }
            const std::span<float> sums = out.row(i).subspan(first, n);
            bound_sums(key, value, n, sums.data());
            if (sign) sign_in_place(sums);
            poll.tick(n * (key.size() + 1));
        }
    }
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
    // All queries in one call, so that the bipolar ones share each pass over
    // the stored sign bits.
    FloatTable out = zeroed_table<float>(queries.count, rows.size());
    std::vector<HvView> views;
    views.reserve(static_cast<std::size_t>(queries.count));
    for (std::uint64_t i = 0; i < queries.count; ++i) views.push_back(queries.row(i));
    resonances_many(views, rows, out.values);
    return out;
}

namespace {

// A heap of the best `kept` candidates so far, its worst on top: a candidate
// enters only when it ranks above that worst.
bool worst_on_top(const Ranked& a, const Ranked& b) { return ranks_above(a, b); }

// Offers `row`'s scores to `heap`, candidate j carrying the index index_of(j):
// the one heap loop, so that a store's own best k, a merge of several stores'
// best lists and a best k gathered a part at a time rank alike.
template <class IndexOf>
void offer_scores(std::vector<Ranked>& heap, std::size_t kept, std::span<const float> row, IndexOf index_of) {
    if (kept == 0) return;
    for (std::size_t j = 0; j < row.size(); ++j) {
        if (heap.size() == kept && j % kStretch == 0 && stretch_below(row.subspan(j), heap.front())) {
            j += kStretch - 1;
            continue;
        }
        const Ranked candidate{row[j], index_of(j)};
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

// The heap's candidates, best first, as row i of `out`.
void take_best(std::vector<Ranked>& heap, TopK& out, std::uint64_t i) {
    std::sort_heap(heap.begin(), heap.end(), worst_on_top);
    const std::span<float> best_scores = out.scores.row(i);
    const std::span<std::int64_t> best_indices = out.indices.row(i);
    for (std::size_t r = 0; r < heap.size(); ++r) {
        best_scores[r] = heap[r].score;
        best_indices[r] = heap[r].index;
    }
}

// The best min(k, n) of each row of `scores` (n columns), where candidate j
// of row i carries the index index_of(i, j).
template <class IndexOf>
TopK best_k(const FloatTable& scores, std::uint64_t k, IndexOf index_of) {
    const std::uint64_t kept = std::min(k, scores.dim);
    TopK out{zeroed_table<float>(scores.count, kept), zeroed_table<std::int64_t>(scores.count, kept)};
    std::vector<Ranked> heap;
    heap.reserve(static_cast<std::size_t>(kept));
    CancelPoll poll;
    for (std::uint64_t i = 0; i < scores.count; ++i) {
        heap.clear();
        const std::span<const float> row = scores.row(i);
        offer_scores(heap, static_cast<std::size_t>(kept), row, [&](std::size_t j) { return index_of(i, j); });
        take_best(heap, out, i);
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

TopKParts::TopKParts(std::uint64_t count, std::uint64_t kept)
    : kept_(kept), heaps_(static_cast<std::size_t>(count)) {
    for (std::vector<Ranked>& heap : heaps_) heap.reserve(static_cast<std::size_t>(kept));
}

void TopKParts::offer(const FloatTable& part, std::uint64_t first) {
    for (std::uint64_t i = 0; i < part.count && i < heaps_.size(); ++i) {
        const std::span<const float> row = part.row(i);
        offer_scores(heaps_[static_cast<std::size_t>(i)], static_cast<std::size_t>(kept_), row,
                     [first](std::size_t j) { return static_cast<std::int64_t>(first + j); });
        poll_.tick(row.size() * 2);
    }
}

TopK TopKParts::best() {
    TopK out{zeroed_table<float>(heaps_.size(), kept_), zeroed_table<std::int64_t>(heaps_.size(), kept_)};
    for (std::size_t i = 0; i < heaps_.size(); ++i) take_best(heaps_[i], out, i);
    return out;
}

}  // namespace tessarin
