// Exhaustive check of the many-lane sine/cosine against the C library.
//
// For every supported SIMD target, every float of magnitude below 120 (which
// holds every phase, sum and difference of two phases the cache evaluates) is
// evaluated by sincos_many and by std::sin / std::cos, and the bit patterns
// compared. With --all, every one of the 2^32 floats is compared instead.
//
// With --self-test-inputs, it prints instead the inputs for the self-test table
// (src/core/sincos_self_test.inc): the inputs whose double-precision result
// in the library's FMA build lies closest to a float rounding midpoint, those
// on which its build without FMA rounds the other way, and the branch edges.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <queue>
#include <utility>
#include <vector>

#include "core/simd_target.hpp"
#include "core/sincos.hpp"
#include "core/sincos_kernels.hpp"

#if defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
#include <gnu/libc-version.h>
#include <sys/platform/x86.h>
#endif

namespace {

using namespace tessarin;

void describe_library() {
#if defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
    const bool fma = CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2);
    std::printf("C library: glibc %s; sinf/cosf build selected: %s\n", gnu_get_libc_version(),
                fma ? "FMA" : "without FMA");
#else
    std::printf("C library: not glibc on x86-64\n");
#endif
    std::printf("many-lane evaluation in use here: %s\n", sincos_lanes_proven() ? "yes" : "no");
}

struct Tally {
    std::uint64_t inputs = 0;
    std::uint64_t sin_differ = 0;
    std::uint64_t cos_differ = 0;
};

void compare_chunk(const std::vector<float>& a, std::vector<float>& s, std::vector<float>& c, Tally& t) {
    sincos_many(a, s, c);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool sd = std::bit_cast<std::uint32_t>(s[i]) != std::bit_cast<std::uint32_t>(std::sin(a[i]));
        const bool cd = std::bit_cast<std::uint32_t>(c[i]) != std::bit_cast<std::uint32_t>(std::cos(a[i]));
        if ((sd || cd) && t.sin_differ + t.cos_differ < 10) {
            std::printf("  differs at %a (0x%08x): sin %a vs %a, cos %a vs %a\n", static_cast<double>(a[i]),
                        std::bit_cast<std::uint32_t>(a[i]), static_cast<double>(s[i]),
                        static_cast<double>(std::sin(a[i])), static_cast<double>(c[i]),
                        static_cast<double>(std::cos(a[i])));
        }
        t.sin_differ += sd;
        t.cos_differ += cd;
    }
    t.inputs += a.size();
}

// Every bit pattern with magnitude below `end` (exclusive), both signs.
Tally prove_target(std::uint32_t end) {
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<float> a;
    std::vector<float> s(kChunk);
    std::vector<float> c(kChunk);
    a.reserve(kChunk);
    Tally t;
    for (const std::uint32_t sign : {0U, 0x80000000U}) {
        for (std::uint64_t m = 0; m < end; ++m) {
            a.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(m) | sign));
            if (a.size() == kChunk) {
                compare_chunk(a, s, c, t);
                a.clear();
            }
        }
    }
    if (!a.empty()) compare_chunk(a, s, c, t);
    return t;
}

int prove(bool all) {
    describe_library();
    const std::uint32_t end = all ? 0x80000000U : detail::kLibraryBits;
    std::printf("range: %s\n", all ? "every float" : "every float of magnitude below 120");
    bool clean = true;
    for (const SimdTarget target : supported_simd_targets()) {
        const ScopedSimdTarget pin(target);
        const auto start = std::chrono::steady_clock::now();
        const Tally t = prove_target(end);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("target %-6s: %llu inputs, sin differs on %llu, cos differs on %llu (%.1f s)\n",
                    simd_target_name(target).data(), static_cast<unsigned long long>(t.inputs),
                    static_cast<unsigned long long>(t.sin_differ), static_cast<unsigned long long>(t.cos_differ),
                    seconds);
        clean = clean && t.sin_differ == 0 && t.cos_differ == 0;
    }
    if (!clean) {
        std::printf("DIFFERS\n");
        return 1;
    }
    // Without the lanes every target called the C library: nothing was proven.
    std::printf("%s\n", sincos_lanes_proven() ? "PROVEN" : "EQUAL, BUT THE LANES ARE NOT IN USE HERE");
    return sincos_lanes_proven() ? 0 : 1;
}

// The library's double result before its final rounding, for the build with
// or without fused multiply-adds.
template <bool Fused>
double madd(double a, double b, double c) {
    if constexpr (Fused) {
        return std::fma(a, b, c);
    } else {
        return a * b + c;
    }
}

