// Indexed digests eight at a time, one index per 64-bit lane of a 512-bit
// register, with the native 64-bit rotate.

// GCC 12 takes the deliberately undefined pass-through operand inside its own
// unmasked shift and rotate intrinsics for an uninitialised read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "core/siphash_lanes.hpp"

namespace tessarin::siphash_lanes {
namespace {

constexpr std::size_t kLanes = 8;

struct Lanes {
    __m512i v0, v1, v2, v3;

    void round() {
        v0 = _mm512_add_epi64(v0, v1);
        v1 = _mm512_xor_si512(_mm512_rol_epi64(v1, 13), v0);
        v0 = _mm512_rol_epi64(v0, 32);
        v2 = _mm512_add_epi64(v2, v3);
        v3 = _mm512_xor_si512(_mm512_rol_epi64(v3, 16), v2);
        v0 = _mm512_add_epi64(v0, v3);
        v3 = _mm512_xor_si512(_mm512_rol_epi64(v3, 21), v0);
        v2 = _mm512_add_epi64(v2, v1);
        v1 = _mm512_xor_si512(_mm512_rol_epi64(v1, 17), v2);
        v2 = _mm512_rol_epi64(v2, 32);
    }

    void absorb(__m512i block) {
        v3 = _mm512_xor_si512(v3, block);
        round();
        v0 = _mm512_xor_si512(v0, block);
    }
};

// The prefix broadcast to every lane, built once per call.
struct Kernel {
    __m512i v0, v1, v2, v3, tail, length_byte, mark;
    __m128i low_shift, high_shift;

    explicit Kernel(const IndexedPrefix& p)
        : v0(_mm512_set1_epi64(static_cast<long long>(p.v0))),
          v1(_mm512_set1_epi64(static_cast<long long>(p.v1))),
          v2(_mm512_set1_epi64(static_cast<long long>(p.v2))),
          v3(_mm512_set1_epi64(static_cast<long long>(p.v3))),
          tail(_mm512_set1_epi64(static_cast<long long>(p.tail))),
          length_byte(_mm512_set1_epi64(static_cast<long long>(p.length_byte))),
          mark(_mm512_set1_epi64(0xFF)),
          low_shift(_mm_cvtsi64_si128(static_cast<long long>(p.tail_bits))),
          // A shift by 64 (empty tail) clears the lane, as it must.
          high_shift(_mm_cvtsi64_si128(static_cast<long long>(64 - p.tail_bits))) {}

    __m512i digests(__m512i index) const {
        const __m512i block = _mm512_or_si512(tail, _mm512_sll_epi64(index, low_shift));
        const __m512i last = _mm512_or_si512(length_byte, _mm512_srl_epi64(index, high_shift));
        Lanes s{v0, v1, v2, v3};
        s.absorb(block);
        s.absorb(last);
        s.v2 = _mm512_xor_si512(s.v2, mark);
        s.round();
        s.round();
        s.round();
        // Three-way exclusive or in one instruction (truth table 0x96).
        return _mm512_ternarylogic_epi64(s.v0, s.v1, _mm512_xor_si512(s.v2, s.v3), 0x96);
    }
};

}  // namespace

void indexed_digests_avx512(const IndexedPrefix& p, std::uint64_t first, std::uint64_t* out, std::size_t n) {
    const Kernel kernel(p);
    const __m512i step = _mm512_set1_epi64(kLanes);
    __m512i index = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(first)),
                                     _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
    std::size_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
        _mm512_storeu_si512(out + k, kernel.digests(index));
        index = _mm512_add_epi64(index, step);
    }
    if (k < n) {
        // Masked-off lanes are neither written nor touched.
        const auto mask = static_cast<__mmask8>((1U << (n - k)) - 1U);
        _mm512_mask_storeu_epi64(out + k, mask, kernel.digests(index));
    }
}

}  // namespace tessarin::siphash_lanes
