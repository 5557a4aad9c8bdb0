#include "core/sincos.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "core/simd_target.hpp"
#include "core/sincos_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
#include <gnu/libc-version.h>
#include <sys/platform/x86.h>
#define TESSARIN_SINCOS_LANES 1
#else
#define TESSARIN_SINCOS_LANES 0
#endif

namespace tessarin {
namespace detail {

void library_sincos_lanes(const float* a, float* sin_out, float* cos_out, unsigned lanes) {
    for (; lanes != 0; lanes &= lanes - 1) {
        const int l = std::countr_zero(lanes);
        sin_out[l] = std::sin(a[l]);
        cos_out[l] = std::cos(a[l]);
    }
}

}  // namespace detail

namespace {

#if TESSARIN_SINCOS_LANES

// The C library versions whose FMA build of sinf/cosf the kernels were
// compared with over every float below 120 in magnitude, on every target
// (scripts/prove_phases.sh). The build without FMA rounds a few inputs
// differently and was never covered, so it always takes the library path.
constexpr std::array<std::string_view, 1> kProvenVersions{"2.36"};

// The C library picks its FMA build of sinf/cosf exactly when it reports FMA
// and AVX2 as active (which also honours its own tunables).
bool library_is_proven() {
    if (!(CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2))) return false;
    const std::string_view version = gnu_get_libc_version();
    for (const std::string_view v : kProvenVersions) {
        if (v == version) return true;
    }
    return false;
}

// Inputs on which a library that merely resembles the proven one would show:
// those whose double result lies closest to a float rounding midpoint, those
// the build without FMA rounds the other way, and the edges of each branch.
constexpr std::uint32_t kSelfTestInputs[] = {
#include "core/sincos_self_test.inc"
};

bool target_agrees(void (*kernel)(const float*, float*, float*, std::size_t)) {
    constexpr std::size_t n = std::size(kSelfTestInputs);
    std::array<float, n> a{};
    std::array<float, n> s{};
    std::array<float, n> c{};
    for (std::size_t i = 0; i < n; ++i) a[i] = std::bit_cast<float>(kSelfTestInputs[i]);
    kernel(a.data(), s.data(), c.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::bit_cast<std::uint32_t>(s[i]) != std::bit_cast<std::uint32_t>(std::sin(a[i])) ||
            std::bit_cast<std::uint32_t>(c[i]) != std::bit_cast<std::uint32_t>(std::cos(a[i]))) {
            return false;
        }
    }
    return true;
}

bool lanes_proven() {
    static const bool proven = [] {
        if (!library_is_proven()) return false;
        for (const SimdTarget t : supported_simd_targets()) {
            if (t == SimdTarget::avx2 && !target_agrees(detail::sincos_avx2)) return false;
            const bool avx512 = t == SimdTarget::avx512 || t == SimdTarget::avx512pop;
            if (avx512 && !target_agrees(detail::sincos_avx512)) return false;
        }
        return true;
    }();
    return proven;
}

// The target the kernels run on: the active one where the lanes are proven,
// otherwise the C library lane by lane.
SimdTarget lanes_target() {
    const SimdTarget t = active_simd_target();
    return t != SimdTarget::scalar && lanes_proven() ? t : SimdTarget::scalar;
}

#else

bool library_is_proven() { return false; }
bool lanes_proven() { return false; }

#endif

}  // namespace

bool sincos_library_proven() { return library_is_proven(); }

bool sincos_lanes_proven() { return lanes_proven(); }

void sincos_many(std::span<const float> a, std::span<float> sin_out, std::span<float> cos_out) {
#if TESSARIN_SINCOS_LANES
    switch (lanes_target()) {
        case SimdTarget::avx512:
        case SimdTarget::avx512pop:
            detail::sincos_avx512(a.data(), sin_out.data(), cos_out.data(), a.size());
            return;
        case SimdTarget::avx2:
            detail::sincos_avx2(a.data(), sin_out.data(), cos_out.data(), a.size());
            return;
        default:
            break;
    }
#endif
    for (std::size_t i = 0; i < a.size(); ++i) {
        sin_out[i] = std::sin(a[i]);
        cos_out[i] = std::cos(a[i]);
    }
}

void phasor_projection_lanes(std::span<const float> q, std::span<const float> block,
                             std::span<const std::complex<float>> acc, std::span<float, kPhaseLanes> out,
                             std::size_t live) {
    const std::size_t dim = q.size();
#if TESSARIN_SINCOS_LANES
    // std::complex<float> is laid out as its (real, imaginary) pair.
    const auto* acc_pairs = reinterpret_cast<const float*>(acc.data());
    switch (lanes_target()) {
        case SimdTarget::avx512:
        case SimdTarget::avx512pop:
            detail::phasor_projection16_avx512(q.data(), block.data(), acc_pairs, dim, out.data());
            return;
        case SimdTarget::avx2:
            detail::phasor_projection16_avx2(q.data(), block.data(), acc_pairs, dim, out.data());
            return;
        default:
            break;
    }
#endif
    live = std::min(live, kPhaseLanes);
    std::array<float, kPhaseLanes> sum{};
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t l = 0; l < live; ++l) {
            const float a = q[i] + block[i * kPhaseLanes + l];
            sum[l] = sum[l] + phasor_term(std::sin(a), std::cos(a), acc[i]);
        }
    }
    for (std::size_t l = 0; l < live; ++l) out[l] = sum[l];
}

}  // namespace tessarin
