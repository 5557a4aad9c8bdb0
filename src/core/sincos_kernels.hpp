// Entry points of the per-target sine/cosine kernels, for the dispatcher in
// sincos.cpp. Declarations only: the target files must not share inline code
// with the baseline build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::detail {

// The C library's steps for |a| < 120, in double precision: the quadrant
// n = ((int32)(a * kQuadrantScale) + 2^23) >> 24, the reduced argument
// x = a - n * kHalfPi (one rounding), then a sine or cosine polynomial in x,
// each `p + x * q` step a fused multiply-add; the quadrant picks the
// polynomial and the sign, and the double result is rounded once to float.
// Below 2^-12 the library returns a itself as the sine and 1 as the cosine.
inline constexpr double kQuadrantScale = 0x1.45F306DC9C883p+23;  // 2/pi * 2^24
inline constexpr double kHalfPi = 0x1.921FB54442D18p0;
inline constexpr double kCos0 = 0x1p0;
inline constexpr double kCos1 = -0x1.ffffffd0c621cp-2;
inline constexpr double kCos2 = 0x1.55553e1068f19p-5;
inline constexpr double kCos3 = -0x1.6c087e89a359dp-10;
inline constexpr double kCos4 = 0x1.99343027bf8c3p-16;
inline constexpr double kSin1 = -0x1.555545995a603p-3;
inline constexpr double kSin2 = 0x1.1107605230bc4p-7;
inline constexpr double kSin3 = -0x1.994eb3774cf24p-13;
// Absolute-value bit patterns bounding the lanes: below kTinyBits the short
// answers above, from kLibraryBits up (|a| >= 120, infinities, NaN) the C library.
inline constexpr std::uint32_t kTinyBits = 0x39800000U; // 2^-12
inline constexpr std::uint32_t kLibraryBits = 0x42F00000U;  // 120.0f

// The C library's sinf and cosf of a[l] into sin_out[l] and cos_out[l] for
// every lane l whose bit is set in `lanes`: the targets' answer for the lanes
// the exact evaluation does not cover.
void library_sincos_lanes(const float* a, float* sin_out, float* cos_out, unsigned lanes);

void sincos_avx2(const float* a, float* sin_out, float* cos_out, std::size_t n);
void sincos_avx512(const float* a, float* sin_out, float* cos_out, std::size_t n);

// `acc` holds dim phasors as (real, imaginary) float pairs; `block` holds dim
// rows of 16 lanes; `out` receives the 16 sums.
void phasor_projection16_avx2(const float* q, const float* block, const float* acc, std::size_t dim, float* out);
void phasor_projection16_avx512(const float* q, const float* block, const float* acc, std::size_t dim,
                                float* out);

}  // namespace tessarin::detail
