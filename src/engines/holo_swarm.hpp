// The agent swarm: a population of role/policy/skill agents superposed in one
// vector, with a registry of the agents' names and vectors that serves as the
// codebooks for factorising an agent back out (the resonator network).
//
// Each agent enters the swarm as r ⊙ (p ⊙ s) rotated right by its role shift
// (the role name's digest modulo dim) and summed in, unscaled. Rotating by a
// role-specific amount is what lets one role's agent be pulled out while the
// others, rotated differently, remain as noise.
//
// Costs, for n agents of dim d: add_agent is O(d) and keeps three rows (d / 8
// bytes each when exactly bipolar, 4 * d otherwise); resonate is
// O(max_iter * n * d), each iteration four binds and two codebook scans run
// many agents per pass (core/scan.hpp); materialize is one such scan; agent(i)
// copies three rows. Scans poll and may unwind with Cancelled; std::bad_alloc
// can come from any member that allocates, and a changing member that fails
// leaves the swarm as it was unless its comment says otherwise.
//
// Threads: a plain object without locks. Const members change nothing and may
// run concurrently; a non-const member needs every other use excluded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/algebra.hpp"
#include "core/row_store.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

// Right rotation applied to the agents of a role: string_digest(role) mod dim.
// Faults with the remainder-by-zero message when dim is 0.
std::uint64_t role_shift(std::string_view role, std::uint64_t dim);

// The right rotation that undoes a shift k < dim: (dim - k) mod dim, in 64 bits
// so that every dim a swarm can have behaves alike.
std::uint64_t role_unshift(std::uint64_t k, std::uint64_t dim);

// One registry row, as the agent was added (vectors unrotated).
struct SwarmAgent {
    std::string role;
    Hypervector role_vector;
    std::string policy;
    Hypervector policy_vector;
    std::string skill;
    Hypervector skill_vector;
};

// (role name, policy name, skill name, last policy similarity).
using ResonatorResult = std::tuple<std::string, std::string, std::string, float>;

class HoloSwarm {
public:
    // The policy name of every agent that add_paradox_trap registers.
    static constexpr std::string_view kParadoxLink = "PARADOX_LINK";

    // A swarm vector of dim zeros and no agents; Fault "capacity overflow" for
    // a dim no address space could hold.
    explicit HoloSwarm(std::uint64_t dim);

    std::uint64_t dim() const { return dim_; }

    // The swarm vector by reference, valid until the next non-const call: a
    // huge one is read where it lies rather than copied first (the binding
    // converts it in place, interruptibly).
    const Hypervector& swarm_vector() const { return swarm_; }
    // Replaces the swarm vector with v, whatever its length; dim and the
    // registry are kept.
    void set_swarm_vector(Hypervector v) { swarm_ = std::move(v); }

    // Adds r_hv ⊙ (p_hv ⊙ s_hv), rotated right by role_shift(role, dim), into
    // the swarm vector over the common prefix of dim, the swarm vector and the
    // bound vector, then registers the agent. Faults: dim 0 (the
    // remainder-by-zero message) or a shift longer than the bound vector
    // ("assertion failed: k <= self.len()"); on those and on std::bad_alloc
    // neither the swarm vector nor the registry changes. Never polls.
    void add_agent(std::string role, Hypervector r_hv, std::string policy, Hypervector p_hv,
                   std::string skill, Hypervector s_hv);

    // Factorises the agent of role_key out of the swarm: undoes the role's
    // rotation, then for exactly max_iter iterations snaps the skill estimate
    // U ⊙ (R ⊙ P) to the skill codebook and the policy estimate U ⊙ (R ⊙ S) to
    // the policy codebook. R is the first registered role vector named
    // role_key, or dim zeros when no role has that name (the first agent's role
    // name is reported then). Returns ("none", "none", "none", 0) for a swarm
    // without agents. s_guess is accepted for the caller's symmetry and unused.
    // A swarm vector set shorter than the role's unrotation faults with the
    // rotation message; long runs may unwind with Cancelled.
    ResonatorResult resonate(const std::string& role_key, const Hypervector& p_guess,
                             const Hypervector& s_guess, std::uint64_t max_iter) const;

    // Registers the ring names[0] -> names[1] -> ... -> names[0]: agent i has
    // role names[i] with roles[i], policy kParadoxLink with keys[i], and skill
    // names[i+1] with roles[i+1]. Fewer than two names add nothing. Positions
    // are added one at a time, so a fault at position i (a missing roles or
    // keys entry, "index out of bounds: ...", or an add_agent fault) leaves
    // positions 0..i-1 added: the one changing member that is not all or
    // nothing.
    void add_paradox_trap(std::vector<std::string> names, std::vector<Hypervector> roles,
                          std::vector<Hypervector> keys);

    // The agents whose role vector scores resonance(probe, role) strictly
    // above threshold, as (role name, score), highest score first, equal
    // scores in registry order. One scan over the role vectors, O(n * d);
    // may unwind with Cancelled.
    std::vector<std::pair<std::string, float>> materialize(const Hypervector& probe,
                                                           float threshold) const;

    std::uint64_t agent_count() const { return role_names_.size(); }
    // The components the registry holds in all (its rows may be longer than
    // dim): what resonate copies out of it per iteration at most.
    std::uint64_t registry_components() const {
        return role_vectors_.components() + policy_vectors_.components() + skill_vectors_.components();
    }
    // A copy of registry row i; faults with the index message when out of range.
    SwarmAgent agent(std::uint64_t i) const;

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::holo_swarm;
    static HoloSwarm from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static HoloSwarm read_state(SnapshotReader& r, std::uint64_t dim);

private:
    std::uint64_t dim_;
    Hypervector swarm_;
    // Parallel lists, row i describing agent i; the vector stores double as
    // the resonator's codebooks and are laid out for scanning.
    std::vector<std::string> role_names_;
    RowStore role_vectors_;
    std::vector<std::string> policy_names_;
    RowStore policy_vectors_;
    std::vector<std::string> skill_names_;
    RowStore skill_vectors_;
};

}  // namespace tessarin
