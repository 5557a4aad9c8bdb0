"""PyHoloSwarm from Python: the superposition, the resonator, the paradox ring
and materialize, plus what only the binding decides (docstrings, argument
conversion, borrow kinds, panics, and use across threads)."""
import gc
import math

import pytest

import tessarin_hdc as hdc
from conftest import Reentry, f32, raised, run_in_thread, same_floats

# Roles whose string digests are pinned reference values, so the rotation an
# agent receives (digest mod dim) can be computed here independently.
DIGEST = {"abc": 0xEF09E0F4895A251D, "ram_role": 0x6E5F4A532A03C3A1}

NONE = ("none", "none", "none", 0.0)


def bind(a, b):
    return [f32(x * y) for x, y in zip(a, b)]


def rotated(v, k):
    """Right rotation: element i moves to (i + k) mod len."""
    n = len(v)
    return [v[(j - k) % n] for j in range(n)]


def agent_vector(role, r, p, s, dim):
    return rotated(bind(r, bind(p, s)), DIGEST[role] % dim)


def wobbly(name, n):
    """Non-bipolar components, scaled differently per name, so that the grouping
    of the products shows in the rounding."""
    base = 0.37 + 0.11 * (sum(map(ord, name)) % 7)
    return [f32(x * (base + 0.013 * i)) for i, x in enumerate(hdc.hv_hash_string(name, n))]


def bipolar(name, n):
    return hdc.hv_hash_string(name, n)


def is_panic(exc, message):
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception) and exc.args == (message,)


def role_names(swarm):
    # A one-component zero probe scores every role 0.5, and the stable sort
    # keeps equal scores in registry order.
    return [name for name, _ in swarm.materialize([0.0], -1.0)]


def snapshot(swarm):
    return swarm.swarm_vector, role_names(swarm)


REMAINDER_BY_ZERO = "attempt to calculate the remainder with a divisor of zero"
ROTATION_TOO_LONG = "assertion failed: k <= self.len()"


# ---- surface -------------------------------------------------------------------

def stored_doc(member):
    """The docstring as stored: signature line, separator, documentation text."""
    name = getattr(member, "__name__", "PyHoloSwarm")
    return f"{name}{member.__text_signature__}\n--\n\n{member.__doc__ or ''}"


@pytest.mark.parametrize(
    "member, doc",
    [
        (hdc.PyHoloSwarm, "PyHoloSwarm(dim)\n--\n\nHoloSwarm: An algebraic multi-agent coordination engine.\n"
                          "Superimposes factorized agent capabilities (Role ⊗ Policy ⊗ Skill)\n"
                          "into a single Hypervector and uses a Resonator Network to pull components."),
        (hdc.PyHoloSwarm.get_swarm_vector, "get_swarm_vector($self)\n--\n\nMethod alias for the `swarm_vector` "
                                           "property, matching the public docs\nand type stubs."),
        (hdc.PyHoloSwarm.add_agent, "add_agent($self, role, r_hv, policy, p_hv, skill, s_hv)\n--\n\n"
                                    "Add a factorized agent to the swarm: Role ⊗ Policy ⊗ Skill\nUses ASS "
                                    "(Accumulative Spectral Synthesis) to preserve SNR across large swarms."),
        (hdc.PyHoloSwarm.add_paradox_trap, "add_paradox_trap($self, names, roles, keys)\n--\n\n"),
        (hdc.PyHoloSwarm.resonate, "resonate($self, role_key, p_guess, _s_guess, max_iter)\n--\n\n"),
        (hdc.PyHoloSwarm.materialize, "materialize($self, probe, threshold)\n--\n\n"),
    ],
    ids=lambda m: getattr(m, "__name__", None) if callable(m) else None,
)
def test_docstrings(member, doc):
    assert stored_doc(member) == doc


def test_members_and_properties():
    public = [n for n in vars(hdc.PyHoloSwarm) if not n.startswith("__")]
    assert public == ["get_swarm_vector", "add_agent", "add_paradox_trap", "resonate", "materialize",
                      "dim", "swarm_vector"]
    assert hdc.PyHoloSwarm.dim.__doc__ is None and hdc.PyHoloSwarm.swarm_vector.__doc__ is None
    s = hdc.PyHoloSwarm(dim=4)
    assert s.dim == 4 and s.swarm_vector == [0.0] * 4
    a, b = s.get_swarm_vector(), s.swarm_vector
    assert a == b and a is not b
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del s.swarm_vector
    with pytest.raises(AttributeError):
        s.dim = 5
    assert s.dim == 4 and s.swarm_vector == [0.0] * 4


