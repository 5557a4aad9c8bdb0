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

}  // namespace

TargetKernels avx512pop_scan_kernels() {
    TargetKernels k = avx512_scan_kernels();
    k.count = count_block;
    return k;
}

}  // namespace tessarin::scan_detail
