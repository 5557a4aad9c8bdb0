"""PyHoloCPUScheduler and PyQuantumAttentionHead from Python: docstrings,
the sequence-of-vectors arguments and their messages, the attention panic,
impossible dimensions, borrow kinds, the feedback loop measured against
PyOptimizer, and the Grover search measured against the attention head."""
import math
import os
import random

import pytest

import tessarin_hdc as hdc
from conftest import Reentry, f32, needs_real_allocator, raised, same_floats

MISMATCH = "assertion failed: !keys.is_empty() && keys.len() == values.len()"

SURFACE = {
    hdc.PyQuantumAttentionHead: ("(dim, nqubits)", [("compute", "($self, query, keys, values)", None)], []),
    hdc.PyHoloCPUScheduler: ("(dim, quantum_capacity)", [
        ("dimension", "($self)", None),
        ("quantum_capacity", "($self)", None),
        ("store_memory", "($self, target)",
         "Store a concept via RSM (Patent §6.2):\n"
         "key_hv = encode(target), value_hv = encode(target)\nWV ⊕= bind(key_hv, value_hv)"),
        ("recall", "($self, target)",
         "O(1) holographic associative recall (Patent §6.2):\n"
         "query_hv = encode(target), recalled = WV ⊗ query_hv\n"
         "Then find best match in value codebook via resonance"),
        ("export_holographic_state", "($self)", None),
        ("process_feedback", "($self, signal)", None),
        ("feedback_strength", "($self)", None),
        ("quantum_grover_search", "($self, query, keys, values)", None),
        ("run_audit_integrity_check", "($self)", None),
        ("generate_role", "($self, label)", None),
    ], ["dim", "qc"]),
}


@pytest.mark.parametrize("cls", SURFACE, ids=lambda c: c.__name__)
def test_docstrings_signatures_and_member_order(cls):
    ctor, methods, properties = SURFACE[cls]
    assert cls.__text_signature__ == ctor
    assert not cls.__doc__
    assert [n for n in vars(cls) if not n.startswith("_")] == [m[0] for m in methods] + properties
    for name, signature, doc in methods:
        assert getattr(cls, name).__text_signature__ == signature, name
        assert getattr(cls, name).__doc__ == doc, name


def signs(v):
    return "".join("+" if x > 0 else "-" for x in v)


ABC_CONCEPT = "---+-+---++--+-+"  # the concept vector of "abc", first 16 components
ABC_ROLE = "+-++++-+-----+--"


def test_fresh_scheduler():
    s = hdc.PyHoloCPUScheduler(16, 4)
    assert (s.dimension(), s.quantum_capacity(), s.dim, s.qc) == (16, 4, 16, 4)
    assert (s.recall("abc"), s.recall(""), s.feedback_strength()) == (False, False, 0.5)
    assert s.export_holographic_state() == [1.0] * 16
    assert s.run_audit_integrity_check() is True


@pytest.mark.parametrize("name", ["dim", "qc"])
def test_properties_are_read_only(name):
    s = hdc.PyHoloCPUScheduler(16, 4)
    with pytest.raises(AttributeError):
        setattr(s, name, 3)
    with pytest.raises(AttributeError):
        delattr(s, name)
    assert (s.dim, s.qc) == (16, 4)


def test_stored_concepts_are_recalled_and_fold_into_the_state():
    s = hdc.PyHoloCPUScheduler(16, 4)
    s.store_memory("abc")
    assert s.recall("abc") is True
    assert s.export_holographic_state() == [0.0 if c == "-" else 1.0 for c in ABC_CONCEPT]
    s.store_memory("abc")
    assert s.export_holographic_state() == [-1.0 if c == "-" else 1.0 for c in ABC_CONCEPT]

    class Label(str):
        pass

    assert signs(s.generate_role(Label("abc"))) == ABC_ROLE == signs(s.generate_role("abc"))


