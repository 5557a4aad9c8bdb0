"""The memory classes from Python: the cache, the causal memory and the
multi-hop reasoner. Engine arithmetic is pinned by the C++ suites; here the
concern is what conversion, borrowing and result building can break."""
import math

import pytest

import tessarin_hdc as hdc
from conftest import Reentry, needs_real_allocator

CLASSES = [hdc.PyHKVC, hdc.PyCausalMemory, hdc.PyMultiHopReasoner]
ALIAS_DOC = "Alias for {}(), matching the Rust CausalMemory API."

DOCS = {
    hdc.PyHKVC: {
        "PyHKVC": "PyHKVC(dim)\n--\n\n",
        "store": "store($self, key, value, position)\n--\n\nStore a key-value pair (Patent §6.3.2):\n"
                 "composite += exp(i · (key_phases + val_phases))  — binds key↔value\n"
                 "pos_memory += exp(i · position_basis(pos))        — tracks positions\n"
                 "key_index[hash(key)] ← entry index                 — O(1) lookup",
        "query": "query($self, query_key)\n--\n\nQuery the cache (Patent §6.3.4 + §6.1 CBS):\n"
                 "1. O(1) HashMap lookup by key hash → small candidate set\n"
                 "2. Among candidates, match by key phase resonance → exact value\n"
                 "3. Fallback: holographic recall from composite for approximate matches\n"
                 "Returns (best_value, best_score)",
        "count": "count($self)\n--\n\nNumber of stored entries",
        "position_score": "position_score($self, position)\n--\n\nCheck recency bias: score for a specific "
                          "position should be ≈equal for all positions\n"
                          "because all entries contribute unit complex numbers",
        "accumulator_magnitude": "accumulator_magnitude($self)\n--\n\n"
                                 "Export state as raw accumulator magnitudes for inspection",
    },
    hdc.PyCausalMemory: {
        "PyCausalMemory": "PyCausalMemory(dim)\n--\n\n",
        "store": "store($self, cause, effect, time)\n--\n\nRecord a causal relationship.\n\n# Arguments\n"
                 "* `cause` — cause hypervector\n* `effect` — effect hypervector\n"
                 "* `time` — time-role hypervector",
        "record": "record($self, cause, effect, time)\n--\n\n" + ALIAS_DOC.format("store"),
        "query_effect": "query_effect($self, cause)\n--\n\nGiven a cause, retrieve the predicted effect.\n\n"
                        "Returns the first recorded effect for this cause, if any.",
        "recall_effect": "recall_effect($self, cause)\n--\n\n" + ALIAS_DOC.format("query_effect"),
        "query_cause": "query_cause($self, effect)\n--\n\nGiven an effect, retrieve all known causes.\n\n"
                       "Returns a list of cause hypervectors that led to this effect.",
        "recall_cause": "recall_cause($self, effect)\n--\n\n" + ALIAS_DOC.format("query_cause"),
        "query_by_time": "query_by_time($self, time)\n--\n\n"
                         "Given a time-role hypervector, retrieve the effect at that time.",
        "recall_by_time": "recall_by_time($self, time)\n--\n\n" + ALIAS_DOC.format("query_by_time"),
    },
    hdc.PyMultiHopReasoner: {
        "PyMultiHopReasoner": "PyMultiHopReasoner(dim)\n--\n\n",
        "add_fact": "add_fact($self, fact)\n--\n\nRegister a fact and return its index.",
        "add_link": "add_link($self, a, b)\n--\n\nRegister a link between two fact indices (undirected association).",
        "reason": "reason($self, query, hops)\n--\n\n"
                  "Query for facts resonating with `query`, exploring up to `hops` hops.\n\n"
                  "Returns a list of (fact_index, resonance_score) sorted by resonance descending.\n"
                  "Hop-0: direct resonance with all facts.\nEach subsequent hop follows links to associated facts.",
        "reset": "reset($self)\n--\n\nReset all facts and associations.",
    },
}


