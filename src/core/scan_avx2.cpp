// Group kernels for AVX2: a block's 16 sums are two 256-bit registers.
// Self-contained on purpose (intrinsics and local helpers only; see
// scan_kernels.hpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/scan_kernels.hpp"

namespace tessarin::scan_detail {
namespace {

using u64 = std::uint64_t;

// Of two NaNs, an x86 multiply or add returns the first source operand's.
// The compiler treats both operations as commutative and may swap the
// operands of an intrinsic, so the operand order that defines each result is
// fixed in the instruction itself.
inline __m256 mul_in_order(__m256 a, __m256 b) {
    __m256 r;
    __asm__("vmulps %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));
    return r;
}

inline __m256 add_in_order(__m256 acc, __m256 p) {
    __asm__("vaddps %1, %0, %0" : "+x"(acc) : "x"(p));
    return acc;
}

// Eight sign bits expanded to +-1.0f per lane: one aligned load from a table
// of all 256 patterns (8 KiB) costs less than building the pattern.
struct SignTable {
    alignas(32) float lanes[256][8];
};

constexpr SignTable make_sign_table() {
    SignTable t{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        for (unsigned k = 0; k < 8; ++k) t.lanes[bits][k] = ((bits >> k) & 1U) != 0 ? -1.0f : 1.0f;
    }
    return t;
}

constexpr SignTable kSignTable = make_sign_table();

struct Halves {
    __m256 lo;  // lanes 0-7
    __m256 hi;  // lanes 8-15
};

template <bool Packed>
inline Halves row_at(const void* rows, u64 j) {
    if constexpr (Packed) {
        const unsigned word = static_cast<const std::uint16_t*>(rows)[j];
        return {_mm256_load_ps(kSignTable.lanes[word & 0xFFU]), _mm256_load_ps(kSignTable.lanes[word >> 8])};
    } else {
        const float* p = static_cast<const float*>(rows) + j * kLanes;
        return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)};
    }
}

template <bool RecordFirst>
inline __m256 product(__m256 q, __m256 r) {
    if constexpr (RecordFirst) {
        return mul_in_order(r, q);
    } else {
        return mul_in_order(q, r);
    }
}

// Sixteen registers allow four blocks (eight sums) in flight.
template <std::size_t G, bool Packed, bool RecordFirst>
void lockstep(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
    __m256 lo[G];
    __m256 hi[G];
    const void* rows[G];
#pragma GCC unroll 4
    for (std::size_t b = 0; b < G; ++b) {
        lo[b] = _mm256_load_ps(g.sums[first + b]);
        hi[b] = _mm256_load_ps(g.sums[first + b] + 8);
        rows[b] = g.rows[first + b];
    }
    for (u64 j = j0; j < j1; ++j) {
        const __m256 qj = _mm256_set1_ps(q[j]);
#pragma GCC unroll 4
        for (std::size_t b = 0; b < G; ++b) {
            const Halves r = row_at<Packed>(rows[b], j);
            lo[b] = add_in_order(lo[b], product<RecordFirst>(qj, r.lo));
            hi[b] = add_in_order(hi[b], product<RecordFirst>(qj, r.hi));
        }
    }
#pragma GCC unroll 4
    for (std::size_t b = 0; b < G; ++b) {
        _mm256_store_ps(g.sums[first + b], lo[b]);
        _mm256_store_ps(g.sums[first + b] + 8, hi[b]);
    }
}

template <bool Packed, bool RecordFirst>
void lockstep_any(const float* q, BlockGroup& g, std::size_t first, std::size_t count, u64 j0, u64 j1) {
    constexpr std::size_t kInFlight = 4;
    for (std::size_t done = 0; done < count; done += kInFlight) {
        switch (count - done) {
            case 1: lockstep<1, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
            case 2: lockstep<2, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
            case 3: lockstep<3, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
            default: lockstep<4, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
        }
    }
}

// All-ones in the lanes among the eight of `bits` that are set.
inline __m256 lane_mask(unsigned bits) {
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i picked = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane_bit);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(picked, lane_bit));
}

// One block, only the lanes set in `live`, components [j0, j1). Every lane
// computes its sum; the lanes that have ended keep their old one.
template <bool Packed, bool RecordFirst>
void masked(const float* q, BlockGroup& g, std::size_t b, unsigned live, u64 j0, u64 j1) {
    const __m256 live_lo = lane_mask(live & 0xFFU);
    const __m256 live_hi = lane_mask(live >> 8);
    __m256 lo = _mm256_load_ps(g.sums[b]);
    __m256 hi = _mm256_load_ps(g.sums[b] + 8);
    for (u64 j = j0; j < j1; ++j) {
        const __m256 qj = _mm256_set1_ps(q[j]);
        const Halves r = row_at<Packed>(g.rows[b], j);
        lo = _mm256_blendv_ps(lo, add_in_order(lo, product<RecordFirst>(qj, r.lo)), live_lo);
        hi = _mm256_blendv_ps(hi, add_in_order(hi, product<RecordFirst>(qj, r.hi)), live_hi);
    }
    _mm256_store_ps(g.sums[b], lo);
    _mm256_store_ps(g.sums[b] + 8, hi);
}

template <bool Packed>
void lockstep_entry(const float* q, BlockGroup& g, std::size_t first, std::size_t count, u64 j0, u64 j1,
                    bool record_first) {
    if (record_first) {
        lockstep_any<Packed, true>(q, g, first, count, j0, j1);
    } else {
        lockstep_any<Packed, false>(q, g, first, count, j0, j1);
    }
}

template <bool Packed>
void masked_entry(const float* q, BlockGroup& g, std::size_t b, std::uint32_t live, u64 j0, u64 j1,
                  bool record_first) {
    if (record_first) {
        masked<Packed, true>(q, g, b, live, j0, j1);
    } else {
        masked<Packed, false>(q, g, b, live, j0, j1);
    }
}

}  // namespace

TargetKernels avx2_scan_kernels() {
    return {{lockstep_entry<true>, masked_entry<true>}, {lockstep_entry<false>, masked_entry<false>}};
}

}  // namespace tessarin::scan_detail
