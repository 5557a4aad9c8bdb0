#include "core/simd_target.hpp"

#include <array>
#include <atomic>
#include <cstddef>

#include "core/fault.hpp"

namespace tessarin {
namespace {

// -1: not probed yet. Otherwise the SimdTarget value in use.
std::atomic<int> g_active{-1};

bool probe(SimdTarget t) {
    switch (t) {
        case SimdTarget::scalar:
            return true;
#if defined(__x86_64__) && defined(__GNUC__)
        case SimdTarget::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case SimdTarget::avx512:
            // The AVX-512 target also runs some AVX2 kernels.
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
                   __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
        case SimdTarget::avx512pop:
            // Runs the AVX-512 target's kernels too.
            return probe(SimdTarget::avx512) && __builtin_cpu_supports("avx512vpopcntdq");
#else
        default:
            return false;
#endif
    }
    return false;
}

struct Supported {
    std::array<SimdTarget, 4> targets{};
    std::size_t count = 0;
};

const Supported& supported() {
    static const Supported s = [] {
        Supported out;
        for (const SimdTarget t : {SimdTarget::scalar, SimdTarget::avx2, SimdTarget::avx512, SimdTarget::avx512pop}) {
            if (probe(t)) out.targets[out.count++] = t;
        }
        return out;
    }();
    return s;
}

}  // namespace

std::string_view simd_target_name(SimdTarget t) {
    switch (t) {
        case SimdTarget::scalar:
            return "scalar";
        case SimdTarget::avx2:
            return "avx2";
        case SimdTarget::avx512:
            return "avx512";
        case SimdTarget::avx512pop:
            return "avx512pop";
    }
    return "unknown";
}

bool simd_target_supported(SimdTarget t) {
    for (const SimdTarget s : supported_simd_targets()) {
        if (s == t) return true;
    }
    return false;
}

std::span<const SimdTarget> supported_simd_targets() {
    const Supported& s = supported();
    return {s.targets.data(), s.count};
}

SimdTarget active_simd_target() {
    int t = g_active.load(std::memory_order_relaxed);
    if (t < 0) {
        t = static_cast<int>(supported_simd_targets().back());
        g_active.store(t, std::memory_order_relaxed);
    }
    return static_cast<SimdTarget>(t);
}

ScopedSimdTarget::ScopedSimdTarget(SimdTarget t) : previous_(static_cast<int>(active_simd_target())) {
    if (!simd_target_supported(t)) fault("SIMD target not supported: " + std::string(simd_target_name(t)));
    g_active.store(static_cast<int>(t), std::memory_order_relaxed);
}

ScopedSimdTarget::~ScopedSimdTarget() { g_active.store(previous_, std::memory_order_relaxed); }

}  // namespace tessarin