def full_docstring(name, obj):
    """The docstring as stored: the interpreter splits the signature line off."""
    return f"{name}{obj.__text_signature__}\n--\n\n{obj.__doc__ or ''}"


def panics(fn):
    with pytest.raises(BaseException) as info:
        fn()
    assert type(info.value).__name__ == "PanicException"
    return info.value.args


def bipolar(text, dim=64):
    return hdc.hv_hash_string(text, dim)


# ---- shared surface --------------------------------------------------------------

@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_members_docstrings_and_order(cls):
    docs = DOCS[cls]
    methods = [name for name in vars(cls) if not name.startswith("_")]
    assert methods == list(docs)[1:]
    assert full_docstring(cls.__name__, cls) == docs[cls.__name__]
    for name in methods:
        assert full_docstring(name, getattr(cls, name)) == docs[name]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "dim, error, message",
    [(-1, OverflowError, None), (2**64, OverflowError, None), (2.0, TypeError, "argument 'dim': ")],
)
def test_dim_conversion(cls, dim, error, message):
    with pytest.raises(error) as info:
        cls(dim)
    if message:
        assert str(info.value).startswith(message)


@pytest.mark.parametrize("cls", [hdc.PyHKVC, hdc.PyCausalMemory], ids=lambda c: c.__name__)
@pytest.mark.parametrize("dim", [2**62, 2**64 - 1])
def test_unaddressable_dim_is_a_panic(cls, dim):
    assert panics(lambda: cls(dim)) == ("capacity overflow",)


@needs_real_allocator
@pytest.mark.parametrize("cls", [hdc.PyHKVC, hdc.PyCausalMemory], ids=lambda c: c.__name__)
def test_unallocatable_dim_is_a_memory_error(cls):
    with pytest.raises(MemoryError):
        cls(2**59)


def test_reasoner_only_records_dim():
    r = hdc.PyMultiHopReasoner(2**64 - 1)
    r.add_fact([1.0, 1.0])
    assert r.reason([1.0, 1.0], 1) == [(0, 1.0)]


# ---- holographic key-value cache ---------------------------------------------------

def test_new_cache_answers_empty():
    c = hdc.PyHKVC(16)
    assert (c.count(), c.query("anything"), c.position_score(3)) == (0, ("", 0.0), 0.0)
    assert c.accumulator_magnitude() == [0.0] * 16


def test_stored_key_comes_back_first_store_winning_ties():
    c = hdc.PyHKVC(256)
    c.store("alpha", "one", 3)
    value, score = c.query("alpha")
    assert (value, type(score)) == ("one", float) and abs(score - 1.0) < 1e-4
    c.store("alpha", "two", 4)
    assert c.count() == 2 and c.query("alpha")[0] == "one"
    assert all(m <= 2.0 + 1e-5 for m in c.accumulator_magnitude())


def test_unknown_key_falls_back_to_a_stored_value():
    values = ["red", "green", "blue"]
    c = hdc.PyHKVC(64)
    for i, v in enumerate(values):
        c.store(f"k{i}", v, i)
    for probe in ["x", "k9", "", "K0"]:
        value, score = c.query(probe)
        assert value in values and score >= 0.0


def test_dim_zero_counts_but_recalls_the_first_entry():
    c = hdc.PyHKVC(0)
    c.store("a", "first", 1)
    c.store("b", "second", 2)
    assert (c.count(), c.query("b"), c.position_score(2), c.accumulator_magnitude()) == (
        2, ("first", 0.0), 0.0, [])


