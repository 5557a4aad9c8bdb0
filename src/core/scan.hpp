// Scoring many stored records against one query.
//
// Every score here is one ordered dot product: start + q[0]*r[0] + q[1]*r[1]
// + ... over the common prefix of query and record, each product and each sum
// rounded to 32 bits in index order. A scan runs many such sums at once (the
// records are the lanes; each lane keeps its own order and start value), so
// every score is bit-identical to the one-record loop while a pass over the
// query feeds many records. Scans run on the widest SIMD target this
// processor has (simd_target.hpp); every target computes the same bits.
//
// The order of the two factors of each product is kept as the caller states
// it: the product commutes, except that of two NaNs the processor keeps the
// first one's payload.
//
// Costs: a scan is O(records * components) with one ordered add per record and
// component, but 128 records (8 blocks of 16 lanes) advance per pass over the
// query, so its throughput is that of the vector adders rather than of one
// add's latency (bench/bench_scan.cpp measures it against the one-record loop
// and against the adders' floor). Rows in a RowStore are read in place (a
// bipolar row as 1 bit per component); an exactly bipolar query against those
// is scored by counting differing bits, which keeps up with one core reading
// the bits from memory. Rows held as separate vectors are, on
// the AVX2 and AVX-512 targets, first copied lane-major into a scratch of at
// most 512 KiB per call. Scans poll the
// cancellation hook between ranges and may unwind with Cancelled, leaving `out`
// partly written. Nothing here keeps state between calls: scans of one store
// may run on any number of threads at once, provided nothing changes the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "core/algebra.hpp"
#include "core/row_store.hpp"

namespace tessarin {

// a * b and acc + x with the left operand as the instruction's first source.
// Of two NaNs the processor returns the first source's payload, but the
// compiler treats both operations as commutative and does swap them (it
// turns q * r into r * q and acc + p into p + acc when that saves a move), so
// on x86-64 and aarch64 the instruction is spelled out. Every ordered sum of
// the scans uses these, and so must any loop that claims to reproduce them.
inline float mul_in_order(float a, float b) {
#if defined(__x86_64__) && defined(__GNUC__)
    __asm__("mulss %1, %0" : "+x"(a) : "xm"(b));
    return a;
#elif defined(__aarch64__) && defined(__GNUC__)
    float r;
    __asm__("fmul %s0, %s1, %s2" : "=w"(r) : "w"(a), "w"(b));
    return r;
#else
    return a * b;
#endif
}

inline float add_in_order(float acc, float x) {
#if defined(__x86_64__) && defined(__GNUC__)
    __asm__("addss %1, %0" : "+x"(acc) : "xm"(x));
    return acc;
#elif defined(__aarch64__) && defined(__GNUC__)
    float r;
    __asm__("fadd %s0, %s1, %s2" : "=w"(r) : "w"(acc), "w"(x));
    return r;
#else
    return acc + x;
#endif
}

#if defined(__x86_64__) && defined(__GNUC__)
// Four lanes of mul_in_order and add_in_order at once. Register operands
// only: legacy SSE would fault on an unaligned memory one.
inline __m128 mul_lanes_in_order(__m128 a, __m128 b) {
    __asm__("mulps %1, %0" : "+x"(a) : "x"(b));
    return a;
}
inline __m128 add_lanes_in_order(__m128 a, __m128 b) {
    __asm__("addps %1, %0" : "+x"(a) : "x"(b));
    return a;
}
#endif

// Element-wise forms over the first out.size() components (a and b must hold
// at least that many): out[i] = a[i] * b[i], a[i] + b[i], or x[i] * w + out[i],
// each with the left operand as the instruction's first source, so that of
// two NaNs the left one's payload survives whatever the compiler prefers. out
// may be the same memory as an operand. On x86-64 four lanes at a time, as the
// compiler's own vectorisation of the plain loop would do; elsewhere the
// scalar helpers above.
void multiply_each_in_order(HvView a, HvView b, std::span<float> out);
void add_each_in_order(HvView a, HvView b, std::span<float> out);
void scale_add_each_in_order(HvView x, float w, std::span<float> out);

enum class Factors {
    query_first,   // q[i] * r[i]
    record_first,  // r[i] * q[i]
};

// One record: start + q[0]*r[0] + ... over the common prefix. O(components),
// no allocation, no poll.
float ordered_dot(float start, HvView query, HvView record, Factors order = Factors::query_first);

// Stored record k alone, as ordered_dots would score it (for the few
// candidates an index lookup names). k must be below rows.size(): it is not
// checked. O(components), no allocation, no poll.
float ordered_dot(float start, HvView query, const RowStore& rows, std::size_t k,
                  Factors order = Factors::query_first);

// The same, divided by `length` (usually the query's own length, as a float).
float ordered_dot_over(float start, HvView query, HvView record, float length,
                       Factors order = Factors::query_first);

// out[k] = ordered_dot(start, query, row k of `rows`) for every stored row.
// An `out` shorter than rows.size() is a Fault; elements past it are left
// alone.
void ordered_dots(float start, HvView query, const RowStore& rows, std::span<float> out,
                  Factors order = Factors::query_first);

// Several queries in one pass over the rows: out[i * rows.size() + k] =
// ordered_dot(start, queries[i], row k), each score bit-identical to
// ordered_dots with that query alone. The sign-bit rows are read once for
// all the exactly bipolar queries (up to 2^24 components) together; every
// other query, and the float rows, are scanned per query. An `out` shorter
// than queries.size() * rows.size() is a Fault.
void ordered_dots_many(float start, std::span<const HvView> queries, const RowStore& rows, std::span<float> out,
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
// Stored row k alone, as resonances() scores it (k below rows.size(), not
// checked). O(components), no allocation, no poll.
float resonance(HvView v, const RowStore& rows, std::size_t k);
// Several queries in one pass over the rows (ordered_dots_many): out[i *
// rows.size() + k] = resonance(queries[i], row k), each bit-identical to
// resonances() with that query alone. A short `out` is a Fault.
void resonances_many(std::span<const HvView> queries, const RowStore& rows, std::span<float> out);
// The same table a part at a time: `take(first, count)` is called with
// `part` holding part[i * count + j] = resonance(queries[i], row first + j),
// parts in record order and together covering every row. A part is at most
// `part_rows` rows (rounded down to whole blocks) where the store holds only
// sign bits and every query is exactly bipolar: one pass over the rows for
// all queries, each part small enough to be read back from the cache;
// otherwise the whole table is one part. Scores are those of resonances_many.
void resonances_many_in_parts(std::span<const HvView> queries, const RowStore& rows, std::size_t part_rows,
                              std::vector<float>& part, const std::function<void(std::uint64_t, std::uint64_t)>& take);

}  // namespace tessarin
