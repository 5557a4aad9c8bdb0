"""The companion's engine classes against the specified ones: random call
sequences answered bit for bit alike (arrays compared with lists by their
float32 bits, NaN payloads included), the specified panics refused as
ordinary exceptions that change nothing, and len/repr/get/`in`."""

import copy
import math
import pickle
import random
import struct

import numpy as np
import pytest
import tessarin
import tessarin_hdc as hdc

# ---- comparing answers ------------------------------------------------------------------


def float_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def as_plain(answer):
    """An answer with every array turned into nested lists of float bits (or ints),
    and every float into its bits, so that == compares bit for bit."""
    if isinstance(answer, tessarin.Array):
        a = np.asarray(answer)
        if a.dtype == np.float32:
            return {"f32": a.view(np.uint32).tolist()}
        return a.tolist()
    if isinstance(answer, float):
        return ("f", float_bits(answer))
    if isinstance(answer, (list, tuple)):
        return type(answer)(as_plain(x) for x in answer)
    if isinstance(answer, dict):
        return {k: as_plain(v) for k, v in answer.items()}
    return answer


def spec_plain(answer, converted):
    """The specified answer in the companion's shape: `converted` names the
    lists of floats that became float32 arrays ("1d", "rows" or "int8")."""
    if converted == "1d" and answer is not None:
        return {"f32": np.asarray(answer, dtype=np.float32).view(np.uint32).tolist()}
    if converted == "rows":
        if len({len(r) for r in answer}) > 1:
            return [spec_plain(r, "1d") for r in answer]
        return {"f32": np.asarray(answer, dtype=np.float32).view(np.uint32).ravel().tolist()}
    return as_plain(answer)


def comp_plain(answer, converted):
    if converted == "rows" and isinstance(answer, tessarin.Array):
        return {"f32": np.asarray(answer).view(np.uint32).ravel().tolist()}
    return as_plain(answer)


# ---- random arguments --------------------------------------------------------------------

SPECIALS = [0.0, -0.0, math.nan, struct.unpack("<f", b"\x01\x00\xc0\x7f")[0], math.inf, 1e-40]


def vec(rng, n, special=True):
    kind = rng.random()
    if kind < 0.5:
        return [rng.choice([1.0, -1.0]) for _ in range(n)]
    v = [rng.uniform(-2, 2) for _ in range(n)]
    if special and kind > 0.9:
        v[rng.randrange(n)] = rng.choice(SPECIALS)
    return v


def pool_vec(rng, pool, n):
    """A vector often drawn again, so that exact paths find what was stored."""
    if pool and rng.random() < 0.6:
        return list(rng.choice(pool))
    v = vec(rng, n)
    pool.append(v)
    return v


WORDS = ["alpha", "beta", "gamma", "ram_role", "abc", ""]
ACTIONS = ["learning_rate_increase", "momentum_decrease", "exploration_increase", "identity_lr_decrease", "unknown"]
PARAMS = ["learning_rate", "momentum", "identity_lr", "nothing"]


def kvc_call(rng, pool):
    return rng.choice([
        ("store", rng.choice(WORDS), rng.choice(WORDS) + "v", rng.randrange(50)),
        ("query", rng.choice(WORDS)), ("count",), ("position_score", rng.randrange(50)),
        ("accumulator_magnitude",),
    ])


def swarm_call(rng, pool):
    n = 16
    names = rng.sample(WORDS[:5], rng.choice([2, 3]))
    return rng.choice([
        ("add_agent", rng.choice(WORDS[:5]), pool_vec(rng, pool, n), rng.choice(WORDS), vec(rng, n),
         rng.choice(WORDS), vec(rng, n)),
        ("add_paradox_trap", names, [pool_vec(rng, pool, n) for _ in names], [vec(rng, n) for _ in names]),
        ("get_swarm_vector",), ("resonate", rng.choice(WORDS), vec(rng, n), [], rng.randrange(3)),
        ("materialize", pool_vec(rng, pool, n), rng.uniform(0.3, 0.8)),
    ])


def causal_call(rng, pool):
    n = 8
    return rng.choice([
        (rng.choice(["store", "record"]), pool_vec(rng, pool, n), pool_vec(rng, pool, n), pool_vec(rng, pool, n)),
        (rng.choice(["query_effect", "recall_effect"]), pool_vec(rng, pool, n)),
        (rng.choice(["query_cause", "recall_cause"]), pool_vec(rng, pool, n)),
        (rng.choice(["query_by_time", "recall_by_time"]), pool_vec(rng, pool, n)),
    ])