template <bool Fused>
std::pair<double, double> library_double(float y) {
    using namespace detail;
    const double ad = y;
    const int n = (static_cast<std::int32_t>(ad * kQuadrantScale) + 0x800000) >> 24;
    const double x = madd<Fused>(-static_cast<double>(n), kHalfPi, ad);
    const double x2 = x * x;
    const double x3 = x * x2;
    const double x4 = x2 * x2;
    const double sin_x = madd<Fused>(x3 * x2, madd<Fused>(x2, kSin3, kSin2), madd<Fused>(x3, kSin1, x));
    const double cos_x = madd<Fused>(x4 * x2, madd<Fused>(x2, kCos4, kCos3),
                                     madd<Fused>(x4, kCos2, madd<Fused>(x2, kCos1, kCos0)));
    double sin_d = (n & 1) ? cos_x : sin_x;
    double cos_d = (n & 1) ? sin_x : cos_x;
    if (n & 2) sin_d = -sin_d;
    if ((n + 1) & 2) cos_d = -cos_d;
    return {sin_d, cos_d};
}

// Distance of d from the nearest float rounding midpoint, in units of the
// float spacing there.
double midpoint_distance(double d) {
    const float f = static_cast<float>(d);
    if (static_cast<double>(f) == d) return 0.5;
    const float g = std::nextafter(f, d > static_cast<double>(f) ? INFINITY : -INFINITY);
    const double mid = (static_cast<double>(f) + static_cast<double>(g)) / 2.0;
    return std::fabs(d - mid) / std::fabs(static_cast<double>(g) - static_cast<double>(f));
}

int print_self_test_inputs(std::size_t per_function) {
    using Candidate = std::pair<double, std::uint32_t>;  // (distance, bits), worst on top
    std::priority_queue<Candidate> sin_hard;
    std::priority_queue<Candidate> cos_hard;
    std::vector<std::uint32_t> fused_matters;
    const auto keep = [per_function](std::priority_queue<Candidate>& q, double dist, std::uint32_t bits) {
        if (q.size() < per_function) {
            q.emplace(dist, bits);
        } else if (dist < q.top().first) {
            q.pop();
            q.emplace(dist, bits);
        }
    };
    for (const std::uint32_t sign : {0U, 0x80000000U}) {
        for (std::uint32_t m = detail::kTinyBits; m < detail::kLibraryBits; ++m) {
            const std::uint32_t bits = m | sign;
            const float y = std::bit_cast<float>(bits);
            const auto [s, c] = library_double<true>(y);
            keep(sin_hard, midpoint_distance(s), bits);
            keep(cos_hard, midpoint_distance(c), bits);
            const auto [s0, c0] = library_double<false>(y);
            const bool differ = static_cast<float>(s) != static_cast<float>(s0) ||
                                static_cast<float>(c) != static_cast<float>(c0);
            if (differ) {
                fused_matters.push_back(bits);
            }
        }
    }
    std::vector<std::uint32_t> out = {
        0x00000000U, 0x80000000U, 0x00000001U, 0x807FFFFFU,  // zeros, subnormals
        detail::kTinyBits - 1, detail::kTinyBits, 0x3F3FFFFFU, 0x3F400000U,  // branch edges
        detail::kLibraryBits - 1, detail::kLibraryBits | 0x80000000U,
        0x40C90FDBU, 0x41490FDBU, 0xC0C90FDBU,  // 2*pi, 4*pi, -2*pi
        0x7F800000U, 0xFF800000U, 0x7FC00001U, 0xFFA00002U};  // infinities, NaNs
    for (auto* q : {&sin_hard, &cos_hard}) {
        for (; !q->empty(); q->pop()) out.push_back(q->top().second);
    }
    out.insert(out.end(), fused_matters.begin(), fused_matters.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    std::printf("// Written by scripts/prove_phases.sh --self-test-inputs.\n");
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::printf("0x%08XU,%s", out[i], (i % 6 == 5 || i + 1 == out.size()) ? "\n" : " ");
    }
    std::fprintf(stderr, "%zu inputs; %zu where the build without FMA rounds differently\n", out.size(),
                 fused_matters.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1 && std::strcmp(argv[1], "--self-test-inputs") == 0) return print_self_test_inputs(112);
    return prove(argc > 1 && std::strcmp(argv[1], "--all") == 0);
}
