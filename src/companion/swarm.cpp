#include "engines/holo_swarm.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = HoloSwarm;
using C = ClassBuilder<E, "Swarm(dim)",
                       "Agents superposed in one swarm vector: tessarin_hdc.PyHoloSwarm with arrays out, len(), and\n"
                       "every fault refused as ValueError before anything changes.",
                       Threading::Shared, "tessarin">;

// An agent's bound vector r ⊙ (p ⊙ s) is as long as the shortest of the three
// and is rotated right by the role's shift, which must not exceed it.
void check_agent(const E& s, const char* method, const std::string& role, std::size_t shortest) {
    if (s.dim() == 0) {
        refuse(std::string(method) + ": a swarm of dim 0 cannot place an agent (its rotation is taken modulo dim)");
    }
    const std::uint64_t shift = role_shift(role, s.dim());
    if (shift > shortest) {
        refuse(std::string(method) + ": role '" + role + "' rotates by " + std::to_string(shift) +
               " components, but its shortest vector has only " + std::to_string(shortest));
    }
}

void add_agent(E& s, std::string role, Hypervector r_hv, std::string policy, Hypervector p_hv, std::string skill,
               Hypervector s_hv) {
    check_agent(s, "add_agent", role, std::min({r_hv.size(), p_hv.size(), s_hv.size()}));
    s.add_agent(std::move(role), std::move(r_hv), std::move(policy), std::move(p_hv), std::move(skill),
                std::move(s_hv));
}

// Every position is checked before the first agent is added.
void add_paradox_trap(E& s, std::vector<std::string> names, std::vector<Hypervector> roles,
                      std::vector<Hypervector> keys) {
    const std::size_t n = names.size();
    if (n >= 2) {
        if (roles.size() < n || keys.size() < n) {
            refuse("add_paradox_trap: " + std::to_string(n) + " names need as many roles and keys; got " +
                   std::to_string(roles.size()) + " roles and " + std::to_string(keys.size()) + " keys");
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t next = i + 1 == n ? 0 : i + 1;
            check_agent(s, "add_paradox_trap", names[i],
                        std::min({roles[i].size(), keys[i].size(), roles[next].size()}));
        }
    }
    s.add_paradox_trap(std::move(names), std::move(roles), std::move(keys));
}

ResonatorResult resonate(const E& s, const std::string& role_key, const Hypervector& p_guess,
                         const Hypervector& s_guess, std::uint64_t max_iter) {
    if (s.agent_count() > 0) {
        if (s.dim() == 0) refuse("resonate: a swarm of dim 0 cannot undo a role's rotation");
        const std::uint64_t back = role_unshift(role_shift(role_key, s.dim()), s.dim());
        if (back > s.swarm_vector().size()) {
            refuse("resonate: undoing role '" + role_key + "' rotates by " + std::to_string(back) +
                   " components, but the swarm vector has only " + std::to_string(s.swarm_vector().size()));
        }
    }
    return s.resonate(role_key, p_guess, s_guess, max_iter);
}

FloatArray swarm_vector(const E& s) { return as_array(Hypervector(s.swarm_vector())); }

// A scan of every agent's row, none scored past the query's length.
std::uint64_t scan_units(const E& s, std::uint64_t query_length) {
    return saturating_product(s.agent_count() + 1, query_length + 1);
}

// Per iteration: four binds and two scans over the swarm vector's length, and
// a row each copied out of the registry (rows may be longer than dim). A count
// of iterations past kReleaseWorkUnits is long whatever the swarm: it is
// capped before it multiplies.
std::uint64_t resonate_units(const E& s, const std::string&, const Hypervector&, const Hypervector&,
                             std::uint64_t max_iter) {
    if (s.agent_count() == 0) return 0;  // answered at once
    const std::uint64_t length = s.swarm_vector().size();
    const std::uint64_t binds = saturating_product(4, length + 1);
    const std::uint64_t passes = saturating_sum(binds, saturating_product(2, scan_units(s, length)));
    const std::uint64_t iteration = saturating_sum(passes, s.registry_components());
    return saturating_product(std::min(max_iter, kReleaseWorkUnits), iteration);
}

}  // namespace

const ClassDef swarm_class = C::define(
    C::constructor<&sized_engine<E>>(),
    C::method<"get_swarm_vector($self)", &swarm_vector, "The swarm vector, as a float32 array.">(),
    C::method<"add_agent($self, role, r_hv, policy, p_hv, skill, s_hv)", &add_agent,
              "Adds r_hv ⊙ (p_hv ⊙ s_hv), rotated by the role's shift, and registers the agent.">(),
    C::method<"add_paradox_trap($self, names, roles, keys)", &add_paradox_trap,
              "Adds a ring of agents, name i linked to name i + 1; checks every position before adding any.">(),
    C::long_method<"resonate($self, role_key, p_guess, _s_guess, max_iter)", &resonate,
                   "(role, policy, skill, score): factorises the swarm vector for a role.", &resonate_units>(),
    C::long_method<"materialize($self, probe, threshold)", &E::materialize,
                   "[(role, similarity)] of the agents whose role resonates with the probe above threshold.",
                   +[](const E& s, const Hypervector& probe, float) { return scan_units(s, probe.size()); }>(),
    C::property<"dim", &E::dim>(),
    C::property<"swarm_vector", &swarm_vector, &E::set_swarm_vector, "v">(),
    C::length<&E::agent_count>(),
    C::repr<+[](const E& e) { return engine_repr("Swarm", e.dim(), "agents", e.agent_count()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
