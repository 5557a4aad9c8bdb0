#include "engines/metacognition.hpp"

#include <utility>

#include "core/scan.hpp"
#include "core/text.hpp"

namespace tessarin {

namespace {

constexpr float kSuccessThreshold = 0.5f;
constexpr float kLowSuccessRate = 0.5f;
constexpr float kHighSuccessRate = 0.8f;
constexpr float kLowResonance = 0.4f;

constexpr float kLearningRateStep = 0.1f;
constexpr float kAttentionStep = 0.05f;
constexpr float kMomentumStep = 0.05f;
// Negative on purpose: the decrease action lowers by the magnitude anyway.
constexpr float kIdentityLrStep = -0.005f;

constexpr int kReasonDecimals = 2;

bool is_success(const MetaRecord& r) { return r.res > kSuccessThreshold && r.acc > kSuccessThreshold; }

}  // namespace

void Metacognition::record(float res, float coh, float acc, Hypervector context, std::uint64_t hash) {
    record(MetaRecord{res, coh, acc, std::make_shared<const Hypervector>(std::move(context)), hash});
}

void Metacognition::record(MetaRecord observation) {
    const std::size_t length = observation.context ? observation.context->size() : 0;
    if (length != dim_) return;
    const bool success = is_success(observation);
    if (auto dropped = meta_records_.push(std::move(observation)); dropped && is_success(*dropped)) --successes_;
    if (success) ++successes_;
}

float Metacognition::success_rate() const {
    if (meta_records_.empty()) return 0.0f;
    return static_cast<float>(successes_) / static_cast<float>(meta_records_.size());
}

float Metacognition::avg_resonance() const {
    if (meta_records_.empty()) return 0.0f;
    // A rolling float sum would round differently from the fresh ordered sum
    // once records are dropped, so the mean is recomputed over the whole log.
    float sum = -0.0f;
    for (const MetaRecord& r : meta_records_) sum = add_in_order(sum, r.res);
    return sum / static_cast<float>(meta_records_.size());
}

std::vector<Recommendation> Metacognition::recommend() const {
    const float s = success_rate();
    const float a = avg_resonance();
    const std::string rate = fixed_point(s, kReasonDecimals);
    std::vector<Recommendation> out;
    if (s < kLowSuccessRate) {
        out.emplace_back("learning_rate_increase", kLearningRateStep, "success rate " + rate + " < 50%");
        out.emplace_back("attention_increase", kAttentionStep, "increase focus");
    } else if (s > kHighSuccessRate) {
        out.emplace_back("momentum_increase", kMomentumStep, "success rate " + rate + " > 80%, reinforce");
    }
    if (a < kLowResonance) {
        out.emplace_back("identity_lr_decrease", kIdentityLrStep,
                         "avg resonance " + fixed_point(a, kReasonDecimals) + " too low");
    }
    return out;
}

}  // namespace tessarin