def reasoner_call(rng, pool):
    facts = len(pool)
    calls = [("add_fact", [rng.choice([1.0, -1.0, 0.5]) for _ in range(4)]), ("reason", vec(rng, 4, False), 2)]
    if facts:
        calls.append(("add_link", rng.randrange(facts), rng.randrange(facts)))
    call = rng.choice(calls)
    if call[0] == "add_fact":
        pool.append(call[1])
    return call


def optimizer_call(rng, pool):
    return rng.choice([("apply", rng.choice(ACTIONS), rng.uniform(-0.5, 0.5), rng.choice(WORDS)), ("rollback",),
                       ("get", rng.choice(PARAMS)), ("get_params",)])


def audit_call(rng, pool):
    return rng.choice([("full_audit", vec(rng, 8)), ("check_consistency", vec(rng, 8), pool_vec(rng, pool, 8))])


def meta_call(rng, pool):
    return rng.choice([
        ("record", rng.random(), rng.random(), rng.random(), vec(rng, rng.choice([4, 4, 3])), rng.randrange(2**64)),
        ("success_rate",), ("avg_resonance",), ("recommend",),
    ])


def scheduler_call(rng, pool):
    k = rng.randrange(1, 4)
    return rng.choice([
        ("store_memory", rng.choice(WORDS)), ("recall", rng.choice(WORDS)), ("export_holographic_state",),
        ("process_feedback", rng.random()), ("feedback_strength",), ("run_audit_integrity_check",),
        ("quantum_grover_search", vec(rng, 8), [vec(rng, 8) for _ in range(k)], [vec(rng, 8) for _ in range(k)]),
        ("generate_role", rng.choice(WORDS)), ("dimension",), ("quantum_capacity",),
    ])


def attention_call(rng, pool):
    k = rng.randrange(1, 4)
    return ("compute", vec(rng, 8), [vec(rng, 8) for _ in range(k)], [vec(rng, rng.choice([8, 5])) for _ in range(k)])


def signs(rng, n):
    return [rng.choice([1, -1]) for _ in range(n)]


def gen_call(rng, pool):
    n = 64
    p3 = [rng.uniform(-3, 3) for _ in range(3)]
    return rng.choice([
        ("generate_pixel_geometry", rng.randrange(2**32), rng.randrange(100), rng.choice([None, 7])),
        ("generate_material_mapping", p3, [0.0, 1.0, 0.0], rng.randrange(9)),
        ("generate_photon", rng.choice(["red", " Blue ", "violet"])), ("generate_photon", p3, [1.0, 0.0, 0.0], 550.0),
        ("encode_bvh_node", p3, [4.0, 4.0, 4.0], signs(rng, n), signs(rng, n)),
        ("simulate_counterfactual", rng.choice(["state", signs(rng, n)]), rng.choice(["x", signs(rng, n)])),
        ("structural_dimension",),
    ])


