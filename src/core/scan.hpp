// Scoring many stored records against one query.
//
// Every score here is one ordered dot product: start + q[0]*r[0] + q[1]*r[1]
// + ... over the common prefix of query and record, each product and each sum
// rounded to 32 bits in index order. A scan runs many such sums at once (the
// records are the lanes; each lane keeps its own order and start value), so
// every score is bit-identical to the one-record loop while a pass over the
// query feeds many records.
//
// The order of the two factors of each product is kept as the caller states
// it: the product commutes, except that of two NaNs the processor keeps the
// first one's payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/algebra.hpp"
#include "core/row_store.hpp"

namespace tessarin {

enum class Factors {
    query_first,   // q[i] * r[i]
    record_first,  // r[i] * q[i]
};

// One record: start + q[0]*r[0] + ... over the common prefix.
float ordered_dot(float start, HvView query, HvView record, Factors order = Factors::query_first);

// Stored record k alone, as ordered_dots would score it (for the few
// candidates an index lookup names).
float ordered_dot(float start, HvView query, const RowStore& rows, std::size_t k,
                  Factors order = Factors::query_first);

// The same, divided by `length` (usually the query's own length, as a float).
float ordered_dot_over(float start, HvView query, HvView record, float length,
                       Factors order = Factors::query_first);

// out[k] = ordered_dot(start, query, row k of `rows`) for every stored row;
// out must have rows.size() elements.
void ordered_dots(float start, HvView query, const RowStore& rows, std::span<float> out,
                  Factors order = Factors::query_first);

// The same over rows held as separate vectors (for records a call brings
// along rather than ones kept in a store).
void ordered_dots(float start, HvView query, std::span<const Hypervector> rows, std::span<float> out,
                  Factors order = Factors::query_first);

// out[k] = ordered_dot(...) / length: the one "ordered dot product divided by
// a length" every engine's normalised score is built on.
void ordered_dots_over(float start, HvView query, const RowStore& rows, float length, std::span<float> out,
                       Factors order = Factors::query_first);
void ordered_dots_over(float start, HvView query, std::span<const Hypervector> rows, float length,
                       std::span<float> out, Factors order = Factors::query_first);

// out[k] = resonance(v, row k): the ordered dot from +0.0f over v's length,
// mapped to [0, 1].
void resonances(HvView v, const RowStore& rows, std::span<float> out);
void resonances(HvView v, std::span<const Hypervector> rows, std::span<float> out);

}  // namespace tessarin