def test_text_travels_as_utf8():
    class Text(str):
        pass

    c = hdc.PyHKVC(128)
    c.store(Text("clé ✓"), "värde 🌊", 2**64 - 1)
    c.store("cle", "plain", 0)
    assert c.query("clé ✓")[0] == "värde 🌊"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((b"k", "v", 0), TypeError, "argument 'key': "),
        (("k", None, 0), TypeError, "argument 'value': "),
        (("k", "v", 1.5), TypeError, "argument 'position': "),
        (("k", "v", -1), OverflowError, None),
        (("k", "v", 2**64), OverflowError, None),
        (("\ud800", "v", 0), UnicodeEncodeError, None),
    ],
)
def test_failed_store_changes_nothing(args, error, message):
    c = hdc.PyHKVC(8)
    c.store("a", "b", 0)
    before = c.accumulator_magnitude()
    with pytest.raises(error) as info:
        c.store(*args)
    if message:
        assert str(info.value).startswith(message)
    else:
        assert not str(info.value).startswith("argument")
    assert (c.count(), c.accumulator_magnitude(), c.query("a")[0]) == (1, before, "b")


def test_query_and_position_score_name_their_arguments():
    c = hdc.PyHKVC(8)
    with pytest.raises(TypeError, match="^argument 'query_key': "):
        c.query(3)
    with pytest.raises(TypeError, match="^argument 'position': "):
        c.position_score("3")


def test_cache_reentrancy():
    c = hdc.PyHKVC(8)
    reads_in_store = Reentry(c.count)
    c.store("k", "v", reads_in_store)
    store_in_read = Reentry(lambda: c.store("x", "y", 0))
    read_in_read = Reentry(c.count)
    c.position_score(store_in_read)
    c.position_score(read_in_read)
    assert (reads_in_store.outcome, store_in_read.outcome, read_in_read.outcome) == (
        "Already mutably borrowed", "Already borrowed", "ok")
    assert c.count() == 1


# ---- causal memory -----------------------------------------------------------------

QUERIES = [("query_effect", "recall_effect"), ("query_cause", "recall_cause"), ("query_by_time", "recall_by_time")]


def answers(m, probe):
    """Every query of `m` for `probe`, asked under both names, which must agree."""
    out = []
    for name, alias in QUERIES:
        got = getattr(m, name)(probe)
        assert getattr(m, alias)(probe) == got
        out.append(got)
    return out


@pytest.mark.parametrize("store", ["store", "record"])
def test_stored_relation_answers_all_three_queries(store):
    m = hdc.PyCausalMemory(64)
    a, b, t = bipolar("a"), bipolar("b"), bipolar("t")
    assert answers(m, a) == [None, [], None]
    assert getattr(m, store)(cause=a, effect=b, time=t) is None
    assert m.query_effect(a) == b and m.query_cause(b) == [a] and m.query_by_time(t) == b


