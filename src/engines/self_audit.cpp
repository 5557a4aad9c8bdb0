#include "engines/self_audit.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/scan.hpp"
#include "core/text.hpp"

namespace tessarin {

namespace {

constexpr float kNearZero = 0.1f;
// Drift is more than one component in ten near zero.
constexpr std::uint64_t kDriftDivisor = 10;
// How many of the newest audited vectors the history check compares with.
constexpr std::size_t kConsistencyWindow = 5;
constexpr float kLowHistoryConsistency = 0.5f;
constexpr float kConsistencyPass = 0.7f;
constexpr float kPenaltyPerIssue = -0.1f;
constexpr int kScoreDecimals = 3;

std::uint64_t near_zero_count(HvView hv) {
    return static_cast<std::uint64_t>(
        std::count_if(hv.begin(), hv.end(), [](float x) { return std::fabs(x) < kNearZero; }));
}

// Mean of dot(hv, e) / len(hv) over the newest entries e, newest first. An
// empty hv divides by zero and yields NaN, which no threshold reports.
template <class History>
float history_consistency(HvView hv, const History& history) {
    if (history.empty()) return 1.0f;
    const auto length = static_cast<float>(hv.size());
    const std::size_t k = std::min(kConsistencyWindow, history.size());
    float sum = 0.0f;
    auto entry = history.newest_first_begin();
    for (std::size_t i = 0; i < k; ++i, ++entry) sum = add_in_order(sum, ordered_dot_over(-0.0f, hv, *entry, length));
    return sum / static_cast<float>(k);
}

float score_for(std::size_t issue_count) {
    if (issue_count == 0) return 1.0f;
    return std::max(0.0f, static_cast<float>(issue_count) * kPenaltyPerIssue + 1.0f);
}

}  // namespace

AuditResult SelfAudit::full_audit(Hypervector hv) {
    std::vector<std::string> issues;
    if (const std::uint64_t near = near_zero_count(hv); near > dim_ / kDriftDivisor) {
        issues.push_back("drift detected: " + std::to_string(near) + " elements near zero");
    }
    if (const float c = history_consistency(hv, audit_history_); c < kLowHistoryConsistency) {
        issues.push_back("low history consistency: " + fixed_point(c, kScoreDecimals));
    }
    audit_history_.push(std::move(hv));
    const float score = score_for(issues.size());
    const bool passed = issues.empty();
    return {score, passed, std::move(issues)};
}

AuditResult SelfAudit::check_consistency(HvView h1, HvView h2) const {
    const float score = resonance(h1, h2);
    std::vector<std::string> issues;
    if (score < kConsistencyPass) issues.push_back("low consistency: " + fixed_point(score, kScoreDecimals));
    return {score, score >= kConsistencyPass, std::move(issues)};
}

}  // namespace tessarin