def test_setter_keeps_any_length_as_32_bit_floats():
    s = hdc.PyHoloSwarm(4)
    s.swarm_vector = (0.1, 1e300, -2, 7.5, 8.0, 9.0)
    assert same_floats(s.swarm_vector, [f32(0.1), math.inf, -2.0, 7.5, 8.0, 9.0])
    s.swarm_vector = range(2)
    assert s.get_swarm_vector() == [0.0, 1.0] and s.dim == 4


# ---- superposition -----------------------------------------------------------------

def test_agents_superpose_rotated_by_role_and_unbind_exactly():
    dim = 97
    s = hdc.PyHoloSwarm(dim)
    r, p, sk = bipolar("r", dim), bipolar("p", dim), bipolar("s", dim)
    s.add_agent("abc", r, "explore", p, "map", sk)
    assert s.swarm_vector == agent_vector("abc", r, p, sk, dim)
    back = rotated(s.swarm_vector, dim - DIGEST["abc"] % dim)
    assert bind(r, bind(p, back)) == sk

    # A second agent adds in unscaled; real-valued components pin the product
    # grouping r * (p * s) and the order of the sum.
    r2, p2, s2 = wobbly("r2", dim), wobbly("p2", dim), wobbly("s2", dim)
    first = s.swarm_vector
    s.add_agent(role="ram_role", r_hv=r2, policy="hold", p_hv=p2, skill="guard", s_hv=s2)
    second = agent_vector("ram_role", r2, p2, s2, dim)
    assert same_floats(s.swarm_vector, [f32(b + a) for a, b in zip(first, second)])


# ---- resonator -----------------------------------------------------------------------

def three_agents(dim):
    s = hdc.PyHoloSwarm(dim)
    for i in range(3):
        s.add_agent(f"R{i}", bipolar(f"r{i}", dim), f"P{i}", bipolar(f"p{i}", dim), f"S{i}", bipolar(f"s{i}", dim))
    return s


@pytest.mark.parametrize(
    "role_key, max_iter, want",
    [
        ("nobody", 2, ("R0", "P0", "S0", 0.5)),  # an all-zero role vector scores 0.5 everywhere
        ("R2", 0, ("R2", "P0", "S0", 0.0)),
        ("nobody", 0, ("R0", "P0", "S0", 0.0)),
    ],
)
def test_resonate_worked_cases(role_key, max_iter, want):
    s = three_agents(256)
    assert s.resonate(role_key, hdc.rand_bipolar(256), [1.0], max_iter) == want


def test_resonate_single_agent_is_exact_and_empty_swarm_answers_none():
    dim = 128
    s = hdc.PyHoloSwarm(dim)
    assert s.resonate("A", [], range(3), 7) == NONE
    s.add_agent("A", bipolar("a", dim), "B", bipolar("b", dim), "C", bipolar("c", dim))
    assert s.resonate("A", hdc.rand_bipolar(dim), hdc.rand_bipolar(dim), 1) == ("A", "B", "C", 1.0)


def test_resonate_uses_the_first_role_of_a_repeated_name():
    dim = 256
    s = hdc.PyHoloSwarm(dim)
    # The first "twin" has an all-zero role vector: using it makes every score 0.5.
    s.add_agent("twin", [0.0] * dim, "P0", bipolar("p0", dim), "S0", bipolar("s0", dim))
    s.add_agent("twin", bipolar("r1", dim), "P1", bipolar("p1", dim), "S1", bipolar("s1", dim))
    assert s.resonate("twin", bipolar("p1", dim), [], 1) == ("twin", "P0", "S0", 0.5)


def test_resonate_with_an_empty_policy_estimate_scores_minus_two():
    s = hdc.PyHoloSwarm(1)  # every role shift is 0, so an empty role vector can be registered
    s.add_agent("A", [], "P0", [1.0], "S0", [1.0])
    s.add_agent("B", [1.0], "P1", [1.0], "S1", [-1.0])
    assert s.resonate("A", [-1.0], [], 1) == ("A", "P0", "S0", -2.0)


# ---- paradox ring and materialize ---------------------------------------------------------

def test_paradox_ring_registers_role_to_next_role_agents():
    dim = 64
    rA, rB, kA, kB = (wobbly(n, dim) for n in ("rA", "rB", "kA", "kB"))
    ring = hdc.PyHoloSwarm(dim)
    ring.add_paradox_trap(["abc", "ram_role"], [rA, rB], [kA, kB, [9.0]])
    by_hand = hdc.PyHoloSwarm(dim)
    by_hand.add_agent("abc", rA, "PARADOX_LINK", kA, "ram_role", rB)
    by_hand.add_agent("ram_role", rB, "PARADOX_LINK", kB, "abc", rA)
    assert same_floats(ring.swarm_vector, by_hand.swarm_vector)
    assert ring.resonate("abc", [], [], 0) == ("abc", "PARADOX_LINK", "ram_role", 0.0)
    assert snapshot(ring) == snapshot(by_hand)


