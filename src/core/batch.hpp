// Many rows at once: a table of equal-length rows, and the operations that
// make or read whole tables (codebooks, the bundle of many rows, every
// query's resonance with every row, the best k scores of each query).
//
// Every number here is the one the single-row functions give for that row:
// a codebook row is string_hypervector's vector, a resonance is resonance()'s
// score, and a bundle is the ordered sum that hdc_bundle takes of two rows,
// extended to any number of them. Tables are flat and row-major, so a binding
// can hand one out as a two-dimensional array without copying it.
//
// Costs: each operation is one pass over its input (the resonance table one
// pass over the rows for all its bipolar queries together, one per other
// query) and allocates its result only; the fills, sums and scans
// poll the cancellation hook (they may unwind with Cancelled). A table whose
// bytes could never be addressed is std::bad_alloc, like any other request for
// more memory than there is. Free of shared state: safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/algebra.hpp"
#include "core/cancel.hpp"
#include "core/row_store.hpp"

namespace tessarin {

// `count` rows of `dim` components each, row after row.
template <class T>
struct Table {
    std::vector<T> values;
    std::uint64_t count = 0;
    std::uint64_t dim = 0;

    std::span<const T> row(std::uint64_t i) const {
        return std::span<const T>(values).subspan(static_cast<std::size_t>(i * dim), static_cast<std::size_t>(dim));
    }
    std::span<T> row(std::uint64_t i) {
        return std::span<T>(values).subspan(static_cast<std::size_t>(i * dim), static_cast<std::size_t>(dim));
    }
};
using FloatTable = Table<float>;
using IndexTable = Table<std::int64_t>;

// A table of count x dim elements, zero-filled; std::bad_alloc when the
// product overflows or its bytes could never be addressed. May unwind with
// Cancelled while it fills.
template <class T>
Table<T> zeroed_table(std::uint64_t count, std::uint64_t dim);

// Row i is string_hypervector(texts[i], dim).
FloatTable string_rows(std::span<const std::string> texts, std::uint64_t dim);

// Rows first ... first + count - 1 of the bipolar codebook with `seed`: row r
// takes W = ceil(dim / 64) draws of the ChaCha12 generator keyed by
// expand_seed(seed) (core/chacha.hpp), draws r*W ... r*W + W - 1, and its
// component c is -1.0f when bit c mod 64 of draw r*W + c/64 is set, else
// +1.0f. A row depends only on (seed, r, dim), so a codebook made in pieces
// equals one made whole. Rows beyond the generator's 2^64 draws are
// InputError.
FloatTable random_bipolar_rows(std::uint64_t count, std::uint64_t dim, std::uint64_t seed, std::uint64_t first);

// Component j: +0.0f + rows[0][j] + rows[1][j] + ..., in row order.
Hypervector ordered_row_sum(const FloatTable& rows);

// Each sum as hdc_bundle signs it: +1.0f above zero, -1.0f below, +0.0f for
// a zero or NaN sum.
void sign_in_place(std::span<float> sums);

// The bundle of many rows: sign_in_place(ordered_row_sum(rows)), so that
// the bundle of two rows equals hdc_bundle of them.
Hypervector bundle_rows(const FloatTable& rows);

// The record encoding of many items at once: row i is the ordered sum, from
// +0.0f and in k order, of keys[k] * values[choices[i][k]] (each product with
// the key as its left operand), signed as bundle_rows signs it when `sign`.
// Bit for bit the bundle (or ordered_row_sum) of the rows
// hdc_bind(keys[k], values[choices[i][k]]). Keys and values must share one
// dim, choices must have one column per key and every choice must name a
// value row (InputError otherwise, before anything is computed).
FloatTable bound_row_sums(const FloatTable& keys, const FloatTable& values, const IndexTable& choices, bool sign);

// Entry (i, j) is resonance(queries[i], rows[j]). Queries and rows must share
// one dim (InputError otherwise). The rows are first laid out in a RowStore.
FloatTable resonance_table(const FloatTable& queries, const FloatTable& rows);
// The same against stored rows, each of length queries.dim.
FloatTable resonance_table(const FloatTable& queries, const RowStore& rows);

// The best min(k, n) of each row of `scores` (n columns): scores in
// descending order, equal scores by ascending column, NaN below every number
// and NaNs among themselves by ascending column.
struct TopK {
    FloatTable scores;
    IndexTable indices;
};
TopK top_k(const FloatTable& scores, std::uint64_t k);

// The best min(k, n) of candidates that carry their own indices: row i's
// candidate j has score scores[i][j] and index indices[i][j], ranked as
// top_k ranks columns. Stores that each hold some rows of a whole and give
// their best min(k, rows) with each row's index in the whole merge, laid side
// by side, into the whole's top_k exactly. Tables of different shapes are
// InputError.
TopK merge_top_k(const FloatTable& scores, const IndexTable& indices, std::uint64_t k);

// A candidate of a best-k list: its score and the index it is known by.
struct Ranked {
    float score;
    std::int64_t index;
};

// top_k of a table that arrives a part at a time: offer(part, first) gives
// row i's columns first ... first + part.dim - 1 (parts in column order, the
// same count of rows each time), and best() is then top_k of the whole table
// with `kept` = min(k, columns), bit for bit. Each row keeps its best kept
// between parts, so a part's scores can be ranked while they are still in
// the cache, and nothing past kept per row is held.
class TopKParts {
public:
    TopKParts(std::uint64_t count, std::uint64_t kept);
    void offer(const FloatTable& part, std::uint64_t first);
    // Leaves the parts behind: call once.
    TopK best();

private:
    std::uint64_t kept_;
    std::vector<std::vector<Ranked>> heaps_;
    CancelPoll poll_;
};

}  // namespace tessarin
