// Indexed digests four at a time, one index per 64-bit lane of a 256-bit
// register. AVX2 has no 64-bit rotate: the rotations by 16 and 32 are byte
// and dword shuffles, the others a shift pair.
#include <immintrin.h>

#include "core/siphash_lanes.hpp"

namespace tessarin::siphash_lanes {
namespace {

constexpr std::size_t kLanes = 4;

template <int N>
__m256i rotl(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, N), _mm256_srli_epi64(x, 64 - N));
}

__m256i rotl16(__m256i x) {
    const __m256i bytes = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13,  //
                                           6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
    return _mm256_shuffle_epi8(x, bytes);
}

__m256i rotl32(__m256i x) { return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)); }

struct Lanes {
    __m256i v0, v1, v2, v3;

    void round() {
        v0 = _mm256_add_epi64(v0, v1);
        v1 = _mm256_xor_si256(rotl<13>(v1), v0);
        v0 = rotl32(v0);
        v2 = _mm256_add_epi64(v2, v3);
        v3 = _mm256_xor_si256(rotl16(v3), v2);
        v0 = _mm256_add_epi64(v0, v3);
        v3 = _mm256_xor_si256(rotl<21>(v3), v0);
        v2 = _mm256_add_epi64(v2, v1);
        v1 = _mm256_xor_si256(rotl<17>(v1), v2);
        v2 = rotl32(v2);
    }

    void absorb(__m256i block) {
        v3 = _mm256_xor_si256(v3, block);
        round();
        v0 = _mm256_xor_si256(v0, block);
    }
};

// The prefix broadcast to every lane, built once per call.
struct Kernel {
    __m256i v0, v1, v2, v3, tail, length_byte, mark;
    __m128i low_shift, high_shift;

    explicit Kernel(const IndexedPrefix& p)
        : v0(_mm256_set1_epi64x(static_cast<long long>(p.v0))),
          v1(_mm256_set1_epi64x(static_cast<long long>(p.v1))),
          v2(_mm256_set1_epi64x(static_cast<long long>(p.v2))),
          v3(_mm256_set1_epi64x(static_cast<long long>(p.v3))),
          tail(_mm256_set1_epi64x(static_cast<long long>(p.tail))),
          length_byte(_mm256_set1_epi64x(static_cast<long long>(p.length_byte))),
          mark(_mm256_set1_epi64x(0xFF)),
          low_shift(_mm_cvtsi64_si128(static_cast<long long>(p.tail_bits))),
          // A shift by 64 (empty tail) clears the lane, as it must.
          high_shift(_mm_cvtsi64_si128(static_cast<long long>(64 - p.tail_bits))) {}

    __m256i digests(__m256i index) const {
        const __m256i block = _mm256_or_si256(tail, _mm256_sll_epi64(index, low_shift));
        const __m256i last = _mm256_or_si256(length_byte, _mm256_srl_epi64(index, high_shift));
        Lanes s{v0, v1, v2, v3};
        s.absorb(block);
        s.absorb(last);
        s.v2 = _mm256_xor_si256(s.v2, mark);
        s.round();
        s.round();
        s.round();
        return _mm256_xor_si256(_mm256_xor_si256(s.v0, s.v1), _mm256_xor_si256(s.v2, s.v3));
    }
};

}  // namespace

void indexed_digests_avx2(const IndexedPrefix& p, std::uint64_t first, std::uint64_t* out, std::size_t n) {
    const Kernel kernel(p);
    const __m256i step = _mm256_set1_epi64x(kLanes);
    __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(first)), _mm256_setr_epi64x(0, 1, 2, 3));
    std::size_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), kernel.digests(index));
        index = _mm256_add_epi64(index, step);
    }
    if (k < n) {
        alignas(32) std::uint64_t rest[kLanes];
        _mm256_store_si256(reinterpret_cast<__m256i*>(rest), kernel.digests(index));
        for (std::size_t j = 0; k + j < n; ++j) out[k + j] = rest[j];
    }
}

}  // namespace tessarin::siphash_lanes