@pytest.mark.parametrize("names", [[], ["solo"]])
def test_paradox_ring_of_fewer_than_two_adds_nothing(names):
    s = hdc.PyHoloSwarm(8)
    s.add_paradox_trap(names, [], [])
    assert snapshot(s) == ([0.0] * 8, [])


@pytest.mark.parametrize(
    "names, n_roles, n_keys, message, added",
    [
        ("ABC", 3, 1, "index out of bounds: the len is 1 but the index is 1", ["A"]),
        ("ABC", 2, 3, "index out of bounds: the len is 2 but the index is 2", ["A"]),
        ("ABCD", 4, 3, "index out of bounds: the len is 3 but the index is 3", ["A", "B", "C"]),
        ("AB", 1, 2, "index out of bounds: the len is 1 but the index is 1", []),
    ],
)
def test_failing_paradox_ring_keeps_the_complete_earlier_agents(names, n_roles, n_keys, message, added):
    s = hdc.PyHoloSwarm(1)
    roles = [[float(i + 1)] for i in range(n_roles)]
    keys = [[-1.0]] * n_keys
    exc = raised(lambda: s.add_paradox_trap(list(names), roles, keys))
    assert is_panic(exc, message)
    assert role_names(s) == added
    # Each added agent is complete: role i bound with key i and role i + 1.
    want = 0.0
    for i in range(len(added)):
        want = f32(f32(roles[i][0] * f32(keys[i][0] * roles[(i + 1) % len(names)][0])) + want)
    assert s.swarm_vector == [want]


def materialize_swarm():
    s = hdc.PyHoloSwarm(1)  # the shift is always 0; materialize never reads the swarm vector
    for name, role in [("half", [1.0, 1.0, -1.0, -1.0]), ("three", [1.0, 1.0, 1.0, -1.0]),
                       ("full", [1.0, 1.0, 1.0, 1.0]), ("three_too", [1.0, -1.0, 1.0, 1.0])]:
        s.add_agent(name, role, "p", [1.0], "s", [1.0])
    return s


@pytest.mark.parametrize(
    "probe, threshold, want",
    [
        ([1.0] * 4, -1.0, [("full", 1.0), ("three", 0.75), ("three_too", 0.75), ("half", 0.5)]),
        ([1.0] * 4, 0.5, [("full", 1.0), ("three", 0.75), ("three_too", 0.75)]),
        ([1.0] * 4, 0.75, [("full", 1.0)]),
        # Narrowed to 32 bits the threshold is 0.75 again, which 0.75 does not exceed.
        ([1.0] * 4, 0.75 - 1e-12, [("full", 1.0)]),
        ([1.0, 1.0], 0.9, [("half", 1.0), ("three", 1.0), ("full", 1.0)]),  # divided by the probe's length
        ([], -1.0, []),
    ],
)
def test_materialize_order_and_strict_threshold(probe, threshold, want):
    assert materialize_swarm().materialize(probe, threshold) == want


# ---- faults and bad input --------------------------------------------------------------------

@pytest.mark.parametrize(
    "dim, swarm_len, call, message",
    [
        (0, 0, lambda s: s.add_agent("a", [1.0], "p", [1.0], "s", [1.0]), REMAINDER_BY_ZERO),
        (0, 0, lambda s: s.add_paradox_trap(["a", "b"], [[1.0]] * 2, [[1.0]] * 2), REMAINDER_BY_ZERO),
        # "abc" rotates by 29 in dimension 64.
        (64, 64, lambda s: s.add_agent("abc", [1.0] * 64, "p", [1.0] * 28, "s", [1.0] * 64), ROTATION_TOO_LONG),
        (64, 64, lambda s: s.add_paradox_trap(["abc", "x"], [[1.0] * 10] * 2, [[1.0] * 10] * 2),
         ROTATION_TOO_LONG),
        # Undoing the 29 needs a right rotation by 35, longer than a 30-long swarm vector.
        (64, 30, lambda s: s.resonate("abc", [], [], 1), ROTATION_TOO_LONG),
    ],
    ids=["add_agent-dim0", "paradox-dim0", "add_agent-short", "paradox-short", "resonate-short-swarm"],
)
def test_faults_raise_the_panic_and_change_nothing(dim, swarm_len, call, message):
    s = hdc.PyHoloSwarm(dim)
    if dim:
        s.add_agent("ram_role", [1.0] * 64, "p", [1.0] * 64, "s", [1.0] * 64)
    s.swarm_vector = s.swarm_vector[:swarm_len]
    before = snapshot(s)
    assert is_panic(raised(lambda: call(s)), message)
    assert snapshot(s) == before
    s.swarm_vector = [2.0]  # still usable: the borrow was released


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.add_paradox_trap("ab", [], []), TypeError, "argument 'names': Can't extract `str` to `Vec`"),
        (lambda s: s.add_paradox_trap(["a", "b"], [[1.0], "x"], [[1.0]] * 2), TypeError, "argument 'roles': "),
        (lambda s: s.add_agent("r", 5, "p", [1.0], "s", [1.0]), TypeError, "argument 'r_hv': "),
        (lambda s: s.add_agent("r", [1.0], "p", [1.0], "s", ["x"]), TypeError, "argument 's_hv': "),
        (lambda s: s.resonate("abc", [1.0], 7, 1), TypeError, "argument '_s_guess': "),
        (lambda s: s.resonate("abc", [1.0], [], -1), OverflowError, ""),
        (lambda s: setattr(s, "swarm_vector", None), TypeError, "argument 'v': "),
    ],
    ids=["names-str", "roles-item", "r_hv", "s_hv", "_s_guess", "max_iter", "v"],
)
def test_conversion_failures_name_the_argument_and_change_nothing(call, error, message):
    s = hdc.PyHoloSwarm(64)
    s.add_agent("abc", bipolar("r", 64), "p", bipolar("p", 64), "s", bipolar("s", 64))
    before = snapshot(s)
    exc = raised(lambda: call(s))
    assert type(exc) is error and str(exc).startswith(message)
    if error is OverflowError:
        assert not str(exc).startswith("argument")
    assert snapshot(s) == before


