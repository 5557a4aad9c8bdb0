#include "engines/holo_cpu_scheduler.hpp"

#include <cmath>
#include <utility>

#include "core/best_match.hpp"
#include "core/scan.hpp"
#include "core/fault.hpp"
#include "core/siphash.hpp"
#include "core/text.hpp"
#include "core/xorshift_stream.hpp"

namespace tessarin {

namespace {

// Above this resonance a stored concept counts as recalled; scores scale with
// the number of stored concepts, since every WV component equals that number.
constexpr float kRecallThreshold = 0.3f;

// Feedback above the midpoint raises the learning rate, at or below lowers it.
constexpr float kFeedbackMidpoint = 0.5f;
constexpr int kFeedbackDecimals = 3;

// The holographic state saturates at +-1 (a NaN would pass unchanged).
float clamp_signed_unit(float v) {
    if (v < -1.0f) v = -1.0f;
    if (v > 1.0f) v = 1.0f;
    return v;
}

}  // namespace

HoloCPUScheduler::HoloCPUScheduler(std::uint64_t dim, std::uint64_t quantum_capacity)
    : metacognition_(dim),
      wv_(zeroed<float>(dim)),
      holographic_state_(checked_count<float>(dim), 1.0f),
      dim_(dim),
      quantum_capacity_(quantum_capacity),
      head_(dim, quantum_capacity) {}

Hypervector HoloCPUScheduler::encode(std::string_view target) const {
    return xorshift_bipolar_stream(string_digest(target), dim_);
}

void HoloCPUScheduler::store_memory(std::string target) {
    const Hypervector key = encode(target);
    const Hypervector bound = hdc_bind(key, key);
    // Everything that can fail to allocate happens before the vectors change,
    // and the codebook and labels grow together or not at all.
    value_codebook_.push_back(key);
    try {
        labels_.push_back(std::move(target));
    } catch (...) {
        value_codebook_.pop_back();
        throw;
    }
    add_each_in_order(wv_, bound, wv_);
    add_each_in_order(holographic_state_, key, holographic_state_);
    for (float& v : holographic_state_) v = clamp_signed_unit(v);
}

bool HoloCPUScheduler::recall(std::string_view target) const {
    if (labels_.empty()) return false;
    const Hypervector recalled = hdc_bind(wv_, encode(target));
    std::vector<float> scores(value_codebook_.size());
    ordered_dots_over(-0.0f, recalled, value_codebook_, static_cast<float>(dim_), scores);
    return best_score(scores, kBelowEveryScore).score > kRecallThreshold;
}

void HoloCPUScheduler::process_feedback(float signal) {
    if (!feedback_context_) feedback_context_ = std::make_shared<const Hypervector>(checked_count<float>(dim_), 1.0f);
    metacognition_.record(MetaRecord{signal, signal, signal, feedback_context_, 0});
    const float x = signal - kFeedbackMidpoint;
    const char* action = x > 0.0f ? "learning_rate_increase" : "learning_rate_decrease";
    optimizer_.apply(action, std::fabs(x), feedback_reason(signal));
}

std::string HoloCPUScheduler::feedback_reason(float signal) {
    return "feedback signal: " + fixed_point(signal, kFeedbackDecimals);
}

Hypervector HoloCPUScheduler::quantum_grover_search(HvView query, std::span<const Hypervector> keys,
                                                    std::span<const Hypervector> values) {
    return head_.compute(query, keys, values);
}

Hypervector HoloCPUScheduler::generate_role(std::string_view label) const {
    // An odd digest gives +1, an even one -1. Computed rather than chosen: a
    // branch on a random bit would mispredict every other component.
    Hypervector out = zeroed<float>(dim_);
    map_indexed_digests(SipHasher13{}.write_str(label), std::span(out),
                        [](std::uint64_t h) { return static_cast<float>(2 * static_cast<int>(h & 1U) - 1); });
    return out;
}

}  // namespace tessarin
