// Sine and cosine, 8 float lanes at a time, AVX2 form. Each half of 4 lanes
// repeats the C library's double-precision steps in 256-bit registers. The
// library's steps are fused multiply-adds, so this file also uses FMA; it is
// entered only where the C library itself selected its FMA build, which
// requires both.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/sincos_kernels.hpp"

#pragma GCC target("fma")

namespace tessarin::detail {
namespace {

struct Trig4 {
    __m128 sin;
    __m128 cos;
};

struct Trig8 {
    __m256 sin;
    __m256 cos;
};

__m256d splat(double v) { return _mm256_set1_pd(v); }

Trig4 library_steps4(__m128 a) {
    const __m256d ad = _mm256_cvtps_pd(a);
    const __m128i truncated = _mm256_cvttpd_epi32(_mm256_mul_pd(ad, splat(kQuadrantScale)));
    const __m128i n = _mm_srai_epi32(_mm_add_epi32(truncated, _mm_set1_epi32(0x800000)), 24);
    const __m256d x = _mm256_fnmadd_pd(_mm256_cvtepi32_pd(n), splat(kHalfPi), ad);
    const __m256d x2 = _mm256_mul_pd(x, x);

    const __m256d x3 = _mm256_mul_pd(x, x2);
    const __m256d x5 = _mm256_mul_pd(x3, x2);
    const __m256d sin_x = _mm256_fmadd_pd(x5, _mm256_fmadd_pd(x2, splat(kSin3), splat(kSin2)),
                                          _mm256_fmadd_pd(x3, splat(kSin1), x));

    const __m256d x4 = _mm256_mul_pd(x2, x2);
    const __m256d x6 = _mm256_mul_pd(x4, x2);
    const __m256d cos_low = _mm256_fmadd_pd(x4, splat(kCos2), _mm256_fmadd_pd(x2, splat(kCos1), splat(kCos0)));
    const __m256d cos_x = _mm256_fmadd_pd(x6, _mm256_fmadd_pd(x2, splat(kCos4), splat(kCos3)), cos_low);

    // Odd quadrants swap the polynomials; sin is negated in quadrants 2 and 3,
    // cos in quadrants 1 and 2. Negation by the sign bit is exact.
    const __m256i n64 = _mm256_cvtepi32_epi64(n);
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i two = _mm256_set1_epi64x(2);
    const __m256d odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(n64, one), one));
    const __m256i sin_sign = _mm256_slli_epi64(_mm256_and_si256(n64, two), 62);
    const __m256i cos_sign = _mm256_slli_epi64(_mm256_and_si256(_mm256_add_epi64(n64, one), two), 62);
    const __m256d sin_d = _mm256_xor_pd(_mm256_blendv_pd(sin_x, cos_x, odd), _mm256_castsi256_pd(sin_sign));
    const __m256d cos_d = _mm256_xor_pd(_mm256_blendv_pd(cos_x, sin_x, odd), _mm256_castsi256_pd(cos_sign));
    return {_mm256_cvtpd_ps(sin_d), _mm256_cvtpd_ps(cos_d)};
}

Trig8 sincos8(__m256 a) {
    const Trig4 lo = library_steps4(_mm256_castps256_ps128(a));
    const Trig4 hi = library_steps4(_mm256_extractf128_ps(a, 1));
    Trig8 t{_mm256_insertf128_ps(_mm256_castps128_ps256(lo.sin), hi.sin, 1),
            _mm256_insertf128_ps(_mm256_castps128_ps256(lo.cos), hi.cos, 1)};

    const __m256i magnitude = _mm256_and_si256(_mm256_castps_si256(a), _mm256_set1_epi32(0x7FFFFFFF));
    const __m256 tiny =
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(kTinyBits)), magnitude));
    t.sin = _mm256_blendv_ps(t.sin, a, tiny);
    t.cos = _mm256_blendv_ps(t.cos, _mm256_set1_ps(1.0f), tiny);

    const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(kLibraryBits)), magnitude);
    const unsigned outside = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(inside))) & 0xFFU;
    if (outside != 0) {
        alignas(32) float lanes[8];
        alignas(32) float sines[8];
        alignas(32) float cosines[8];
        _mm256_store_ps(lanes, a);
        _mm256_store_ps(sines, t.sin);
        _mm256_store_ps(cosines, t.cos);
        library_sincos_lanes(lanes, sines, cosines, outside);
        t.sin = _mm256_load_ps(sines);
        t.cos = _mm256_load_ps(cosines);
    }
    return t;
}

}  // namespace

void sincos_avx2(const float* a, float* sin_out, float* cos_out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const Trig8 t = sincos8(_mm256_loadu_ps(a + i));
        _mm256_storeu_ps(sin_out + i, t.sin);
        _mm256_storeu_ps(cos_out + i, t.cos);
    }
    if (i < n) {
        alignas(32) float lanes[8] = {};
        alignas(32) float sines[8];
        alignas(32) float cosines[8];
        for (std::size_t l = 0; l < n - i; ++l) lanes[l] = a[i + l];
        const Trig8 t = sincos8(_mm256_load_ps(lanes));
        _mm256_store_ps(sines, t.sin);
        _mm256_store_ps(cosines, t.cos);
        for (std::size_t l = 0; l < n - i; ++l) {
            sin_out[i + l] = sines[l];
            cos_out[i + l] = cosines[l];
        }
    }
}

void phasor_projection16_avx2(const float* q, const float* block, const float* acc, std::size_t dim, float* out) {
    __m256 sum_lo = _mm256_setzero_ps();
    __m256 sum_hi = _mm256_setzero_ps();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256 qi = _mm256_set1_ps(q[i]);
        const __m256 re = _mm256_set1_ps(acc[2 * i]);
        const __m256 im = _mm256_set1_ps(acc[2 * i + 1]);
        const Trig8 lo = sincos8(_mm256_add_ps(qi, _mm256_loadu_ps(block + 16 * i)));
        const Trig8 hi = sincos8(_mm256_add_ps(qi, _mm256_loadu_ps(block + 16 * i + 8)));
        sum_lo = _mm256_add_ps(sum_lo, _mm256_add_ps(_mm256_mul_ps(lo.sin, im), _mm256_mul_ps(lo.cos, re)));
        sum_hi = _mm256_add_ps(sum_hi, _mm256_add_ps(_mm256_mul_ps(hi.sin, im), _mm256_mul_ps(hi.cos, re)));
    }
    _mm256_storeu_ps(out, sum_lo);
    _mm256_storeu_ps(out + 8, sum_hi);
}

}  // namespace tessarin::detail