def test_trace_answers_when_the_exact_score_is_not_positive():
    # The cause q with its first half negated shares q's fingerprint but
    # scores exactly 0; the trace then yields the effect bound into q's twin.
    dim = 512
    q, effect_y = bipolar("q", dim), bipolar("y", dim)
    half = [-1.0] * (dim // 2) + [1.0] * (dim // 2)
    cause_x = hdc.hdc_bind(q, half)
    assert hdc.hv_hash(cause_x) == hdc.hv_hash(q)
    m = hdc.PyCausalMemory(dim)
    m.store(bipolar("p", dim), bipolar("e", dim), bipolar("t0", dim))
    m.store(cause_x, bipolar("x", dim), bipolar("t1", dim))
    m.store(hdc.hdc_bind(q, effect_y), effect_y, bipolar("t2", dim))
    assert m.query_effect(q) == effect_y == m.recall_effect(q)


def test_vectors_longer_than_dim_are_kept_and_returned_whole():
    m = hdc.PyCausalMemory(2)
    a, b, t = (1, -1, 1, 1, -1), [-1.0, 1.0, 1.0, -1.0, 1.0, 1.0], range(1, 4)
    m.store(a, b, t)
    assert answers(m, list(a))[0] == b
    assert m.query_cause(b) == [[1.0, -1.0, 1.0, 1.0, -1.0]] and m.query_by_time([1, 2, 3]) == b


@pytest.mark.parametrize("probe", [[], [1.0], [1.0] * 200, [math.nan] * 64])
def test_queries_accept_any_length(probe):
    m = hdc.PyCausalMemory(64)
    m.store(bipolar("a"), bipolar("b"), bipolar("t"))
    effect, causes, by_time = answers(m, probe)
    assert effect in (None, bipolar("b")) and by_time in (None, bipolar("b"))
    assert causes in ([], [bipolar("a")])
    if not probe or math.isnan(probe[0]):
        assert (effect, causes, by_time) == (None, [], None)


def test_results_and_records_are_copies():
    m = hdc.PyCausalMemory(4)
    a, b, t = [1.0, -1.0, 1.0, -1.0], [1.0, 1.0, -1.0, -1.0], [-1.0, 1.0, 1.0, -1.0]
    m.store(a, b, t)
    b.append(9.0)
    m.query_effect(a).append(9.0)
    assert m.query_effect(a) == [1.0, 1.0, -1.0, -1.0]


@pytest.mark.parametrize("short", range(3))
def test_short_store_panics_and_leaves_no_trace(short):
    dim = 64
    parts = [bipolar("c", dim), bipolar("e", dim), bipolar("t", dim)]
    parts[short] = parts[short][:40]
    m, fresh = hdc.PyCausalMemory(dim), hdc.PyCausalMemory(dim)
    assert panics(lambda: m.store(*parts)) == ("index out of bounds: the len is 40 but the index is 40",)
    assert answers(m, bipolar("c", dim)) == [None, [], None]
    # Later stores and queries behave as in a memory that never saw the call,
    # the holographic steps included.
    for mem in (m, fresh):
        for k in range(3):
            mem.store(bipolar(f"c{k}", dim), bipolar(f"e{k}", dim), bipolar(f"t{k}", dim))
    for k in range(30):
        probe = bipolar(f"probe{k}", dim)
        assert answers(m, probe) == answers(fresh, probe)
    assert answers(m, parts[1]) == answers(fresh, parts[1])


@pytest.mark.parametrize("method", ["store", "record"])
@pytest.mark.parametrize(
    "slot, value, message",
    [
        (0, "abc", "argument 'cause': Can't extract `str` to `Vec`"),
        (1, None, "argument 'effect': 'NoneType' object cannot be converted to 'Sequence'"),
        (2, [1.0, "x"], "argument 'time': must be real number, not str"),
    ],
)
def test_failed_conversion_stores_nothing(method, slot, value, message):
    m = hdc.PyCausalMemory(2)
    args = [[1.0, 1.0], [1.0, -1.0], [-1.0, 1.0]]
    args[slot] = value
    with pytest.raises(TypeError) as info:
        getattr(m, method)(*args)
    assert str(info.value) == message
    assert answers(m, [1.0, 1.0]) == [None, [], None]


@pytest.mark.parametrize(
    "name, arg", [(name, arg) for pair, arg in zip(QUERIES, ["cause", "effect", "time"]) for name in pair])
def test_query_conversion_names_the_argument(name, arg):
    with pytest.raises(TypeError, match=f"^argument '{arg}': "):
        getattr(hdc.PyCausalMemory(2), name)("ab")


def test_causal_memory_reentrancy():
    m = hdc.PyCausalMemory(2)
    read_in_store = Reentry(lambda: m.query_effect([1.0, 1.0]))
    m.store([1.0, 1.0], [1.0, -1.0], [read_in_store, 1.0])
    store_in_read = Reentry(lambda: m.record([1.0], [1.0], [1.0]), items=[1.0, 1.0])
    read_in_read = Reentry(lambda: m.query_by_time([1.0, 1.0]), items=[1.0, -1.0])
    assert m.query_effect(store_in_read) == [1.0, -1.0]
    assert m.recall_cause(read_in_read) == [[1.0, 1.0]]
    assert (read_in_store.outcome, store_in_read.outcome, read_in_read.outcome) == (
        "Already mutably borrowed", "Already borrowed", "ok")
    assert m.query_cause([1.0, -1.0]) == [[1.0, 1.0]]  # one record only


# ---- multi-hop reasoner ------------------------------------------------------------

@pytest.fixture
def chain():
    r = hdc.PyMultiHopReasoner(4)
    assert [r.add_fact(f) for f in ([1, 1, 1, 1], (1, 1, 1, -1), [-1.0] * 4)] == [0, 1, 2]
    r.add_link(1, 2)
    return r


@pytest.mark.parametrize(
    "query, hops, want",
    [
        ([1, 1, 1, 1], 0, [(0, 1.0), (1, 0.75)]),
        ([1, 1, 1, 1], 1, [(0, 1.0), (1, 0.75), (2, 0.0)]),
        ([1, 1, 1, 1], 10**18, [(0, 1.0), (1, 0.75), (2, 0.0)]),
        ([1] * 32, 0, []),  # divided by the query's length
        ([1, 1], 0, [(0, 1.0), (1, 1.0)]),
        ([], 5, []),
    ],
)
def test_worked_examples(chain, query, hops, want):
    got = chain.reason(query, hops)
    assert got == want and all(type(i) is int and type(s) is float for i, s in got)


@pytest.mark.parametrize(
    "facts, link, message",
    [
        ([[1.0, 1.0]], (0, 99), "index out of bounds: the len is 1 but the index is 99"),
        ([[1.0, 1.0], [math.nan, 1.0]], (1, 0), "called `Option::unwrap()` on a `None` value"),
        ([[1.0, 1.0], [math.inf, -math.inf]], (0, 1), "called `Option::unwrap()` on a `None` value"),
    ],
)
def test_reason_panics_and_stays_usable(facts, link, message):
    r = hdc.PyMultiHopReasoner(2)
    for f in facts:
        r.add_fact(f)
    r.add_link(*link)
    try:
        r.reason([1.0, 1.0], 1)
    except Exception:  # noqa: BLE001 - the panic must not be caught here
        pytest.fail("the panic was caught as an Exception")
    except BaseException as exc:  # noqa: BLE001
        assert (type(exc).__name__, exc.args) == ("PanicException", (message,))
    assert r.reason([1.0, 1.0], 0) == [(0, 1.0)]
    assert r.add_fact([0.0]) == len(facts)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.add_fact("1"), TypeError, "argument 'fact': "),
        (lambda r: r.add_fact([1.0, None]), TypeError, "argument 'fact': "),
        (lambda r: r.add_link(-1, 0), OverflowError, None),
        (lambda r: r.add_link(1, 0.0), TypeError, "argument 'b': "),
        (lambda r: r.reason([1.0], 2**64), OverflowError, None),
        (lambda r: r.reason(None, 0), TypeError, "argument 'query': "),
    ],
)
def test_failed_conversion_changes_nothing(call, error, message):
    r = hdc.PyMultiHopReasoner(2)
    r.add_fact([1.0, 1.0])
    with pytest.raises(error) as info:
        call(r)
    if message:
        assert str(info.value).startswith(message)
    assert r.add_fact([-1.0, -1.0]) == 1
    assert r.reason([1.0, 1.0], 1) == [(0, 1.0)]  # no link was registered


def test_reasoner_reentrancy():
    r = hdc.PyMultiHopReasoner(2)
    read_in_add = Reentry(lambda: r.reason([1.0], 0))
    r.add_fact([1.0, 1.0, read_in_add])
    change_in_read = Reentry(lambda: r.add_link(0, 0), items=[1.0, 1.0])
    read_in_read = Reentry(lambda: r.reason([1.0], 1), items=[1.0, 1.0])
    reset_in_link = Reentry(r.reset)
    assert r.reason(change_in_read, 1) == [(0, 1.0)]
    assert r.reason(read_in_read, 1) == [(0, 1.0)]
    r.add_link(reset_in_link, 5)
    assert (read_in_add.outcome, change_in_read.outcome, read_in_read.outcome,
            reset_in_link.outcome) == ("Already mutably borrowed", "Already borrowed", "ok", "Already borrowed")
    # The fact survived the refused reset; the outer link (0, 5) now dangles.
    assert panics(lambda: r.reason([1.0, 1.0], 1)) == ("index out of bounds: the len is 1 but the index is 5",)
