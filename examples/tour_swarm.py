"""The agent swarm: agents superposed in one vector, then factorised back out."""
import tessarin_hdc as hdc

DIM = 4096
CREW = [
    ("scout", "explore", "map"),
    ("medic", "protect", "heal"),
    ("smith", "build", "forge"),
    ("envoy", "negotiate", "translate"),
]


def hv(name):
    return hdc.hv_hash_string(name, DIM)


def demo(section, show):
    section("Agent swarm: superpose, then factorise")
    swarm = hdc.PyHoloSwarm(DIM)
    for role, policy, skill in CREW:
        swarm.add_agent(role, hv(role), policy, hv(policy), skill, hv(skill))
    v = swarm.swarm_vector
    show(f"{len(CREW)} agents superposed in one vector", f"{len(v)} components, range {min(v):+.0f}..{max(v):+.0f}")

    # Knowing only the role and the true policy, the resonator names the skill.
    role, policy, skill, score = swarm.resonate("medic", hv("protect"), [], 1)
    show("resonate('medic', its policy, 1 iteration)", f"{role} / {policy} / {skill}  score {score:.3f}")

    # Without the policy, start from the superposition of every known policy:
    # the true one is in it, so the first skill estimate already leans its way.
    every_policy = [sum(column) for column in zip(*(hv(p) for _, p, _ in CREW))]
    role, policy, skill, score = swarm.resonate("smith", every_policy, [], 3)
    show("resonate('smith', all policies, 3 iters)", f"{role} / {policy} / {skill}  score {score:.3f}")

    show("resonate for an unknown role", swarm.resonate("ghost", hv("explore"), [], 1))
    show("materialize(scout's role vector, 0.9)", swarm.materialize(hv("scout"), 0.9))

    section("Paradox ring: each role's skill is the next role")
    ring = hdc.PyHoloSwarm(DIM)
    names = ["liar", "truth", "doubt"]
    ring.add_paradox_trap(names, [hv(n) for n in names], [hv(n + "_key") for n in names])
    for n in names:
        role, policy, skill, _ = ring.resonate(n, hv(n + "_key"), [], 1)
        show(f"resonate('{n}')", f"{role} -[{policy}]-> {skill}")
