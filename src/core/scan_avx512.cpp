// Group kernels for AVX-512: one 512-bit register holds a block's 16 sums.
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
inline __m512 mul_in_order(__m512 a, __m512 b) {
    __m512 r;
    __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
    return r;
}

inline __m512 add_in_order(__m512 acc, __m512 p) {
    __asm__("vaddps %1, %0, %0" : "+v"(acc) : "v"(p));
    return acc;
}

// acc + p in the lanes of `live`; the other lanes keep acc untouched.
inline __m512 add_in_order_masked(__m512 acc, __mmask16 live, __m512 p) {
    __asm__("vaddps %2, %0, %0%{%1%}" : "+v"(acc) : "Yk"(live), "v"(p));
    return acc;
}

// `minus` in the lanes of `k`, `plus` in the others. Spelled out because the
// compiler otherwise turns a pick between broadcasts into a copy and a masked
// load, one more instruction per block and component.
inline __m512 pick(__mmask16 k, __m512 plus, __m512 minus) {
    __m512 r;
    __asm__("vblendmps %3, %2, %0%{%1%}" : "=v"(r) : "Yk"(k), "v"(plus), "v"(minus));
    return r;
}

template <bool RecordFirst>
inline __m512 product(__m512 q, __m512 r) {
    if constexpr (RecordFirst) {
        return mul_in_order(r, q);
    } else {
        return mul_in_order(q, r);
    }
}

// Float blocks: query component j times component j of a block, as 16 lanes.
template <bool RecordFirst>
inline __m512 float_term(__m512 q, const void* rows, u64 j) {
    return product<RecordFirst>(q, _mm512_loadu_ps(static_cast<const float*>(rows) + j * kLanes));
}

template <std::size_t G, bool RecordFirst>
void lockstep_floats(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
    __m512 acc[G];
    const void* rows[G];
#pragma GCC unroll 8
    for (std::size_t b = 0; b < G; ++b) {
        acc[b] = _mm512_load_ps(g.sums[first + b]);
        rows[b] = g.rows[first + b];
    }
    for (u64 j = j0; j < j1; ++j) {
        const __m512 qj = _mm512_set1_ps(q[j]);
#pragma GCC unroll 8
        for (std::size_t b = 0; b < G; ++b) acc[b] = add_in_order(acc[b], float_term<RecordFirst>(qj, rows[b], j));
    }
#pragma GCC unroll 8
    for (std::size_t b = 0; b < G; ++b) _mm512_store_ps(g.sums[first + b], acc[b]);
}

template <bool RecordFirst>
void masked_floats(const float* q, BlockGroup& g, std::size_t b, __mmask16 live, u64 j0, u64 j1) {
    __m512 acc = _mm512_load_ps(g.sums[b]);
    for (u64 j = j0; j < j1; ++j) {
        acc = add_in_order_masked(acc, live, float_term<RecordFirst>(_mm512_set1_ps(q[j]), g.rows[b], j));
    }
    _mm512_store_ps(g.sums[b], acc);
}

// Sign-bit blocks. A sign-bit lane holds +1.0f or -1.0f, so its product is
// one of just two values: both are computed once per component, with the same
// instruction and operands a lane's own multiply would use, and each lane's
// sign bit picks one. The 16 lanes' bits for 32 components at a time are
// gathered into one register (lane k's half of its 64-bit word), and a test
// against component j's bit gives the pick's mask.
struct Picks {
    __m512 times_plus;
    __m512 times_minus;
    __m512i bit;

    template <bool RecordFirst>
    static Picks at(float q, u64 j) {
        return {product<RecordFirst>(_mm512_set1_ps(q), _mm512_set1_ps(1.0f)),
                product<RecordFirst>(_mm512_set1_ps(q), _mm512_set1_ps(-1.0f)),
                _mm512_set1_epi32(static_cast<int>(1U << (j % 32)))};
    }
    __m512 pick(__m512i lane_bits) const {
        return _mm512_mask_blend_ps(_mm512_test_epi32_mask(lane_bits, bit), times_plus, times_minus);
    }
};

// Lane k's bits for components 32s .. 32s+31 (relative to the range's first
// word), as dword k.
inline __m512i lane_bits(const void* rows, u64 s) {
    const auto* words = static_cast<const u64*>(rows) + (s / 2) * kLanes;
    const __m512i half = _mm512_set1_epi32(static_cast<int>(s % 2));
    const __m512i index = _mm512_add_epi32(_mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30), half);
    return _mm512_permutex2var_epi32(_mm512_loadu_si512(words), index, _mm512_loadu_si512(words + 8));
}

// The two products of query components 32s .. 32s+31 (relative to the
// range), computed 16 components per multiply: each lane multiplies its own
// component by +1.0f or -1.0f with the operands in the order a one-lane
// multiply would use, so each product has that multiply's bits.
struct SegmentPicks {
    alignas(64) float times_plus[32];
    alignas(64) float times_minus[32];

    template <bool RecordFirst>
    void fill(const float* q, u64 j, u64 stop) {
        const u64 first = j - j % 32;
        const auto live = [&](u64 from) -> __mmask16 {
            std::uint32_t m = 0;
            for (u64 i = 0; i < 16; ++i) m |= static_cast<std::uint32_t>(from + i >= j && from + i < stop) << i;
            return static_cast<__mmask16>(m);
        };
        for (u64 h = 0; h < 2; ++h) {
            const __m512 qs = _mm512_maskz_loadu_ps(live(first + 16 * h), q + first + 16 * h);
            _mm512_store_ps(times_plus + 16 * h, product<RecordFirst>(qs, _mm512_set1_ps(1.0f)));
            _mm512_store_ps(times_minus + 16 * h, product<RecordFirst>(qs, _mm512_set1_ps(-1.0f)));
        }
    }
};

