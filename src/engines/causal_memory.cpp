#include "engines/causal_memory.hpp"

#include <algorithm>
#include <cstddef>
#include <ranges>
#include <span>
#include <utility>

#include "core/best_match.hpp"
#include "core/cancel.hpp"
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

// score_of, ticking a poll by `units` for each candidate scored: many
// records may share a fingerprint, and each is scored on its own.
template <class ScoreOf>
auto polled(CancelPoll& poll, std::uint64_t units, ScoreOf& score_of) {
    return [&poll, units, &score_of](std::uint64_t j) {
        poll.tick(units);
        return score_of(j);
    };
}

// The best candidate record (start -1: a record must also score above zero
// to be returned, so the floor only has to lie below every positive score).
template <class Candidates, class ScoreOf>
std::optional<CausalMatch> best_positive(Candidates&& candidates, std::uint64_t units, ScoreOf&& score_of) {
    CancelPoll poll;
    const Match best =
        best_match(std::forward<Candidates>(candidates), kBelowEveryPositiveScore, polled(poll, units, score_of));
    if (best.score > 0.0f) return CausalMatch{best.index, best.score};
    return std::nullopt;
}
std::optional<CausalMatch> best_positive(std::span<const float> scores) {
    const Match best = best_score(scores, kBelowEveryPositiveScore);
    if (best.score > 0.0f) return CausalMatch{best.index, best.score};
    return std::nullopt;
}

// Every candidate whose score is above zero, in scan order.
template <class Candidates, class ScoreOf>
std::vector<CausalMatch> positive(Candidates&& candidates, std::uint64_t units, ScoreOf&& score_of) {
    std::vector<CausalMatch> out;
    CancelPoll poll;
    const auto score = polled(poll, units, score_of);
    for (const std::uint64_t j : candidates) {
        const float s = score(j);
        if (s > 0.0f) out.push_back(CausalMatch{j, s});
    }
    return out;
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
    require_lengths(cause, effect, time);
    add_record(cause, effect, time);
    add_to_trace(cause, effect, time);
}

void CausalMemory::require_lengths(HvView cause, HvView effect, HvView time) const {
    // The trace reads the first `dim` components of all three vectors. A short
    // one is refused before anything changes, reported as the read that would
    // have run past its end.
    const std::size_t shortest = std::min({cause.size(), effect.size(), time.size()});
    if (shortest < dim_) index_out_of_bounds(shortest, shortest);
}

void CausalMemory::add_record(HvView cause, HvView effect, HvView time) {
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
}

void CausalMemory::add_to_trace(HvView cause, HvView effect, HvView time) {
    require_lengths(cause, effect, time);
    for (std::size_t i = 0; i < trace_.size(); ++i) {
        const float bound = add_in_order(add_in_order(mul_in_order(cause_role_[i], cause[i]),
                                                      mul_in_order(effect_role_[i], effect[i])),
                                         mul_in_order(temporal_role_[i], time[i]));
        trace_[i] = add_in_order(trace_[i], bound);
    }
}

Hypervector CausalMemory::holographic_probe(CausalRole role, HvView query) const {
    const Hypervector& bound = role == CausalRole::cause    ? cause_role_
                               : role == CausalRole::effect ? effect_role_
                                                            : temporal_role_;
    return hdc_bind(hdc_bind(bound, query), trace_);
}

std::optional<CausalMatch> CausalMemory::exact_effect_match(HvView cause) const {
    return best_positive(cause_index_.records(hv_hash(cause)), cause.size() + 1,
                         [&](std::uint64_t c) { return causal_score(cause, causes_, c); });
}

std::optional<CausalMatch> CausalMemory::exact_time_match(HvView time) const {
    // Times are not indexed: the exact path scans every record.
    return best_positive(causal_scores(time, times_));
}

std::vector<CausalMatch> CausalMemory::exact_cause_matches(HvView effect) const {
    return positive(effect_index_.records(hv_hash(effect)), effect.size() + 1,
                    [&](std::uint64_t c) { return causal_score(effect, effects_, c); });
}

std::optional<CausalMatch> CausalMemory::probed_effect_match(HvView probe) const {
    return best_positive(causal_scores(probe, effects_));
}

std::vector<CausalMatch> CausalMemory::probed_cause_matches(HvView probe) const {
    const std::vector<float> scores = causal_scores(probe, causes_);
    return positive(std::views::iota(std::uint64_t{0}, std::uint64_t{scores.size()}), 1,
                    [&](std::uint64_t j) { return scores[j]; });
}

void rank_causal_matches(std::vector<CausalMatch>& matches) {
    std::stable_sort(matches.begin(), matches.end(),
                     [](const CausalMatch& a, const CausalMatch& b) { return a.score > b.score; });
}

std::optional<Hypervector> CausalMemory::query_effect(HvView cause) const {
    if (causes_.empty()) return std::nullopt;
    auto best = exact_effect_match(cause);
    if (!best) best = probed_effect_match(holographic_probe(CausalRole::cause, cause));
    if (best) return effects_.row(best->record);
    return std::nullopt;
}

std::vector<Hypervector> CausalMemory::query_cause(HvView effect) const {
    if (causes_.empty()) return {};
    std::vector<CausalMatch> found = exact_cause_matches(effect);
    if (found.empty()) found = probed_cause_matches(holographic_probe(CausalRole::effect, effect));
    rank_causal_matches(found);
    std::vector<Hypervector> causes;
    causes.reserve(found.size());
    // Many long causes take long to copy out (67 MB of them about 80 ms).
    CancelPoll poll;
    for (const CausalMatch& c : found) {
        causes.push_back(causes_.row(c.record));
        poll.tick(causes.back().size() + 1);
    }
    return causes;
}

std::optional<Hypervector> CausalMemory::query_by_time(HvView time) const {
    if (causes_.empty()) return std::nullopt;
    auto best = exact_time_match(time);
    if (!best) best = probed_effect_match(holographic_probe(CausalRole::time, time));
    if (best) return effects_.row(best->record);
    return std::nullopt;
}

}  // namespace tessarin