def test_zero_dim_scheduler():
    s = hdc.PyHoloCPUScheduler(0, 4)
    s.store_memory("abc")
    assert (s.recall("abc"), s.generate_role("abc"), s.export_holographic_state()) == (False, [], [])
    assert s.run_audit_integrity_check() is False
    assert s.quantum_grover_search([], [[1.0], [2.0]], [[3.0], [4.0]]) == []
    assert s.quantum_grover_search([], [[1.0]], [[3.0, 4.0]]) == [3.0, 4.0]


def test_feedback_drives_the_learning_rate_exactly_as_optimizer_apply():
    s, opt = hdc.PyHoloCPUScheduler(8, 2), hdc.PyOptimizer()
    signals = [0.9, 0.2, 0.5, 0.51, 2.0, -1.0, 0.7, 1e-9, 0.3, 0.123456789, 0.6, math.nan, 0.8]
    for signal in signals:
        x = f32(f32(signal) - 0.5)
        opt.apply("learning_rate_increase" if x > 0 else "learning_rate_decrease", abs(x), "feedback")
        assert s.process_feedback(signal) is None
        assert same_floats([s.feedback_strength()], [opt.get("learning_rate")]), signal
    assert math.isnan(s.feedback_strength())  # a NaN signal is kept, as apply keeps it


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(os.environ.get("TESSARIN_SANITIZED") == "1", reason="the sanitizer quarantines freed memory")
def test_endless_feedback_keeps_memory_bounded():
    s = hdc.PyHoloCPUScheduler(1024, 4)
    for i in range(20_000):  # past both log limits
        s.process_feedback(0.75 if i % 4 == 0 else 0.25)
    before = rss_bytes()
    for i in range(300_000):
        s.process_feedback(0.75 if i % 4 == 0 else 0.25)
    # Unbounded, the log would grow by at least 40 bytes a signal: 12 MB here.
    assert rss_bytes() - before < 4 << 20


def bipolar(rng, n):
    return [rng.choice((1.0, -1.0)) for _ in range(n)]


def flipped(v, count):
    return [-x if i < count else x for i, x in enumerate(v)]


