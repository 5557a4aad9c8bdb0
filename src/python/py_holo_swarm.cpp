#include "engines/holo_swarm.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

// The swarm owns nothing tied to a thread, so instances may be used and
// released anywhere; the borrow state still serialises conflicting uses.
using C = ClassBuilder<HoloSwarm, "PyHoloSwarm(dim)",
                       "HoloSwarm: An algebraic multi-agent coordination engine.\n"
                       "Superimposes factorized agent capabilities (Role ⊗ Policy ⊗ Skill)\n"
                       "into a single Hypervector and uses a Resonator Network to pull components.",
                       Threading::Sendable>;

}  // namespace

const ClassDef holo_swarm_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"get_swarm_vector($self)", &HoloSwarm::swarm_vector,
              "Method alias for the `swarm_vector` property, matching the public docs\n"
              "and type stubs.">(),
    C::method<"add_agent($self, role, r_hv, policy, p_hv, skill, s_hv)", &HoloSwarm::add_agent,
              "Add a factorized agent to the swarm: Role ⊗ Policy ⊗ Skill\n"
              "Uses ASS (Accumulative Spectral Synthesis) to preserve SNR across large swarms.">(),
    C::method<"add_paradox_trap($self, names, roles, keys)", &HoloSwarm::add_paradox_trap>(),
    C::method<"resonate($self, role_key, p_guess, _s_guess, max_iter)", &HoloSwarm::resonate>(),
    C::method<"materialize($self, probe, threshold)", &HoloSwarm::materialize>(),
    C::property<"dim", &HoloSwarm::dim>(),
    C::property<"swarm_vector", &HoloSwarm::swarm_vector, &HoloSwarm::set_swarm_vector, "v">());

}  // namespace tessarin::py