# class pair, constructor arguments, call maker, {method: converted result}
PAIRS = [
    (hdc.PyHKVC, tessarin.KeyValueCache, (8,), kvc_call, {"accumulator_magnitude": "1d"}),
    (hdc.PyHoloSwarm, tessarin.Swarm, (16,), swarm_call, {"get_swarm_vector": "1d"}),
    (hdc.PyCausalMemory, tessarin.CausalMemory, (8,), causal_call,
     {"query_effect": "1d", "recall_effect": "1d", "query_by_time": "1d", "recall_by_time": "1d",
      "query_cause": "rows", "recall_cause": "rows"}),
    (hdc.PyMultiHopReasoner, tessarin.MultiHopReasoner, (4,), reasoner_call, {}),
    (hdc.PyOptimizer, tessarin.Optimizer, (), optimizer_call, {}),
    (hdc.PySelfAudit, tessarin.SelfAudit, (8,), audit_call, {}),
    (hdc.PyMetacognition, tessarin.Metacognition, (4,), meta_call, {}),
    (hdc.PyHoloCPUScheduler, tessarin.Scheduler, (8, 2), scheduler_call,
     {"export_holographic_state": "1d", "quantum_grover_search": "1d", "generate_role": "1d"}),
    (hdc.PyQuantumAttentionHead, tessarin.AttentionHead, (8, 2), attention_call, {"compute": "1d"}),
    (hdc.PyHoloGenEngine, tessarin.GenEngine, (64,), gen_call,
     dict.fromkeys(["generate_pixel_geometry", "generate_material_mapping", "generate_photon", "encode_bvh_node",
                    "simulate_counterfactual"], "int8")),
]
PAIR_IDS = [p[1].__name__ for p in PAIRS]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("spec_cls, comp_cls, args, make_call, converted", PAIRS, ids=PAIR_IDS)
def test_random_call_sequences_answer_alike(spec_cls, comp_cls, args, make_call, converted, seed, tmp_path):
    """Midway the companion engine is pickled (protocols 2 to 5), saved and
    loaded, and copied; the copy must carry on exactly as the specified one."""
    rng = random.Random(f"{comp_cls.__name__}-{seed}")
    spec, comp, pool = spec_cls(*args), comp_cls(*args), []
    for step in range(40):
        if step == 15:
            comp = pickle.loads(pickle.dumps(comp, protocol=2 + seed % 4))
        elif step == 25:
            comp.save(tmp_path / "engine.snap")
            comp = comp_cls.load(tmp_path / "engine.snap")
        elif step == 30:
            comp = copy.deepcopy(comp) if seed % 2 else copy.copy(comp)
        name, *call_args = make_call(rng, pool)
        want = spec_plain(getattr(spec, name)(*call_args), converted.get(name))
        got = comp_plain(getattr(comp, name)(*call_args), converted.get(name))
        assert got == want, (step, name)
    for prop in ("dim", "qc", "swarm_vector"):
        if hasattr(spec, prop):
            kind = "1d" if prop == "swarm_vector" else None
            assert comp_plain(getattr(comp, prop), kind) == spec_plain(getattr(spec, prop), kind)


def test_the_companion_classes_report_the_package():
    assert all(p[1].__module__ == "tessarin" and p[1].__name__ in tessarin.__all__ for p in PAIRS)


def test_setting_the_swarm_vector_reads_back_as_an_array():
    s = tessarin.Swarm(4)
    s.swarm_vector = np.array([1.0, math.nan, -0.0, 2.5], dtype=np.float32)
    assert as_plain(s.swarm_vector) == spec_plain([1.0, math.nan, -0.0, 2.5], "1d")


@pytest.mark.parametrize("causes, shape", [([], (0, 4)), ([[1.0, 1.0, -1.0, -1.0]], (1, 4))])
def test_query_cause_shapes(causes, shape):
    m = tessarin.CausalMemory(4)
    for c in causes:
        m.store(c, [1.0, -1.0, 1.0, -1.0], [1.0] * 4)
    assert np.asarray(m.query_cause([1.0, -1.0, 1.0, -1.0])).shape == shape


def test_causes_of_different_lengths_come_as_a_list_of_arrays():
    m = tessarin.CausalMemory(2)
    m.store([1.0, 1.0], [1.0, -1.0], [1.0, 1.0])
    m.store([1.0, 1.0, 1.0], [1.0, -1.0], [1.0, 1.0])
    got = m.query_cause([1.0, -1.0])
    assert isinstance(got, list) and [np.asarray(r).shape for r in got] == [(2,), (3,)]


@pytest.mark.parametrize("spec_cls, comp_cls, ctor, name, args", [
    (hdc.PyHoloGenEngine, tessarin.GenEngine, (64,), "encode_bvh_node", ([0.0] * 3, [1.0] * 3, "signs", "more signs")),
    (hdc.PyHoloGenEngine, tessarin.GenEngine, (64,), "simulate_counterfactual", ("signs", "more signs")),
    # floats are no signs: the operand is hashed by the text of its numbers
    (hdc.PyHoloGenEngine, tessarin.GenEngine, (64,), "simulate_counterfactual", ("point", "signs")),
    (hdc.PyHoloGenEngine, tessarin.GenEngine, (64,), "generate_material_mapping", ("point", [0.0, 1.0, 0.0], 3)),
    (hdc.PyHoloGenEngine, tessarin.GenEngine, (64,), "generate_photon", ("point", "point", 500.0)),
    (hdc.PyQuantumAttentionHead, tessarin.AttentionHead, (64, 2), "compute", ("row", "rows", "rows")),
    (hdc.PyHoloCPUScheduler, tessarin.Scheduler, (64, 2), "quantum_grover_search", ("row", "rows", "rows")),
])
def test_results_handed_back_in_read_as_the_lists_they_stand_for(spec_cls, comp_cls, ctor, name, args):
    gen, rows = tessarin.GenEngine(64), tessarin.random_bipolar(3, 64, seed=1)
    made = {"signs": gen.generate_pixel_geometry(1, 2), "more signs": gen.generate_pixel_geometry(3, 4),
            "point": tessarin.bundle([[0.5, 5.0, -3.0]], sign=False), "rows": rows,
            "row": tessarin.bundle(np.asarray(rows)[:1], sign=False)}
    got = getattr(comp_cls(*ctor), name)(*[made[a] if isinstance(a, str) else a for a in args])
    lists = [np.asarray(made[a]).tolist() if isinstance(a, str) else a for a in args]
    assert np.asarray(got).tolist() == getattr(spec_cls(*ctor), name)(*lists)