def attention_case(seed, dim, nkeys):
    """A query, keys at several agreements with it (some contributing), and values of mixed lengths."""
    rng = random.Random(seed)
    query = bipolar(rng, dim)
    keys = [flipped(query, rng.randrange(0, max(1, dim // 2))) for _ in range(nkeys - 1)] + [bipolar(rng, dim)]
    values = [[f32(rng.uniform(-2, 2)) for _ in range(rng.choice((dim // 2, dim, dim + 3)))] for _ in range(nkeys)]
    return query, keys, values


@pytest.mark.parametrize("dim, nqubits, capacity, nkeys", [(64, 3, 7, 5), (33, 0, 1, 2), (64, 9, 0, 1), (8, 2, 2, 4)])
def test_grover_search_is_the_attention_head_read_out(dim, nqubits, capacity, nkeys):
    query, keys, values = attention_case(dim + nkeys, dim, nkeys)
    want = hdc.PyQuantumAttentionHead(dim, nqubits).compute(query, keys, values)
    got = hdc.PyHoloCPUScheduler(dim, capacity).quantum_grover_search(query, keys, values)
    assert same_floats(got, want)
    if nkeys > 1:
        assert len(got) == dim and any(got)


@pytest.mark.parametrize(
    "keys, values, want",
    [
        # One key: its value whole, whatever the query, the key and dim.
        ([[5.0]], [[1.0, 2.0, 3.0, 4.0, 5.0, 6.0]], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
        # The matching key has amplitude 1, the half-agreeing one 0; the value is padded to dim.
        ([[1.0, 1.0, 1.0, 1.0], [1.0, 1.0, -1.0, -1.0]], [[7.0, 8.0], [9.0, 9.0, 9.0, 9.0]], [7.0, 8.0, 0.0, 0.0]),
    ],
    ids=["single-key", "one-match"],
)
def test_attention_read_out(keys, values, want):
    head = hdc.PyQuantumAttentionHead(4, 2)
    assert head.compute([1.0, 1.0, 1.0, 1.0], keys, values) == want
    # Tuples, ranges and nested tuples are sequences too.
    assert head.compute((1, 1, 1, 1), tuple(map(tuple, keys)), [tuple(v) for v in values]) == want


def grover(dim):
    return hdc.PyHoloCPUScheduler(dim, 2).quantum_grover_search


def compute(dim):
    return hdc.PyQuantumAttentionHead(dim, 2).compute


READ_OUTS = [grover, compute]


@pytest.mark.parametrize("read_out", READ_OUTS, ids=["grover", "compute"])
@pytest.mark.parametrize("keys, values", [([], []), ([[1.0], [1.0]], [[1.0], [1.0], [1.0]]), ([[1.0]], [])])
def test_empty_or_unequal_keys_and_values_panic(read_out, keys, values):
    call = read_out(4)
    err = raised(lambda: call([1.0], keys, values))
    assert type(err).__name__ == "PanicException" and not isinstance(err, Exception)
    assert err.args == (MISMATCH,)
    assert call([1.0], [[1.0]], [[2.0]]) == [2.0]  # still usable


class FailingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return [1.0]

    def __iter__(self):
        raise ValueError("no items today")


STR_REFUSED = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("read_out", READ_OUTS, ids=["grover", "compute"])
@pytest.mark.parametrize(
    "query, keys, values, error, message",
    [
        ("ab", [[1.0]], [[1.0]], TypeError, "argument 'query': " + STR_REFUSED),
        ([1.0], "ab", [[1.0]], TypeError, "argument 'keys': " + STR_REFUSED),
        ([1.0], [[1.0], "ab"], [[1.0], [1.0]], TypeError, "argument 'keys': " + STR_REFUSED),
        ([1.0], [[1.0]], ["x"], TypeError, "argument 'values': " + STR_REFUSED),
        ([1.0], None, [[1.0]], TypeError, "argument 'keys': 'NoneType' object cannot be converted to 'Sequence'"),
        ([1.0], ([1.0] for _ in range(2)), [[1.0], [1.0]], TypeError,
         "argument 'keys': 'generator' object cannot be converted to 'Sequence'"),
        ([1.0], [[1.0]], [[1.0, "x"]], TypeError, "argument 'values': must be real number, not str"),
        ([1.0], FailingSequence(), [[1.0], [1.0]], ValueError, "no items today"),
        # The first argument that fails is the one reported, even before the length check.
        ("q", "k", [], TypeError, "argument 'query': " + STR_REFUSED),
        ([1.0], [], "v", TypeError, "argument 'values': " + STR_REFUSED),
    ],
)
def test_sequence_of_vectors_conversion(read_out, query, keys, values, error, message):
    call = read_out(4)
    with pytest.raises(error) as info:
        call(query, keys, values)
    assert str(info.value) == message


def fresh_view(s):
    return s.export_holographic_state(), s.recall("abc"), s.feedback_strength(), s.generate_role("abc")


@pytest.mark.parametrize(
    "call, error, prefix",
    [
        (lambda s: s.store_memory(3), TypeError, "argument 'target': "),
        (lambda s: s.store_memory("\ud800"), UnicodeEncodeError, None),
        (lambda s: s.recall(None), TypeError, "argument 'target': "),
        (lambda s: s.process_feedback("0.9"), TypeError, "argument 'signal': "),
        (lambda s: s.generate_role(1), TypeError, "argument 'label': "),
        (lambda s: s.quantum_grover_search([1.0], [[1.0], "ab"], [[1.0], [1.0]]), TypeError, "argument 'keys': "),
    ],
)
def test_scheduler_conversion_failures_change_nothing(call, error, prefix):
    s = hdc.PyHoloCPUScheduler(16, 4)
    with pytest.raises(error) as info:
        call(s)
    assert str(info.value).startswith(prefix) if prefix else not str(info.value).startswith("argument ")
    assert fresh_view(s) == fresh_view(hdc.PyHoloCPUScheduler(16, 4))
    s.process_feedback(0.9)  # the object is free again
    assert s.feedback_strength() == 0.8999999761581421


@pytest.mark.parametrize(
    "make, error, prefix",
    [
        (lambda: hdc.PyHoloCPUScheduler(-1, 4), OverflowError, None),
        (lambda: hdc.PyHoloCPUScheduler(16, 1.5), TypeError, "argument 'quantum_capacity': "),
        (lambda: hdc.PyHoloCPUScheduler("16", 4), TypeError, "argument 'dim': "),
        (lambda: hdc.PyQuantumAttentionHead(4.0, 2), TypeError, "argument 'dim': "),
    ],
)
def test_constructor_arguments(make, error, prefix):
    with pytest.raises(error) as info:
        make()
    assert str(info.value).startswith(prefix) if prefix else not str(info.value).startswith("argument ")


def test_impossible_dims_are_panics_not_crashes():
    err = raised(lambda: hdc.PyHoloCPUScheduler(2**62, 1))
    assert type(err).__name__ == "PanicException" and err.args == ("capacity overflow",)
    head = hdc.PyQuantumAttentionHead(2**62, 1)
    assert head.compute([1.0], [[1.0]], [[2.0]]) == [2.0]  # a single key allocates nothing
    err = raised(lambda: head.compute([1.0], [[1.0], [1.0]], [[2.0], [2.0]]))
    assert type(err).__name__ == "PanicException" and err.args == ("capacity overflow",)


@needs_real_allocator
def test_huge_dims_raise_memory_error():
    with pytest.raises(MemoryError):
        hdc.PyHoloCPUScheduler(2**40, 1)
    head = hdc.PyQuantumAttentionHead(2**40, 1)
    with pytest.raises(MemoryError):
        head.compute([1.0], [[1.0], [1.0]], [[2.0], [2.0]])
    assert head.compute([1.0], [[1.0]], [[2.0]]) == [2.0]


QUERY = [1.0, 1.0, 1.0, 1.0]


def search_with_probe(s, p):
    return s.quantum_grover_search(p, [QUERY, QUERY], [QUERY, QUERY])


# The inner calls made while process_feedback (a change) converts its signal.
FEEDBACK_INNER = [
    (lambda s: s.dimension(), "Already mutably borrowed"),
    (lambda s: s.quantum_capacity(), "Already mutably borrowed"),
    (lambda s: s.recall("abc"), "Already mutably borrowed"),
    (lambda s: s.export_holographic_state(), "Already mutably borrowed"),
    (lambda s: s.feedback_strength(), "Already mutably borrowed"),
    (lambda s: s.run_audit_integrity_check(), "Already mutably borrowed"),
    (lambda s: s.generate_role("abc"), "Already mutably borrowed"),
    (lambda s: s.dim, "Already mutably borrowed"),
    (lambda s: s.qc, "Already mutably borrowed"),
    (lambda s: s.store_memory("abc"), "Already borrowed"),
    (lambda s: s.process_feedback(0.5), "Already borrowed"),
    (lambda s: s.quantum_grover_search(QUERY, [QUERY], [QUERY]), "Already borrowed"),
]


@pytest.mark.parametrize("inner, outcome", FEEDBACK_INNER)
def test_scheduler_borrow_kinds(inner, outcome):
    s = hdc.PyHoloCPUScheduler(4, 2)
    probe = Reentry(lambda: inner(s))
    s.process_feedback(probe)
    assert probe.outcome == outcome


@pytest.mark.parametrize(
    "make, outer, items, inner, outcome",
    [
        # The search changes nothing, yet holds the scheduler exclusively.
        (lambda: hdc.PyHoloCPUScheduler(4, 2), search_with_probe, QUERY, lambda s: s.recall("abc"),
         "Already mutably borrowed"),
        (lambda: hdc.PyHoloCPUScheduler(4, 2), search_with_probe, QUERY, lambda s: s.dim, "Already mutably borrowed"),
        (lambda: hdc.PyQuantumAttentionHead(4, 2), lambda h, p: h.compute(QUERY, p, [QUERY, QUERY]), [QUERY, QUERY],
         lambda h: h.compute(QUERY, [QUERY], [QUERY]), "Already borrowed"),
    ],
)
def test_read_outs_are_exclusive(make, outer, items, inner, outcome):
    obj = make()
    probe = Reentry(lambda: inner(obj), items=items)
    assert outer(obj, probe) == QUERY
    assert probe.outcome == outcome