@pytest.mark.parametrize("dim, error", [(-1, OverflowError), (2**64, OverflowError), ("4", TypeError),
                                        (4.0, TypeError)])
def test_constructor_rejects_bad_dims(dim, error):
    exc = raised(lambda: hdc.PyHoloSwarm(dim))
    assert type(exc) is error
    assert str(exc).startswith("argument 'dim': ") == (error is TypeError)


# ---- borrow kinds ----------------------------------------------------------------------------

def add_one(s):
    s.add_agent("x", [1.0], "p", [1.0], "s", [1.0])


def set_vector(s):
    s.swarm_vector = [0.0]


@pytest.mark.parametrize(
    "outer, inner, outcome",
    [
        (lambda s, r: s.add_agent("x", [r], "p", [1.0], "s", [1.0]), lambda s: s.get_swarm_vector(),
         "Already mutably borrowed"),
        (lambda s, r: setattr(s, "swarm_vector", [r]), lambda s: s.materialize([1.0], 0.0),
         "Already mutably borrowed"),
        (lambda s, r: setattr(s, "swarm_vector", [r]), set_vector, "Already borrowed"),
        (lambda s, r: s.resonate("x", [r], [], 1), add_one, "Already borrowed"),
        (lambda s, r: s.resonate("x", [], [r], 1), lambda s: s.swarm_vector, "ok"),
        (lambda s, r: s.materialize([1.0], r), lambda s: s.resonate("x", [], [], 1), "ok"),
    ],
    ids=["add_agent-read", "setter-read", "setter-set", "resonate-add", "resonate-read", "materialize-resonate"],
)
def test_borrow_kinds(outer, inner, outcome):
    # The probe converts as a float and calls back into the swarm meanwhile.
    s = hdc.PyHoloSwarm(1)
    add_one(s)
    probe = Reentry(lambda: inner(s))
    outer(s, probe)
    assert probe.outcome == outcome
    add_one(s)  # free again afterwards


# ---- threads ---------------------------------------------------------------------------------

def test_one_swarm_used_from_several_threads_in_turn():
    dim = 1024
    s = hdc.PyHoloSwarm(dim)
    for i in range(3):
        box = run_in_thread(lambda i=i: s.add_agent(
            f"R{i}", bipolar(f"r{i}", dim), f"P{i}", bipolar(f"p{i}", dim), f"S{i}", bipolar(f"s{i}", dim)))
        assert box == {"value": None}
    box = run_in_thread(lambda: s.resonate("R1", bipolar("p1", dim), [], 2))
    assert box["value"][:3] == ("R1", "P1", "S1")
    assert s.swarm_vector == three_agents(dim).swarm_vector


def test_release_on_another_thread_is_silent(unraisable):
    made_elsewhere = run_in_thread(lambda: hdc.PyHoloSwarm(16))["value"]
    made_elsewhere.add_agent("x", [1.0] * 16, "p", [1.0] * 16, "s", [1.0] * 16)
    del made_elsewhere
    gc.collect()

    holder = [hdc.PyHoloSwarm(16)]
    box = run_in_thread(lambda: (holder.pop().get_swarm_vector(), gc.collect())[0])
    assert box == {"value": [0.0] * 16}
    assert holder == [] and unraisable == []
