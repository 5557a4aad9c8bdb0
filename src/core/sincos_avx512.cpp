// Sine and cosine, 16 float lanes at a time, AVX-512 form. Each half of 8
// lanes repeats the C library's double-precision steps in 512-bit registers.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/sincos_kernels.hpp"

// GCC 12's AVX-512 headers start some conversions from a deliberately
// undefined register and then warn about it once inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace tessarin::detail {
namespace {

struct Trig8 {
    __m256 sin;
    __m256 cos;
};

struct Trig16 {
    __m512 sin;
    __m512 cos;
};

__m512d splat(double v) { return _mm512_set1_pd(v); }

Trig8 library_steps8(__m256 a) {
    const __m512d ad = _mm512_cvtps_pd(a);
    const __m256i truncated = _mm512_cvttpd_epi32(_mm512_mul_pd(ad, splat(kQuadrantScale)));
    const __m256i n = _mm256_srai_epi32(_mm256_add_epi32(truncated, _mm256_set1_epi32(0x800000)), 24);
    const __m512d x = _mm512_fnmadd_pd(_mm512_cvtepi32_pd(n), splat(kHalfPi), ad);
    const __m512d x2 = _mm512_mul_pd(x, x);

    const __m512d x3 = _mm512_mul_pd(x, x2);
    const __m512d x5 = _mm512_mul_pd(x3, x2);
    const __m512d sin_x = _mm512_fmadd_pd(x5, _mm512_fmadd_pd(x2, splat(kSin3), splat(kSin2)),
                                          _mm512_fmadd_pd(x3, splat(kSin1), x));

    const __m512d x4 = _mm512_mul_pd(x2, x2);
    const __m512d x6 = _mm512_mul_pd(x4, x2);
    const __m512d cos_low = _mm512_fmadd_pd(x4, splat(kCos2), _mm512_fmadd_pd(x2, splat(kCos1), splat(kCos0)));
    const __m512d cos_x = _mm512_fmadd_pd(x6, _mm512_fmadd_pd(x2, splat(kCos4), splat(kCos3)), cos_low);

    // Odd quadrants swap the polynomials; sin is negated in quadrants 2 and 3,
    // cos in quadrants 1 and 2. Negation by the sign bit is exact.
    const __m512i n64 = _mm512_cvtepi32_epi64(n);
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i two = _mm512_set1_epi64(2);
    const __mmask8 odd = _mm512_test_epi64_mask(n64, one);
    const __m512i sin_sign = _mm512_slli_epi64(_mm512_and_si512(n64, two), 62);
    const __m512i cos_sign = _mm512_slli_epi64(_mm512_and_si512(_mm512_add_epi64(n64, one), two), 62);
    const __m512d sin_d = _mm512_xor_pd(_mm512_mask_blend_pd(odd, sin_x, cos_x), _mm512_castsi512_pd(sin_sign));
    const __m512d cos_d = _mm512_xor_pd(_mm512_mask_blend_pd(odd, cos_x, sin_x), _mm512_castsi512_pd(cos_sign));
    return {_mm512_cvtpd_ps(sin_d), _mm512_cvtpd_ps(cos_d)};
}

Trig16 sincos16(__m512 a) {
    const Trig8 lo = library_steps8(_mm512_castps512_ps256(a));
    const Trig8 hi = library_steps8(_mm512_extractf32x8_ps(a, 1));
    Trig16 t{_mm512_insertf32x8(_mm512_castps256_ps512(lo.sin), hi.sin, 1),
             _mm512_insertf32x8(_mm512_castps256_ps512(lo.cos), hi.cos, 1)};

    const __m512i magnitude = _mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7FFFFFFF));
    const __mmask16 tiny = _mm512_cmplt_epi32_mask(magnitude, _mm512_set1_epi32(static_cast<int>(kTinyBits)));
    t.sin = _mm512_mask_blend_ps(tiny, t.sin, a);
    t.cos = _mm512_mask_blend_ps(tiny, t.cos, _mm512_set1_ps(1.0f));

    const __mmask16 outside = _mm512_cmpge_epi32_mask(magnitude, _mm512_set1_epi32(static_cast<int>(kLibraryBits)));
    if (outside != 0) {
        alignas(64) float lanes[16];
        alignas(64) float sines[16];
        alignas(64) float cosines[16];
        _mm512_store_ps(lanes, a);
        _mm512_store_ps(sines, t.sin);
        _mm512_store_ps(cosines, t.cos);
        for (unsigned l = 0; l < 16; ++l) {
            if ((outside >> l) & 1U) library_sincos(lanes[l], &sines[l], &cosines[l]);
        }
        t.sin = _mm512_load_ps(sines);
        t.cos = _mm512_load_ps(cosines);
    }
    return t;
}

}  // namespace

void sincos_avx512(const float* a, float* sin_out, float* cos_out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const Trig16 t = sincos16(_mm512_loadu_ps(a + i));
        _mm512_storeu_ps(sin_out + i, t.sin);
        _mm512_storeu_ps(cos_out + i, t.cos);
    }
    if (i < n) {
        const auto rest = static_cast<__mmask16>((1U << (n - i)) - 1U);
        const Trig16 t = sincos16(_mm512_maskz_loadu_ps(rest, a + i));
        _mm512_mask_storeu_ps(sin_out + i, rest, t.sin);
        _mm512_mask_storeu_ps(cos_out + i, rest, t.cos);
    }
}

void phasor_projection16_avx512(const float* q, const float* block, const float* acc, std::size_t dim,
                                float* out) {
    __m512 sum = _mm512_setzero_ps();
    for (std::size_t i = 0; i < dim; ++i) {
        const Trig16 t = sincos16(_mm512_add_ps(_mm512_set1_ps(q[i]), _mm512_loadu_ps(block + 16 * i)));
        const __m512 term = _mm512_add_ps(_mm512_mul_ps(t.sin, _mm512_set1_ps(acc[2 * i + 1])),
                                          _mm512_mul_ps(t.cos, _mm512_set1_ps(acc[2 * i])));
        sum = _mm512_add_ps(sum, term);
    }
    _mm512_storeu_ps(out, sum);
}

}  // namespace tessarin::detail
