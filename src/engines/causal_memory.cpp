#include "engines/causal_memory.hpp"

#include <algorithm>
#include <cstddef>
#include <ranges>
#include <utility>

#include "core/best_match.hpp"
#include "core/dot_from.hpp"
#include "core/fault.hpp"
#include "core/generators.hpp"
#include "core/siphash.hpp"
#include "core/xorshift_stream.hpp"

namespace tessarin {
namespace {

constexpr std::string_view kCauseRoleLabel = "__CAUSE_ROLE__";
constexpr std::string_view kEffectRoleLabel = "__EFFECT_ROLE__";
constexpr std::string_view kTemporalRoleLabel = "__TEMPORAL_ROLE__";

// Scores are compared against this floor; a record must also score above zero
// to be returned, so the floor only has to lie below every positive score.
constexpr float kNoMatch = -1.0f;

// The score of a stored vector for a probe: the dot product over the common
// prefix, summed from -0.0f, divided by the probe's own length. An empty probe
// gives NaN, which never matches.
float causal_score(HvView probe, HvView stored) {
    return dot_from(-0.0f, probe, stored) / static_cast<float>(probe.size());
}

// Every index of `v`, in order.
template <class T>
auto every_index(const std::vector<T>& v) {
    return std::views::iota(std::uint64_t{0}, std::uint64_t{v.size()});
}

// Which vector of a record a probe is scored against.
using RecordField = Hypervector CausalRecord::*;

// The effect of the candidate record whose `field` scores best for `probe`,
// if that score is positive.
template <class Candidates>
std::optional<Hypervector> effect_of_best(const std::vector<CausalRecord>& records, Candidates&& candidates,
                                          HvView probe, RecordField field) {
    const Match best = best_match(std::forward<Candidates>(candidates), kNoMatch,
                                  [&](std::uint64_t j) { return causal_score(probe, records[j].*field); });
    if (best.score > 0.0f) return records[best.index].effect;
    return std::nullopt;
}

struct Candidate {
    std::uint64_t record;
    float score;
};

// Every candidate record whose `field` scores above zero for `probe`, in scan order.
template <class Candidates>
std::vector<Candidate> positive_candidates(const std::vector<CausalRecord>& records, Candidates&& candidates,
                                           HvView probe, RecordField field) {
    std::vector<Candidate> out;
    for (const std::uint64_t j : candidates) {
        const float s = causal_score(probe, records[j].*field);
        if (s > 0.0f) out.push_back(Candidate{j, s});
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
    // The trace reads the first `dim` components of all three vectors. A short
    // one is refused before anything changes, reported as the read that would
    // have run past its end.
    const std::size_t shortest = std::min({cause.size(), effect.size(), time.size()});
    if (shortest < dim_) index_out_of_bounds(shortest, shortest);

    const std::uint64_t fc = hv_hash(cause);
    const std::uint64_t fe = hv_hash(effect);
    const std::uint64_t j = records_.size();
    records_.push_back(CausalRecord{std::move(cause), std::move(effect), std::move(time)});
    try {
        cause_index_[fc].push_back(j);
        try {
            effect_index_[fe].push_back(j);
        } catch (...) {
            cause_index_[fc].pop_back();
            throw;
        }
    } catch (...) {
        records_.pop_back();
        throw;
    }

    const CausalRecord& r = records_.back();
    for (std::size_t i = 0; i < trace_.size(); ++i) {
        const float bound = (cause_role_[i] * r.cause[i] + effect_role_[i] * r.effect[i]) +
                            temporal_role_[i] * r.time[i];
        trace_[i] = trace_[i] + bound;
    }
}

Hypervector CausalMemory::holographic_probe(HvView role, HvView query) const {
    return hdc_bind(hdc_bind(role, query), trace_);
}

std::optional<Hypervector> CausalMemory::query_effect(HvView cause) const {
    if (records_.empty()) return std::nullopt;
    if (const auto it = cause_index_.find(hv_hash(cause)); it != cause_index_.end()) {
        if (auto effect = effect_of_best(records_, it->second, cause, &CausalRecord::cause)) return effect;
    }
    return effect_of_best(records_, every_index(records_), holographic_probe(cause_role_, cause),
                          &CausalRecord::effect);
}

std::vector<Hypervector> CausalMemory::query_cause(HvView effect) const {
    if (records_.empty()) return {};
    std::vector<Candidate> found;
    if (const auto it = effect_index_.find(hv_hash(effect)); it != effect_index_.end()) {
        found = positive_candidates(records_, it->second, effect, &CausalRecord::effect);
    }
    if (found.empty()) {
        found = positive_candidates(records_, every_index(records_), holographic_probe(effect_role_, effect),
                                    &CausalRecord::cause);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    std::vector<Hypervector> causes;
    causes.reserve(found.size());
    for (const Candidate& c : found) causes.push_back(records_[c.record].cause);
    return causes;
}

std::optional<Hypervector> CausalMemory::query_by_time(HvView time) const {
    if (records_.empty()) return std::nullopt;
    // Times are not indexed: the exact path scans every record.
    if (auto effect = effect_of_best(records_, every_index(records_), time, &CausalRecord::time)) {
        return effect;
    }
    return effect_of_best(records_, every_index(records_), holographic_probe(temporal_role_, time),
                          &CausalRecord::effect);
}

}  // namespace tessarin
