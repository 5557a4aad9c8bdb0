#include "core/algebra.hpp"

#include <algorithm>
#include <cmath>
#include <ranges>

#include "core/best_match.hpp"
#include "core/scan.hpp"
#include "core/fault.hpp"

namespace tessarin {

Hypervector hdc_bind(HvView a, HvView b) {
    const std::size_t m = std::min(a.size(), b.size());
    Hypervector out(m);
    multiply_each_in_order(a, b, out);
    return out;
}

Hypervector hdc_unbind(HvView compound, HvView key) {
    const std::size_t m = std::min(compound.size(), key.size());
    Hypervector out(m);
    multiply_each_in_order(key, compound, out);
    return out;
}

Hypervector hdc_bundle(HvView a, HvView b) {
    const std::size_t m = std::min(a.size(), b.size());
    Hypervector out(m);
    for (std::size_t i = 0; i < m; ++i) {
        const float s = a[i] + b[i];
        out[i] = s > 0.0f ? 1.0f : (s < 0.0f ? -1.0f : 0.0f);
    }
    return out;
}

Hypervector hdc_permute(HvView v, std::int64_t n) {
    const std::size_t len = v.size();
    Hypervector out(v.begin(), v.end());
    if (len == 0) return out;
    const auto l = static_cast<std::int64_t>(len);
    const auto k = static_cast<std::size_t>(((n % l) + l) % l);
    std::rotate(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(len - k), out.end());
    return out;
}

void rotate_right(std::span<float> v, std::uint64_t k) {
    if (k > v.size()) fault(kRotationTooLong);
    const auto shift = static_cast<std::ptrdiff_t>(v.size() - static_cast<std::size_t>(k));
    std::rotate(v.begin(), v.begin() + shift, v.end());
}

float dot(HvView a, HvView b) { return ordered_dot(0.0f, a, b); }

float resonance(HvView a, HvView b) {
    return resonance_of(ordered_dot_over(0.0f, a, b, static_cast<float>(a.size())));
}

Hypervector normalise_bipolar(HvView v) {
    float largest = 1e-9f;
    for (const float x : v) {
        const float a = std::fabs(x);
        if (a > largest) largest = a;
    }
    Hypervector out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] / largest;
    return out;
}

Match codebook_cleanup(HvView v, std::span<const Hypervector> codebook) {
    std::vector<float> scores(codebook.size());
    resonances(v, codebook, scores);
    return best_score(scores, kBelowEveryScore);
}

}  // namespace tessarin
