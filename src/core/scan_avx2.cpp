// Group kernels for AVX2: a block's 16 sums are two 256-bit registers.
// Self-contained on purpose (intrinsics and local helpers only; see
// scan_kernels.hpp).
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

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

struct Halves {
    __m256 lo;  // lanes 0-7
    __m256 hi;  // lanes 8-15
};

inline Halves floats_at(const void* rows, u64 j) {
    const float* p = static_cast<const float*>(rows) + j * kLanes;
    return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)};
}

template <bool RecordFirst>
inline __m256 product(__m256 q, __m256 r) {
    if constexpr (RecordFirst) {
        return mul_in_order(r, q);
    } else {
        return mul_in_order(q, r);
    }
}

// All-ones in the lanes among the eight of `bits` that are set.
inline __m256 lane_mask(unsigned bits) {
    const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i picked = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane_bit);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(picked, lane_bit));
}

// Sign-bit blocks. A sign-bit lane holds +1.0f or -1.0f, so its product is
// one of just two values: both are computed once per component, with the same
// instruction and operands a lane's own multiply would use, and each lane's
// sign bit picks one. The lanes' bits for 32 components at a time are
// gathered into two registers (lane k's half of its 64-bit word as dword k),
// and shifting component j's bit into each dword's sign makes the pick's mask.
struct Picks {
    __m256 times_plus;
    __m256 times_minus;
    __m128i shift;

    template <bool RecordFirst>
    static Picks at(float q, u64 j) {
        return {product<RecordFirst>(_mm256_set1_ps(q), _mm256_set1_ps(1.0f)),
                product<RecordFirst>(_mm256_set1_ps(q), _mm256_set1_ps(-1.0f)),
                _mm_cvtsi32_si128(static_cast<int>(31 - j % 32))};
    }
    __m256 pick(__m256i lane_bits) const {
        return _mm256_blendv_ps(times_plus, times_minus, _mm256_castsi256_ps(_mm256_sll_epi32(lane_bits, shift)));
    }
};

struct LaneBits {
    __m256i lo;  // lanes 0-7
    __m256i hi;  // lanes 8-15
};

// Eight lanes' halves (`Odd`: the upper ones) of four 64-bit words each.
template <int Odd>
inline __m256i halves_of(const u64* words) {
    constexpr int kPick = Odd != 0 ? 0xDD : 0x88;
    const __m256 a = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words)));
    const __m256 b = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 4)));
    // Lanes 0, 1, 4, 5 | 2, 3, 6, 7, put back in order.
    return _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(a, b, kPick)), 0xD8);
}

// Lane k's bits for components 32s .. 32s+31 (relative to the range's first word).
inline LaneBits lane_bits(const void* rows, u64 s) {
    const u64* words = static_cast<const u64*>(rows) + (s / 2) * kLanes;
    if (s % 2 == 0) return {halves_of<0>(words), halves_of<0>(words + 8)};
    return {halves_of<1>(words), halves_of<1>(words + 8)};
}

