// Sine and cosine, AVX-512 form: 8 float lanes repeat the C library's
// double-precision steps in one 512-bit register, with mask registers for the
// quadrant's choices and for the lanes left to the library.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/sincos_kernels.hpp"

// GCC 12's AVX-512 headers start some conversions from a deliberately
// undefined register and then warn about it once inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tessarin::detail {
namespace {

struct Trig8 {
    __m256 sin;
    __m256 cos;
};

__m512d splat(double v) { return _mm512_set1_pd(v); }

Trig8 sincos8(__m256 a) {
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
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i two = _mm256_set1_epi32(2);
    const __mmask8 odd = _mm256_test_epi32_mask(n, one);
    const __mmask8 sin_negated = _mm256_test_epi32_mask(n, two);
    const __mmask8 cos_negated = _mm256_test_epi32_mask(_mm256_add_epi32(n, one), two);
    const __m512d sign = splat(-0.0);
    __m512d sin_d = _mm512_mask_blend_pd(odd, sin_x, cos_x);
    __m512d cos_d = _mm512_mask_blend_pd(odd, cos_x, sin_x);
    sin_d = _mm512_mask_xor_pd(sin_d, sin_negated, sin_d, sign);
    cos_d = _mm512_mask_xor_pd(cos_d, cos_negated, cos_d, sign);
    Trig8 t{_mm512_cvtpd_ps(sin_d), _mm512_cvtpd_ps(cos_d)};

    const __m256i magnitude = _mm256_and_si256(_mm256_castps_si256(a), _mm256_set1_epi32(0x7FFFFFFF));
    const __mmask8 tiny = _mm256_cmplt_epi32_mask(magnitude, _mm256_set1_epi32(static_cast<int>(kTinyBits)));
    t.sin = _mm256_mask_blend_ps(tiny, t.sin, a);
    t.cos = _mm256_mask_blend_ps(tiny, t.cos, _mm256_set1_ps(1.0f));

    const __mmask8 outside = _mm256_cmpge_epi32_mask(magnitude, _mm256_set1_epi32(static_cast<int>(kLibraryBits)));
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

// The running sums of 8 lanes after one more component.
__m256 add_term(__m256 sum, const Trig8& t, __m256 re, __m256 im) {
    return _mm256_add_ps(sum, _mm256_add_ps(_mm256_mul_ps(t.sin, im), _mm256_mul_ps(t.cos, re)));
}

}  // namespace

void sincos_avx512(const float* a, float* sin_out, float* cos_out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const Trig8 t = sincos8(_mm256_loadu_ps(a + i));
        _mm256_storeu_ps(sin_out + i, t.sin);
        _mm256_storeu_ps(cos_out + i, t.cos);
    }
    if (i < n) {
        const auto rest = static_cast<__mmask8>((1U << (n - i)) - 1U);
        const Trig8 t = sincos8(_mm256_maskz_loadu_ps(rest, a + i));
        _mm256_mask_storeu_ps(sin_out + i, rest, t.sin);
        _mm256_mask_storeu_ps(cos_out + i, rest, t.cos);
    }
}

void phasor_projection16_avx512(const float* q, const float* block, const float* acc, std::size_t dim,
                                float* out) {
    __m256 sum_lo = _mm256_setzero_ps();
    __m256 sum_hi = _mm256_setzero_ps();
    for (std::size_t i = 0; i < dim; ++i) {
        const __m256 qi = _mm256_set1_ps(q[i]);
        const __m256 re = _mm256_set1_ps(acc[2 * i]);
        const __m256 im = _mm256_set1_ps(acc[2 * i + 1]);
        sum_lo = add_term(sum_lo, sincos8(_mm256_add_ps(qi, _mm256_loadu_ps(block + 16 * i))), re, im);
        sum_hi = add_term(sum_hi, sincos8(_mm256_add_ps(qi, _mm256_loadu_ps(block + 16 * i + 8))), re, im);
    }
    _mm256_storeu_ps(out, sum_lo);
    _mm256_storeu_ps(out + 8, sum_hi);
}

}  // namespace tessarin::detail