// Component j's bit within a lane's 32 bits of a segment.
alignas(64) constexpr std::uint32_t kBit[32] = {
    1U << 0,  1U << 1,  1U << 2,  1U << 3,  1U << 4,  1U << 5,  1U << 6,  1U << 7,  1U << 8,  1U << 9,  1U << 10,
    1U << 11, 1U << 12, 1U << 13, 1U << 14, 1U << 15, 1U << 16, 1U << 17, 1U << 18, 1U << 19, 1U << 20, 1U << 21,
    1U << 22, 1U << 23, 1U << 24, 1U << 25, 1U << 26, 1U << 27, 1U << 28, 1U << 29, 1U << 30, 1U << 31};

// Per block and component: a test for the mask, a pick and the add; the
// products and the bit to test come from memory once per component for all
// the group's blocks.
template <std::size_t G, bool RecordFirst>
void lockstep_signs(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
    __m512 acc[G];
    const void* rows[G];
    __m512i bits[G];
    SegmentPicks picks;
#pragma GCC unroll 8
    for (std::size_t b = 0; b < G; ++b) {
        acc[b] = _mm512_load_ps(g.sums[first + b]);
        rows[b] = g.rows[first + b];
    }
    for (u64 j = j0; j < j1;) {
        const u64 s = j / 32;
        const u64 stop = j1 < (s + 1) * 32 ? j1 : (s + 1) * 32;
        picks.fill<RecordFirst>(q, j, stop);
#pragma GCC unroll 8
        for (std::size_t b = 0; b < G; ++b) bits[b] = lane_bits(rows[b], s);
        for (; j < stop; ++j) {
            const __m512 plus = _mm512_set1_ps(picks.times_plus[j % 32]);
            const __m512 minus = _mm512_set1_ps(picks.times_minus[j % 32]);
            const __m512i bit = _mm512_set1_epi32(static_cast<int>(kBit[j % 32]));
#pragma GCC unroll 8
            for (std::size_t b = 0; b < G; ++b) {
                acc[b] = add_in_order(acc[b], pick(_mm512_test_epi32_mask(bits[b], bit), plus, minus));
            }
        }
    }
#pragma GCC unroll 8
    for (std::size_t b = 0; b < G; ++b) _mm512_store_ps(g.sums[first + b], acc[b]);
}

template <bool RecordFirst>
void masked_signs(const float* q, BlockGroup& g, std::size_t b, __mmask16 live, u64 j0, u64 j1) {
    __m512 acc = _mm512_load_ps(g.sums[b]);
    for (u64 j = j0; j < j1;) {
        const u64 s = j / 32;
        const u64 stop = j1 < (s + 1) * 32 ? j1 : (s + 1) * 32;
        const __m512i bits = lane_bits(g.rows[b], s);
        for (; j < stop; ++j) acc = add_in_order_masked(acc, live, Picks::at<RecordFirst>(q[j], j).pick(bits));
    }
    _mm512_store_ps(g.sums[b], acc);
}

template <std::size_t G, bool Packed, bool RecordFirst>
void lockstep(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
    if constexpr (Packed) {
        lockstep_signs<G, RecordFirst>(q, g, first, j0, j1);
    } else {
        lockstep_floats<G, RecordFirst>(q, g, first, j0, j1);
    }
}

template <bool Packed, bool RecordFirst>
void lockstep_any(const float* q, BlockGroup& g, std::size_t first, std::size_t count, u64 j0, u64 j1) {
    switch (count) {
        case 1: return lockstep<1, Packed, RecordFirst>(q, g, first, j0, j1);
        case 2: return lockstep<2, Packed, RecordFirst>(q, g, first, j0, j1);
        case 3: return lockstep<3, Packed, RecordFirst>(q, g, first, j0, j1);
        case 4: return lockstep<4, Packed, RecordFirst>(q, g, first, j0, j1);
        case 5: return lockstep<5, Packed, RecordFirst>(q, g, first, j0, j1);
        case 6: return lockstep<6, Packed, RecordFirst>(q, g, first, j0, j1);
        case 7: return lockstep<7, Packed, RecordFirst>(q, g, first, j0, j1);
        default: return lockstep<8, Packed, RecordFirst>(q, g, first, j0, j1);
    }
}

template <bool Packed, bool RecordFirst>
void masked(const float* q, BlockGroup& g, std::size_t b, __mmask16 live, u64 j0, u64 j1) {
    if constexpr (Packed) {
        masked_signs<RecordFirst>(q, g, b, live, j0, j1);
    } else {
        masked_floats<RecordFirst>(q, g, b, live, j0, j1);
    }
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
    const auto lanes = static_cast<__mmask16>(live);
    if (record_first) {
        masked<Packed, true>(q, g, b, lanes, j0, j1);
    } else {
        masked<Packed, false>(q, g, b, lanes, j0, j1);
    }
}

}  // namespace

TargetKernels avx512_scan_kernels() {
    return {{lockstep_entry<true>, masked_entry<true>},
            {lockstep_entry<false>, masked_entry<false>},
            interleave_rows_avx2,
            count_block_popcnt,
            nullptr};
}

}  // namespace tessarin::scan_detail