# ---- faults: ordinary exceptions, engine unchanged ---------------------------------------

ONES = [1.0] * 64


def swarm_with_agent(dim=64, swarm_len=64):
    s = tessarin.Swarm(dim)
    if dim:
        s.add_agent("ram_role", ONES, "p", ONES, "s", ONES)
    s.swarm_vector = np.asarray(s.swarm_vector)[:swarm_len]
    return s


def swarm_state(s):
    return as_plain((s.swarm_vector, len(s), s.materialize(ONES, -1.0)))


def causal_state(m):
    return as_plain((len(m), m.query_effect(ONES[:8]), m.query_by_time(ONES[:8])))


def cached(cls, *args):
    return lambda: cls(*args)


FAULTS = [
    (lambda: tessarin.CausalMemory(8), lambda m: m.store(ONES[:4], ONES[:8], ONES[:8]), causal_state, ValueError,
     "store: 'cause' has 4 components, but this engine needs at least dim = 8"),
    (lambda: tessarin.CausalMemory(8), lambda m: m.record(ONES[:8], ONES[:8], ONES[:7]), causal_state, ValueError,
     "store: 'time' has 7 components"),
    (lambda: swarm_with_agent(0), lambda s: s.add_agent("a", [1.0], "p", [1.0], "s", [1.0]), swarm_state,
     ValueError, "add_agent: a swarm of dim 0 cannot place an agent"),
    # "abc" rotates by 29 in dimension 64.
    (swarm_with_agent, lambda s: s.add_agent("abc", ONES, "p", ONES[:28], "s", ONES), swarm_state, ValueError,
     "add_agent: role 'abc' rotates by 29 components, but its shortest vector has only 28"),
    # Position 0 would succeed; position 1 cannot, so nothing is added.
    (swarm_with_agent, lambda s: s.add_paradox_trap(["x", "abc"], [ONES, ONES], [ONES, [1.0]]), swarm_state,
     ValueError, "add_paradox_trap: role 'abc' rotates by 29 components, but its shortest vector has only 1"),
    (swarm_with_agent, lambda s: s.add_paradox_trap(list("ABC"), [ONES] * 3, [ONES]), swarm_state, ValueError,
     "add_paradox_trap: 3 names need as many roles and keys; got 3 roles and 1 keys"),
    (lambda: swarm_with_agent(64, 30), lambda s: s.resonate("abc", [], [], 1), swarm_state, ValueError,
     "resonate: undoing role 'abc' rotates by 35 components, but the swarm vector has only 30"),
    (lambda: tessarin.Scheduler(4, 2), lambda s: s.quantum_grover_search([1.0], [], []),
     lambda s: as_plain((len(s), s.export_holographic_state())), ValueError,
     "quantum_grover_search: 'keys' and 'values' must be equally long and not empty; got 0 keys and 0 values"),
    (lambda: tessarin.AttentionHead(4, 2), lambda h: h.compute([1.0], [[1.0]] * 2, [[1.0]] * 3), repr, ValueError,
     "compute: 'keys' and 'values' must be equally long and not empty; got 2 keys and 3 values"),
    (lambda: tessarin.GenEngine(16), lambda g: g.encode_bvh_node([0.0] * 3, [0.0] * 3, [1] * 15, [1] * 16), repr,
     ValueError, "encode_bvh_node: 'left' has 15 components, but this engine needs exactly dim = 16"),
    (lambda: tessarin.GenEngine(16), lambda g: g.simulate_counterfactual("abc", [1, -1]), repr, ValueError,
     "simulate_counterfactual: 'root_state' has 16 components and 'intervention' 2"),
    (lambda: tessarin.GenEngine(16), lambda g: g.generate_photon("red"), repr, ValueError,
     "generate_photon: the wavelength code needs dim 0 or at least 32"),
    (lambda: tessarin.MultiHopReasoner(2), lambda r: (r.add_fact([1.0, 1.0]), r.add_link(0, 99),
                                                      r.reason([1.0, 1.0], 1)),
     len, IndexError, "reason: a link leads to a fact that does not exist (1 facts): index out of bounds: "
                      "the len is 1 but the index is 99"),
    (lambda: tessarin.MultiHopReasoner(2), lambda r: (r.add_fact([1.0, 1.0]), r.add_fact([math.nan, 1.0]),
                                                      r.add_link(1, 0), r.reason([1.0, 1.0], 1)),
     len, ValueError, "reason: the results cannot be ordered, a score is NaN"),
    (lambda: None, lambda _: tessarin.KeyValueCache(2**63), repr, ValueError,
     "dim 9223372036854775808 is too large"),
    (lambda: None, lambda _: tessarin.Scheduler(2**62, 1), repr, ValueError, "dim 4611686018427387904 is too large"),
    (lambda: tessarin.AttentionHead(2**62, 1), lambda h: h.compute([1.0], [[1.0], [1.0]], [[2.0], [2.0]]), repr,
     ValueError, "compute: dim 4611686018427387904 is too large"),
]


