#include "engines/causal_memory.hpp"

#include <algorithm>
#include <cstddef>
#include <ranges>
#include <span>
#include <utility>

#include "core/best_match.hpp"
#include "core/fault.hpp"
#include "core/generators.hpp"
#include "core/scan.hpp"
#include "core/siphash.hpp"
#include "core/undo_guard.hpp"
#include "core/xorshift_stream.hpp"

namespace tessarin {
namespace {

constexpr std::string_view kCauseRoleLabel = "__CAUSE_ROLE__";
constexpr std::string_view kEffectRoleLabel = "__EFFECT_ROLE__";
constexpr std::string_view kTemporalRoleLabel = "__TEMPORAL_ROLE__";

// Every candidate's score for a probe: the dot product over the common prefix,
// summed from -0.0f, divided by the probe's own length. An empty probe gives
// NaN, which never matches.
float causal_score(HvView probe, const RowStore& stored, std::uint64_t j) {
    return ordered_dot(-0.0f, probe, stored, static_cast<std::size_t>(j)) / static_cast<float>(probe.size());
}
std::vector<float> causal_scores(HvView probe, const RowStore& stored) {
    std::vector<float> scores(stored.size());
    ordered_dots_over(-0.0f, probe, stored, static_cast<float>(probe.size()), scores);
    return scores;
}

// The best candidate record (start -1: a record must also score above zero
// to be returned, so the floor only has to lie below every positive score).
template <class Candidates, class ScoreOf>
std::optional<std::uint64_t> best_positive(Candidates&& candidates, ScoreOf&& score_of) {
    const Match best = best_match(std::forward<Candidates>(candidates), kBelowEveryPositiveScore, score_of);
    if (best.score > 0.0f) return best.index;
    return std::nullopt;
}
std::optional<std::uint64_t> best_positive(std::span<const float> scores) {
    const Match best = best_score(scores, kBelowEveryPositiveScore);
    if (best.score > 0.0f) return best.index;
    return std::nullopt;
}

struct Candidate {
    std::uint64_t record;
    float score;
};

// Every candidate whose score is above zero, in scan order.
template <class Candidates, class ScoreOf>
void add_positive(std::vector<Candidate>& out, Candidates&& candidates, ScoreOf&& score_of) {
    for (const std::uint64_t j : candidates) {
        const float s = score_of(j);
        if (s > 0.0f) out.push_back(Candidate{j, s});
    }
}

}  // namespace

Hypervector role_hypervector(std::string_view label, std::uint64_t n) {
    return xorshift_bipolar_stream(SipHasher13{}.write_counted(label).finish(), n);
}

CausalMemory::CausalMemory(std::uint64_t dim)
    : trace_(zeroed<float>(dim)),
      cause_role_(role_hypervector(kCauseRoleLabel, dim)),
      effect_role_(role_hypervector(kEffectRoleLabel, dim)),
      temporal_role_(role_hypervector(kTemporalRoleLabel, dim)),
      dim_(dim) {}

void CausalMemory::store(Hypervector cause, Hypervector effect, Hypervector time) {
    // The trace reads the first `dim` components of all three vectors. A short
    // one is refused before anything changes, reported as the read that would
    // have run past its end.
    const std::size_t shortest = std::min({cause.size(), effect.size(), time.size()});
    if (shortest < dim_) index_out_of_bounds(shortest, shortest);

    const std::uint64_t fc = hv_hash(cause);
    const std::uint64_t fe = hv_hash(effect);
    // All or nothing: a step that fails undoes the steps before it.
    causes_.push_back(cause);
    UndoGuard undo_cause([this] { causes_.pop_back(); });
    effects_.push_back(effect);
    UndoGuard undo_effect([this] { effects_.pop_back(); });
    times_.push_back(time);
    UndoGuard undo_time([this] { times_.pop_back(); });
    cause_index_.reserve_one();
    effect_index_.reserve_one();
    undo_cause.keep();
    undo_effect.keep();
    undo_time.keep();
    cause_index_.add(fc);
    effect_index_.add(fe);

    for (std::size_t i = 0; i < trace_.size(); ++i) {
        const float bound = add_in_order(add_in_order(mul_in_order(cause_role_[i], cause[i]),
                                                      mul_in_order(effect_role_[i], effect[i])),
                                         mul_in_order(temporal_role_[i], time[i]));
        trace_[i] = add_in_order(trace_[i], bound);
    }
}

Hypervector CausalMemory::holographic_probe(HvView role, HvView query) const {
    return hdc_bind(hdc_bind(role, query), trace_);
}

std::optional<Hypervector> CausalMemory::query_effect(HvView cause) const {
    if (causes_.empty()) return std::nullopt;
    if (const auto j = best_positive(cause_index_.records(hv_hash(cause)),
                                     [&](std::uint64_t c) { return causal_score(cause, causes_, c); })) {
        return effects_.row(*j);
    }
    if (const auto j = best_positive(causal_scores(holographic_probe(cause_role_, cause), effects_))) {
        return effects_.row(*j);
    }
    return std::nullopt;
}

std::vector<Hypervector> CausalMemory::query_cause(HvView effect) const {
    if (causes_.empty()) return {};
    std::vector<Candidate> found;
    add_positive(found, effect_index_.records(hv_hash(effect)),
                 [&](std::uint64_t c) { return causal_score(effect, effects_, c); });
    if (found.empty()) {
        const std::vector<float> scores = causal_scores(holographic_probe(effect_role_, effect), causes_);
        add_positive(found, std::views::iota(std::uint64_t{0}, std::uint64_t{scores.size()}),
                     [&](std::uint64_t j) { return scores[j]; });
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    std::vector<Hypervector> causes;
    causes.reserve(found.size());
    for (const Candidate& c : found) causes.push_back(causes_.row(c.record));
    return causes;
}

std::optional<Hypervector> CausalMemory::query_by_time(HvView time) const {
    if (causes_.empty()) return std::nullopt;
    // Times are not indexed: the exact path scans every record.
    if (const auto j = best_positive(causal_scores(time, times_))) return effects_.row(*j);
    if (const auto j = best_positive(causal_scores(holographic_probe(temporal_role_, time), effects_))) {
        return effects_.row(*j);
    }
    return std::nullopt;
}

}  // namespace tessarin
