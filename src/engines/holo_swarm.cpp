#include "engines/holo_swarm.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "core/best_match.hpp"
#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/scan.hpp"
#include "core/siphash.hpp"
#include "core/undo_guard.hpp"

namespace tessarin {

namespace {

// Result of resonate for a swarm that has no agents to name.
constexpr std::string_view kNoAgent = "none";

// Grows capacity geometrically ahead of a push_back, so that the push_back
// itself cannot throw and a registry row is appended to all six lists or none.
template <class T>
void make_room_for_one(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(4, 2 * v.size()));
}

// The codebook entry that best resonates with v (start -2, first of equal
// scores); `scores` is scratch space reused across iterations.
Match cleanup(HvView v, const RowStore& codebook, std::vector<float>& scores) {
    scores.resize(codebook.size());
    resonances(v, codebook, scores);
    return best_score(scores, kBelowEveryScore);
}

}  // namespace

std::uint64_t role_shift(std::string_view role, std::uint64_t dim) {
    return checked_rem(string_digest(role), dim);
}

std::uint64_t role_unshift(std::uint64_t k, std::uint64_t dim) { return checked_rem(dim - k, dim); }

HoloSwarm::HoloSwarm(std::uint64_t dim) : dim_(dim), swarm_(zeroed<float>(dim)) {}

void HoloSwarm::add_agent(std::string role, Hypervector r_hv, std::string policy, Hypervector p_hv,
                          std::string skill, Hypervector s_hv) {
    // Everything that can fault or allocate runs before the first change.
    const std::uint64_t shift = role_shift(role, dim_);
    Hypervector bound = hdc_bind(r_hv, hdc_bind(p_hv, s_hv));
    rotate_right(bound, shift);
    make_room_for_one(role_names_);
    make_room_for_one(policy_names_);
    make_room_for_one(skill_names_);
    // The vector stores copy the rows in; a failed append undoes the others.
    role_vectors_.push_back(r_hv);
    UndoGuard undo_role([this] { role_vectors_.pop_back(); });
    policy_vectors_.push_back(p_hv);
    UndoGuard undo_policy([this] { policy_vectors_.pop_back(); });
    skill_vectors_.push_back(s_hv);
    undo_role.keep();
    undo_policy.keep();

    // The swarm vector may have been replaced by one of another length, and
    // dim bounds it too.
    const auto m = static_cast<std::size_t>(std::min<std::uint64_t>({dim_, swarm_.size(), bound.size()}));
    add_each_in_order(std::span(bound).first(m), swarm_, std::span(swarm_).first(m));

    role_names_.push_back(std::move(role));
    policy_names_.push_back(std::move(policy));
    skill_names_.push_back(std::move(skill));
}

ResonatorResult HoloSwarm::resonate(const std::string& role_key, const Hypervector& p_guess,
                                    const Hypervector& /*s_guess*/, std::uint64_t max_iter) const {
    if (role_vectors_.empty()) {
        return {std::string(kNoAgent), std::string(kNoAgent), std::string(kNoAgent), 0.0f};
    }
    // The unrotation assumes the swarm vector still has length dim; one set
    // to another length is rotated all the same, and only a rotation longer
    // than the vector faults.
    Hypervector unrotated = swarm_;
    rotate_right(unrotated, role_unshift(role_shift(role_key, dim_), dim_));

    // An unknown role factorises with an all-zero role vector, which makes
    // every estimate zero and every similarity 0.5.
    const auto found = std::find(role_names_.begin(), role_names_.end(), role_key);
    const bool known = found != role_names_.end();
    const auto ri = known ? static_cast<std::size_t>(std::distance(role_names_.begin(), found)) : 0;
    const Hypervector role = known ? role_vectors_.row(ri) : zeroed<float>(dim_);

    // The products group as U ⊙ (R ⊙ X): the swarm is real-valued, so the
    // grouping changes the rounding and cannot be hoisted out of the loop.
    Hypervector policy = p_guess;
    Hypervector skill;
    std::vector<float> scores;
    std::uint64_t skill_index = 0;
    Match policy_match{0, 0.0f};
    // One iteration: four binds and two codebook scans over the agents, each
    // over the vector's length.
    const std::uint64_t units_per_iteration = (4 + 2 * std::uint64_t{role_vectors_.size()}) * (unrotated.size() + 1);
    CancelPoll poll;
    for (std::uint64_t iter = 0; iter < max_iter; ++iter) {
        poll.tick(units_per_iteration);
        skill_index = cleanup(hdc_bind(unrotated, hdc_bind(role, policy)), skill_vectors_, scores).index;
        skill_vectors_.copy_row(skill_index, skill);
        policy_match = cleanup(hdc_bind(unrotated, hdc_bind(role, skill)), policy_vectors_, scores);
        policy_vectors_.copy_row(policy_match.index, policy);
    }
    return {role_names_[ri], policy_names_[policy_match.index], skill_names_[skill_index], policy_match.score};
}

void HoloSwarm::add_paradox_trap(std::vector<std::string> names, std::vector<Hypervector> roles,
                                 std::vector<Hypervector> keys) {
    const std::size_t n = names.size();
    if (n < 2) return;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t next = i + 1 == n ? 0 : i + 1;
        const Hypervector& role = checked_at(roles, i);
        const Hypervector& next_role = checked_at(roles, next);
        Hypervector& key = checked_at(keys, i);
        add_agent(names[i], role, std::string(kParadoxLink), std::move(key), names[next], next_role);
    }
}

std::vector<std::pair<std::string, float>> HoloSwarm::materialize(const Hypervector& probe,
                                                                  float threshold) const {
    std::vector<float> sims(role_vectors_.size());
    resonances(probe, role_vectors_, sims);
    std::vector<std::pair<std::string, float>> hits;
    for (std::size_t i = 0; i < sims.size(); ++i) {
        const float sim = sims[i];
        if (sim > threshold) hits.emplace_back(role_names_[i], sim);
    }
    // NaN similarities never pass the threshold, so the order is total here.
    std::stable_sort(hits.begin(), hits.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return hits;
}

SwarmAgent HoloSwarm::agent(std::uint64_t i) const {
    checked_at(role_names_, i);
    const auto row = static_cast<std::size_t>(i);
    return SwarmAgent{role_names_[row],          role_vectors_.row(row), policy_names_[row],
                      policy_vectors_.row(row), skill_names_[row],      skill_vectors_.row(row)};
}

}  // namespace tessarin