@pytest.mark.parametrize("make, call, state, error, message", FAULTS)
def test_faults_are_ordinary_exceptions_and_change_nothing(make, call, state, error, message):
    obj = make()
    before = state(obj)
    with pytest.raises(error) as info:
        call(obj)
    assert str(info.value).startswith(message)
    if not isinstance(obj, tessarin.MultiHopReasoner):  # the reasoner's faulting calls add facts first
        assert state(obj) == before


# ---- what users reach for ------------------------------------------------------------------


@pytest.mark.parametrize("make, grow, text", [
    (lambda: tessarin.KeyValueCache(8), lambda c: c.store("k", "v", 0), "<tessarin.KeyValueCache dim=8 entries="),
    (lambda: tessarin.CausalMemory(4), lambda m: m.store(ONES[:4], ONES[:4], ONES[:4]),
     "<tessarin.CausalMemory dim=4 records="),
    (lambda: tessarin.MultiHopReasoner(4), lambda r: r.add_fact(ONES[:4]), "<tessarin.MultiHopReasoner dim=4 facts="),
    (lambda: tessarin.Swarm(4), lambda s: s.add_agent("a", ONES[:4], "p", ONES[:4], "s", ONES[:4]),
     "<tessarin.Swarm dim=4 agents="),
    (lambda: tessarin.Scheduler(4, 2), lambda s: s.store_memory("x"), "<tessarin.Scheduler dim=4 concepts="),
    (lambda: tessarin.Metacognition(4), lambda m: m.record(0.5, 0.5, 0.5, ONES[:4], 1),
     "<tessarin.Metacognition dim=4 records="),
])
def test_len_counts_what_was_added_and_repr_says_it(make, grow, text):
    obj = make()
    sizes = []
    for _ in range(3):
        sizes.append(len(obj))
        grow(obj)
    assert sizes == [0, 1, 2] and repr(obj) == f"{text}3>"


@pytest.mark.parametrize("dim", [0, 1, 16])
def test_get_and_in_answer_as_the_exact_path_of_query(dim):
    c, spec = tessarin.KeyValueCache(dim), hdc.PyHKVC(dim)
    for key, value in [("a", "first"), ("b", "x"), ("a", "second")]:
        c.store(key, value, 0)
        spec.store(key, value, 0)
    for key in ["a", "b", "missing", ""]:
        found = dim > 0 and key in ("a", "b")  # with dim 0 the exact path never matches
        assert (key in c) is found
        assert c.get(key) == (spec.query(key)[0] if found else None)
        assert c.get(key, default=5) == (c.get(key) if found else 5)
    if dim:
        assert c.get("a") == "first"


def test_get_refuses_a_key_that_is_no_str():
    with pytest.raises(TypeError):
        tessarin.KeyValueCache(4).get(1)
    with pytest.raises(TypeError):
        1 in tessarin.KeyValueCache(4)
