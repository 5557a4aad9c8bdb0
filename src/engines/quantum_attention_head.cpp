#include "engines/quantum_attention_head.hpp"

#include <algorithm>
#include <vector>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/scan.hpp"

namespace tessarin {

namespace {

// Below this total no key carries weight and the read-out is silent.
constexpr float kMinTotalAmplitude = 1e-9f;

// 2a - 1 for the key's similarity a to the query, when positive: zero for a
// key at or below three-quarter agreement, one for a key equal to the query.
// A NaN similarity (an empty query) gives no amplitude.
float amplitude(float a) {
    const float w = a + a - 1.0f;
    return w > 0.0f ? w : 0.0f;
}

}  // namespace

Hypervector quantum_attention(std::uint64_t dim, HvView query, std::span<const Hypervector> keys,
                              std::span<const Hypervector> values) {
    if (keys.empty() || keys.size() != values.size()) fault(kAttentionKeysMismatch);
    if (keys.size() == 1) return values[0];

    const auto n = static_cast<float>(query.size());
    // Each similarity is dot(key, query) / len(query), the key the first factor.
    std::vector<float> amplitudes(keys.size());
    ordered_dots_over(-0.0f, query, keys, n, amplitudes, Factors::record_first);
    float total = -0.0f;
    for (float& a : amplitudes) {
        a = amplitude(a);
        total = add_in_order(total, a);
    }

    Hypervector out = zeroed<float>(dim);
    if (total < kMinTotalAmplitude) return out;
    CancelPoll poll;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float weight = amplitudes[i] / total;
        const std::size_t m = std::min(values[i].size(), out.size());
        poll.tick(m);
        scale_add_each_in_order(values[i], weight, std::span(out).first(m));
    }
    return out;
}

Hypervector QuantumAttentionHead::compute(HvView query, std::span<const Hypervector> keys,
                                          std::span<const Hypervector> values) {
    return quantum_attention(dim_, query, keys, values);
}

}  // namespace tessarin
