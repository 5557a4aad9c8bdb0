// Kernels for AVX-512 with the vector population count (VPOPCNTDQ): a
// bipolar query against sign-bit blocks counts the differing bits of eight
// lanes per instruction, so the count keeps up with the memory the words
// stream from. Everything else runs the AVX-512 target's kernels.
// Self-contained on purpose (intrinsics and local helpers only; see
// scan_kernels.hpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/scan_kernels.hpp"

namespace tessarin::scan_detail {
namespace {

using u64 = std::uint64_t;

struct Counts {
    __m512i lo = _mm512_setzero_si512();  // lanes 0-7
    __m512i hi = _mm512_setzero_si512();  // lanes 8-15

    void add(const u64* w, __m512i q) {
        lo = _mm512_add_epi64(lo, _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(w), q)));
        hi = _mm512_add_epi64(hi, _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(w + 8), q)));
    }
};

void count_block(const u64* words, const u64* query, u64 columns, u64 last, u64* counts) {
    // Two columns per step in separate sums, so that the adds of one do not
    // wait for the other's.
    Counts even;
    Counts odd;
    u64 c = 0;
    for (; c + 2 < columns; c += 2) {
        even.add(words + c * kLanes, _mm512_set1_epi64(static_cast<long long>(query[c])));
        odd.add(words + (c + 1) * kLanes, _mm512_set1_epi64(static_cast<long long>(query[c + 1])));
    }
    for (; c + 1 < columns; ++c) even.add(words + c * kLanes, _mm512_set1_epi64(static_cast<long long>(query[c])));
    // The last column counts only the bits below the query's end.
    const __m512i keep = _mm512_set1_epi64(static_cast<long long>(last));
    const __m512i q = _mm512_set1_epi64(static_cast<long long>(query[columns - 1]));
    const u64* w = words + (columns - 1) * kLanes;
    const __m512i lo = _mm512_popcnt_epi64(_mm512_and_si512(_mm512_xor_si512(_mm512_loadu_si512(w), q), keep));
    const __m512i hi = _mm512_popcnt_epi64(_mm512_and_si512(_mm512_xor_si512(_mm512_loadu_si512(w + 8), q), keep));
    _mm512_storeu_si512(counts, _mm512_add_epi64(_mm512_add_epi64(even.lo, odd.lo), lo));
    _mm512_storeu_si512(counts + 8, _mm512_add_epi64(_mm512_add_epi64(even.hi, odd.hi), hi));
}

// Up to kGroup queries per pass over a block's columns: two sums per query
// in registers, and each column loaded once for all of them.
constexpr std::size_t kGroup = 8;

template <std::size_t G>
void count_group(const u64* words, const u64* const* queries, u64 columns, u64 last, u64* counts) {
    __m512i lo[G];
    __m512i hi[G];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < G; ++i) lo[i] = hi[i] = _mm512_setzero_si512();
    for (u64 c = 0; c + 1 < columns; ++c) {
        const __m512i w_lo = _mm512_loadu_si512(words + c * kLanes);
        const __m512i w_hi = _mm512_loadu_si512(words + c * kLanes + 8);
#pragma GCC unroll 8
        for (std::size_t i = 0; i < G; ++i) {
            const __m512i q = _mm512_set1_epi64(static_cast<long long>(queries[i][c]));
            lo[i] = _mm512_add_epi64(lo[i], _mm512_popcnt_epi64(_mm512_xor_si512(w_lo, q)));
            hi[i] = _mm512_add_epi64(hi[i], _mm512_popcnt_epi64(_mm512_xor_si512(w_hi, q)));
        }
    }
    // The last column counts only the bits below the queries' end.
    const u64 c = columns - 1;
    const __m512i keep = _mm512_set1_epi64(static_cast<long long>(last));
    const __m512i w_lo = _mm512_and_si512(_mm512_loadu_si512(words + c * kLanes), keep);
    const __m512i w_hi = _mm512_and_si512(_mm512_loadu_si512(words + c * kLanes + 8), keep);
#pragma GCC unroll 8
    for (std::size_t i = 0; i < G; ++i) {
        const __m512i q = _mm512_set1_epi64(static_cast<long long>(queries[i][c] & last));
        lo[i] = _mm512_add_epi64(lo[i], _mm512_popcnt_epi64(_mm512_xor_si512(w_lo, q)));
        hi[i] = _mm512_add_epi64(hi[i], _mm512_popcnt_epi64(_mm512_xor_si512(w_hi, q)));
    }
#pragma GCC unroll 8
    for (std::size_t i = 0; i < G; ++i) {
        _mm512_storeu_si512(counts + i * kLanes, lo[i]);
        _mm512_storeu_si512(counts + i * kLanes + 8, hi[i]);
    }
}

void count_many(const u64* words, const u64* const* queries, std::size_t count, u64 columns, u64 last, u64* counts) {
    for (std::size_t first = 0; first < count; first += kGroup) {
        const u64* const* q = queries + first;
        u64* out = counts + first * kLanes;
        switch (count - first) {
            case 1: count_group<1>(words, q, columns, last, out); break;
            case 2: count_group<2>(words, q, columns, last, out); break;
            case 3: count_group<3>(words, q, columns, last, out); break;
            case 4: count_group<4>(words, q, columns, last, out); break;
            case 5: count_group<5>(words, q, columns, last, out); break;
            case 6: count_group<6>(words, q, columns, last, out); break;
            case 7: count_group<7>(words, q, columns, last, out); break;
            default: count_group<8>(words, q, columns, last, out); break;
        }
    }
}

}  // namespace

TargetKernels avx512pop_scan_kernels() {
    TargetKernels k = avx512_scan_kernels();
    k.count = count_block;
    k.count_many = count_many;
    return k;
}

}  // namespace tessarin::scan_detail