// Sixteen registers allow four blocks (eight sums) in flight.
template <std::size_t G, bool RecordFirst>
void lockstep_floats(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
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
            const Halves r = floats_at(rows[b], j);
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

// Component J of a whole segment: the shift that moves its bit into each
// lane's sign is an immediate, one instruction that any vector port runs.
template <std::size_t G, bool RecordFirst, int J>
__attribute__((always_inline)) inline void segment_step(const float* q, __m256* lo, __m256* hi, const LaneBits* bits) {
    const __m256 qj = _mm256_set1_ps(q[J]);
    const __m256 plus = product<RecordFirst>(qj, _mm256_set1_ps(1.0f));
    const __m256 minus = product<RecordFirst>(qj, _mm256_set1_ps(-1.0f));
#pragma GCC unroll 4
    for (std::size_t b = 0; b < G; ++b) {
        lo[b] = add_in_order(lo[b], _mm256_blendv_ps(plus, minus, _mm256_castsi256_ps(_mm256_slli_epi32(bits[b].lo, 31 - J))));
        hi[b] = add_in_order(hi[b], _mm256_blendv_ps(plus, minus, _mm256_castsi256_ps(_mm256_slli_epi32(bits[b].hi, 31 - J))));
    }
}

template <std::size_t G, bool RecordFirst, int... J>
__attribute__((always_inline)) inline void whole_segment(const float* q, __m256* lo, __m256* hi, const LaneBits* bits,
                                                         std::integer_sequence<int, J...>) {
    (segment_step<G, RecordFirst, J>(q, lo, hi, bits), ...);
}

// Up to three blocks: their sums and lane bits and the two products take 15
// of the 16 registers.
template <std::size_t G, bool RecordFirst>
void lockstep_signs(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
    __m256 lo[G];
    __m256 hi[G];
    LaneBits bits[G];
#pragma GCC unroll 4
    for (std::size_t b = 0; b < G; ++b) {
        lo[b] = _mm256_load_ps(g.sums[first + b]);
        hi[b] = _mm256_load_ps(g.sums[first + b] + 8);
    }
    for (u64 j = j0; j < j1;) {
        const u64 s = j / 32;
        const u64 stop = j1 < (s + 1) * 32 ? j1 : (s + 1) * 32;
#pragma GCC unroll 4
        for (std::size_t b = 0; b < G; ++b) bits[b] = lane_bits(g.rows[first + b], s);
        if (j % 32 == 0 && stop == j + 32) {
            whole_segment<G, RecordFirst>(q + j, lo, hi, bits, std::make_integer_sequence<int, 32>{});
            j = stop;
            continue;
        }
        for (; j < stop; ++j) {
            const Picks p = Picks::at<RecordFirst>(q[j], j);
#pragma GCC unroll 4
            for (std::size_t b = 0; b < G; ++b) {
                lo[b] = add_in_order(lo[b], p.pick(bits[b].lo));
                hi[b] = add_in_order(hi[b], p.pick(bits[b].hi));
            }
        }
    }
#pragma GCC unroll 4
    for (std::size_t b = 0; b < G; ++b) {
        _mm256_store_ps(g.sums[first + b], lo[b]);
        _mm256_store_ps(g.sums[first + b] + 8, hi[b]);
    }
}

template <std::size_t G, bool Packed, bool RecordFirst>
void lockstep(const float* q, BlockGroup& g, std::size_t first, u64 j0, u64 j1) {
    if constexpr (Packed) {
        lockstep_signs<G, RecordFirst>(q, g, first, j0, j1);
    } else {
        lockstep_floats<G, RecordFirst>(q, g, first, j0, j1);
    }
}

// Float blocks: four in flight. Sign-bit blocks: three, whose sums, lane bits
// and the two products fill the sixteen registers without spilling.
template <bool Packed, bool RecordFirst>
void lockstep_any(const float* q, BlockGroup& g, std::size_t first, std::size_t count, u64 j0, u64 j1) {
    constexpr std::size_t kInFlight = Packed ? 3 : 4;
    for (std::size_t done = 0; done < count; done += kInFlight) {
        switch (count - done < kInFlight ? count - done : kInFlight) {
            case 1: lockstep<1, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
            case 2: lockstep<2, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
            case 3: lockstep<3, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
            default: lockstep<kInFlight, Packed, RecordFirst>(q, g, first + done, j0, j1); break;
        }
    }
}

// One block, only the lanes set in `live`, components [j0, j1). Every lane
// computes its sum; the lanes that have ended keep their old one.
template <bool Packed, bool RecordFirst>
void masked(const float* q, BlockGroup& g, std::size_t b, unsigned live, u64 j0, u64 j1) {
    const __m256 live_lo = lane_mask(live & 0xFFU);
    const __m256 live_hi = lane_mask(live >> 8);
    __m256 lo = _mm256_load_ps(g.sums[b]);
    __m256 hi = _mm256_load_ps(g.sums[b] + 8);
    for (u64 j = j0; j < j1;) {
        u64 stop = j1;
        LaneBits bits{};
        if constexpr (Packed) {
            const u64 s = j / 32;
            stop = j1 < (s + 1) * 32 ? j1 : (s + 1) * 32;
            bits = lane_bits(g.rows[b], s);
        }
        for (; j < stop; ++j) {
            __m256 r_lo;
            __m256 r_hi;
            if constexpr (Packed) {
                const Picks p = Picks::at<RecordFirst>(q[j], j);
                r_lo = p.pick(bits.lo);
                r_hi = p.pick(bits.hi);
            } else {
                const __m256 qj = _mm256_set1_ps(q[j]);
                const Halves r = floats_at(g.rows[b], j);
                r_lo = product<RecordFirst>(qj, r.lo);
                r_hi = product<RecordFirst>(qj, r.hi);
            }
            lo = _mm256_blendv_ps(lo, add_in_order(lo, r_lo), live_lo);
            hi = _mm256_blendv_ps(hi, add_in_order(hi, r_hi), live_hi);
        }
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

// Rows r[0..7], components j..j+7, transposed into out (lanes half*8 ..
// half*8+7 of eight consecutive components).
inline void transpose_tile(const float* const* r, u64 j, float* out) {
    const __m256 t0 = _mm256_unpacklo_ps(_mm256_loadu_ps(r[0] + j), _mm256_loadu_ps(r[1] + j));
    const __m256 t1 = _mm256_unpackhi_ps(_mm256_loadu_ps(r[0] + j), _mm256_loadu_ps(r[1] + j));
    const __m256 t2 = _mm256_unpacklo_ps(_mm256_loadu_ps(r[2] + j), _mm256_loadu_ps(r[3] + j));
    const __m256 t3 = _mm256_unpackhi_ps(_mm256_loadu_ps(r[2] + j), _mm256_loadu_ps(r[3] + j));
    const __m256 t4 = _mm256_unpacklo_ps(_mm256_loadu_ps(r[4] + j), _mm256_loadu_ps(r[5] + j));
    const __m256 t5 = _mm256_unpackhi_ps(_mm256_loadu_ps(r[4] + j), _mm256_loadu_ps(r[5] + j));
    const __m256 t6 = _mm256_unpacklo_ps(_mm256_loadu_ps(r[6] + j), _mm256_loadu_ps(r[7] + j));
    const __m256 t7 = _mm256_unpackhi_ps(_mm256_loadu_ps(r[6] + j), _mm256_loadu_ps(r[7] + j));
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    _mm256_storeu_ps(out + 0 * kLanes, _mm256_permute2f128_ps(u0, u4, 0x20));
    _mm256_storeu_ps(out + 1 * kLanes, _mm256_permute2f128_ps(u1, u5, 0x20));
    _mm256_storeu_ps(out + 2 * kLanes, _mm256_permute2f128_ps(u2, u6, 0x20));
    _mm256_storeu_ps(out + 3 * kLanes, _mm256_permute2f128_ps(u3, u7, 0x20));
    _mm256_storeu_ps(out + 4 * kLanes, _mm256_permute2f128_ps(u0, u4, 0x31));
    _mm256_storeu_ps(out + 5 * kLanes, _mm256_permute2f128_ps(u1, u5, 0x31));
    _mm256_storeu_ps(out + 6 * kLanes, _mm256_permute2f128_ps(u2, u6, 0x31));
    _mm256_storeu_ps(out + 7 * kLanes, _mm256_permute2f128_ps(u3, u7, 0x31));
}

}  // namespace

void interleave_rows_avx2(const float* const* rows, std::uint64_t from, std::uint64_t n, float* out) {
    u64 j = 0;
    for (; j + 8 <= n; j += 8) {
        transpose_tile(rows, from + j, out + j * kLanes);
        transpose_tile(rows + 8, from + j, out + j * kLanes + 8);
    }
    for (; j < n; ++j) {
        for (std::size_t k = 0; k < kLanes; ++k) out[j * kLanes + k] = rows[k][from + j];
    }
}

// Every processor with AVX2 also has the population-count instruction (the
// target is only chosen when both are present).
#pragma GCC push_options
#pragma GCC target("popcnt")
void count_block_popcnt(const std::uint64_t* words, const std::uint64_t* query, std::uint64_t columns,
                        std::uint64_t last, std::uint64_t* counts) {
    u64 n[kLanes] = {};
    for (u64 c = 0; c + 1 < columns; ++c) {
        const u64 qc = query[c];
        const u64* w = words + c * kLanes;
#pragma GCC unroll 16
        for (std::size_t k = 0; k < kLanes; ++k) n[k] += static_cast<u64>(__builtin_popcountll(w[k] ^ qc));
    }
    const u64 qc = query[columns - 1];
    const u64* w = words + (columns - 1) * kLanes;
    for (std::size_t k = 0; k < kLanes; ++k) counts[k] = n[k] + static_cast<u64>(__builtin_popcountll((w[k] ^ qc) & last));
}
#pragma GCC pop_options

TargetKernels avx2_scan_kernels() {
    return {{lockstep_entry<true>, masked_entry<true>},
            {lockstep_entry<false>, masked_entry<false>},
            interleave_rows_avx2,
            count_block_popcnt,
            nullptr};
}

}  // namespace tessarin::scan_detail
