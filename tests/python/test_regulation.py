"""The self-regulation classes from Python: PyOptimizer, PyMetacognition and
PySelfAudit. The engines' arithmetic is covered by the C++ suites; here the
binding's share: docstrings, argument conversion and its messages, borrow
kinds, exact texts and values as Python sees them, and recommendations
flowing into the optimizer."""
import math

import pytest

import tessarin_hdc as hdc
from conftest import Reentry, f32, same_floats

PARAMS = {
    "learning_rate": 0.5,
    "attention_weight": 0.5,
    "momentum": 0.5,
    "excitation_bias": 0.5,
    "inhibition_bias": 0.30000001192092896,
    "identity_lr": 0.009999999776482582,
    "exploration_rate": 0.30000001192092896,
}
GET_DOC = (
    "Get a cognitive parameter value by name.\n\n"
    'Valid names: "learning_rate", "attention_weight", "momentum", "excitation_bias",\n'
    '"inhibition_bias", "identity_lr", "exploration_rate".\n'
    "Returns None if the parameter is not set."
)

# class -> (constructor signature, [(method, signature, documentation or None)] in table order)
SURFACE = {
    hdc.PyOptimizer: ("()", [
        ("apply", "($self, action, delta, reason)", None),
        ("rollback", "($self)", None),
        ("get", "($self, name)", GET_DOC),
        ("get_params", "($self)", None),
    ]),
    hdc.PyMetacognition: ("(dim)", [
        ("record", "($self, res, coh, acc, context, hash)", None),
        ("success_rate", "($self)", None),
        ("avg_resonance", "($self)", None),
        ("recommend", "($self)", None),
    ]),
    hdc.PySelfAudit: ("(dim)", [
        ("full_audit", "($self, hv)",
         "Full audit: run all consistency checks on a hypervector.\n\nReturns (score, passed, issues_list)"),
        ("check_consistency", "($self, h1, h2)",
         "Check consistency between two hypervectors.\n\n"
         "Returns (score, passed, issues_list) where score is resonance ∈ [0,1].\nPassed if score >= 0.7."),
    ]),
}


@pytest.mark.parametrize("cls", SURFACE, ids=lambda c: c.__name__)
def test_docstrings_signatures_and_method_order(cls):
    ctor, methods = SURFACE[cls]
    assert cls.__text_signature__ == ctor
    assert not cls.__doc__
    assert [name for name in vars(cls) if not name.startswith("_")] == [m[0] for m in methods]
    for name, signature, doc in methods:
        assert getattr(cls, name).__text_signature__ == signature, name
        assert getattr(cls, name).__doc__ == doc, name


def expected_recommendations(rate=None, momentum=None, resonance=None):
    """The triples recommend() gives for the reason numbers given (None: absent)."""
    out = []
    if rate is not None:
        out += [("learning_rate_increase", 0.10000000149011612, f"success rate {rate} < 50%"),
                ("attention_increase", 0.05000000074505806, "increase focus")]
    if momentum is not None:
        out.append(("momentum_increase", 0.05000000074505806, f"success rate {momentum} > 80%, reinforce"))
    if resonance is not None:
        out.append(("identity_lr_decrease", -0.004999999888241291, f"avg resonance {resonance} too low"))
    return out


def metacognition_with(observations, dim=2):
    m = hdc.PyMetacognition(dim)
    for res, acc in observations:
        m.record(res, 0.0, acc, [1.0] * dim, 7)
    return m


@pytest.mark.parametrize(
    "observations, rate, avg, recommendations",
    [
        ([], 0.0, 0.0, expected_recommendations(rate="0.00", resonance="0.00")),
        ([(0.9, 0.9)], 1.0, 0.8999999761581421, expected_recommendations(momentum="1.00")),
        # One success in eight is 0.125: the tie goes to the even digit.
        ([(0.9, 0.9)] + [(0.9, 0.0)] * 7, 0.125, None, expected_recommendations(rate="0.12")),
        ([(0.375, 0.0)], 0.0, 0.375, expected_recommendations(rate="0.00", resonance="0.38")),
        ([(-0.125, 0.9)], 0.0, -0.125, expected_recommendations(rate="0.00", resonance="-0.12")),
    ],
    ids=["empty", "one-success", "rate-tie-down", "resonance-tie-up", "negative-resonance"],
)
def test_metacognition_statistics_and_recommendations(observations, rate, avg, recommendations):
    m = metacognition_with(observations)
    assert m.success_rate() == rate
    if avg is not None:
        assert m.avg_resonance() == avg
    assert m.recommend() == recommendations


@pytest.mark.parametrize(
    "records, optimizer_after",
    [
        ([], {"learning_rate": 0.6000000238418579, "attention_weight": 0.550000011920929,
              "identity_lr": f32(f32(0.01) - f32(0.005))}),
        ([(0.9, 0.9)], {"momentum": 0.550000011920929}),
    ],
    ids=["empty-log", "successful-log"],
)
def test_recommendations_feed_the_optimizer_as_they_are(records, optimizer_after):
    opt = hdc.PyOptimizer()
    recommendations = metacognition_with(records).recommend()
    for triple in recommendations:
        opt.apply(*triple)
    assert opt.get_params() == {**PARAMS, **optimizer_after}
    # Every triple was one undo step.
    for _ in recommendations:
        opt.rollback()
    assert opt.get_params() == PARAMS


def audit_after(history, hv, dim):
    audit = hdc.PySelfAudit(dim)
    for earlier in history:
        audit.full_audit(earlier)
    return audit.full_audit(hv)


BIPOLAR = [1.0, -1.0, -1.0, 1.0] * 4


@pytest.mark.parametrize(
    "history, hv, dim, expected",
    [
        ([], BIPOLAR, 16, (1.0, True, [])),
        ([BIPOLAR], [-x for x in BIPOLAR], 16, (0.8999999761581421, False, ["low history consistency: -1.000"])),
        # A consistency of exactly 0.0625 is written with its tie going to the even digit.
        ([[1.0] * 16], [1.0] + [0.0] * 15, 1000, (0.8999999761581421, False, ["low history consistency: 0.062"])),
        ([[1.0] * 16], [-1.0] + [0.0] * 15, 1000, (0.8999999761581421, False, ["low history consistency: -0.062"])),
        ([[1.0] * 100], [-1.0] * 89 + [0.0] * 11, 100,
         (0.800000011920929, False, ["drift detected: 11 elements near zero", "low history consistency: -0.890"])),
    ],
    ids=["first", "negation", "tie", "negative-tie", "both-issues"],
)
def test_full_audit(history, hv, dim, expected):
    assert audit_after(history, hv, dim) == expected


@pytest.mark.parametrize(
    "h1, h2, expected",
    [
        (BIPOLAR, BIPOLAR, (1.0, True, [])),
        (BIPOLAR, [-x for x in BIPOLAR], (0.0, False, ["low consistency: 0.000"])),
        ([1.0] * 10, [1.0] * 7 + [-1.0] * 3, (0.699999988079071, True, [])),
        ([1.0] * 16, [-1.0] * 15 + [1.0], (0.0625, False, ["low consistency: 0.062"])),
    ],
    ids=["same", "negation", "at-threshold", "tie"],
)
def test_check_consistency(h1, h2, expected):
    audit = hdc.PySelfAudit(16)
    assert audit.check_consistency(h1, h2) == expected
    # Nothing was remembered: a first audit of the negation still passes.
    assert audit.full_audit([-x for x in h1]) == (1.0, True, [])


@pytest.mark.parametrize(
    "delta, action, name, want",
    [
        (0.7, "learning_rate_increase", "learning_rate", 1.0),
        # The delta is a 32-bit float: 0.5 + 0.1 rounds as floats do.
        (0.1, "learning_rate_increase", "learning_rate", 0.6000000238418579),
        (-0.2, "momentum_decrease", "momentum", 0.30000001192092896),
        (math.nan, "attention_increase", "attention_weight", math.nan),
        (math.nan, "identity_lr_increase", "identity_lr", 0.0010000000474974513),
        (0.3, "Learning_rate_increase", "learning_rate", 0.5),
    ],
)
def test_optimizer_actions(delta, action, name, want):
    opt = hdc.PyOptimizer()
    opt.apply(action, delta, "why")
    assert same_floats([opt.get(name)], [want])
    assert same_floats([opt.get_params()[name]], [want])


def test_optimizer_fresh_values_and_unknown_names():
    opt = hdc.PyOptimizer()
    assert {name: opt.get(name) for name in PARAMS} == PARAMS == opt.get_params()
    assert [opt.get(name) for name in ("Momentum", "", "momentum ", "learning_rate\0")] == [None] * 4


def stepped_optimizer():
    """An optimizer one undo step away from its initial values."""
    opt = hdc.PyOptimizer()
    opt.apply("learning_rate_increase", 0.1, "")
    return opt


# (make object, call taking the bad argument, error type, message prefix or None for an unprefixed error)
REJECTED = [
    (stepped_optimizer, lambda o: o.apply(3, 0.1, "r"), TypeError, "argument 'action': "),
    (stepped_optimizer, lambda o: o.apply("learning_rate_increase", "0.1", "r"), TypeError, "argument 'delta': "),
    (stepped_optimizer, lambda o: o.apply("learning_rate_increase", 0.1, b"r"), TypeError, "argument 'reason': "),
    (stepped_optimizer, lambda o: o.apply("\ud800", 0.1, "r"), UnicodeEncodeError, None),
    (stepped_optimizer, lambda o: o.get(None), TypeError, "argument 'name': "),
    (lambda: hdc.PyMetacognition(2), lambda o: o.record("0.9", 0.9, 0.9, [1.0, 1.0], 0), TypeError,
     "argument 'res': "),
    (lambda: hdc.PyMetacognition(2), lambda o: o.record(0.9, 0.9, 0.9, "ab", 0), TypeError,
     "argument 'context': Can't extract `str` to `Vec`"),
    (lambda: hdc.PyMetacognition(2), lambda o: o.record(0.9, 0.9, 0.9, [1.0, 1.0], -1), OverflowError, None),
    (lambda: hdc.PyMetacognition(2), lambda o: o.record(0.9, 0.9, 0.9, [1.0, 1.0], 1.0), TypeError,
     "argument 'hash': "),
    # The first argument that fails is the one reported.
    (lambda: hdc.PyMetacognition(2), lambda o: o.record(0.9, 0.9, 0.9, "ab", -1), TypeError,
     "argument 'context': "),
    (lambda: hdc.PySelfAudit(4), lambda o: o.full_audit("abcd"), TypeError,
     "argument 'hv': Can't extract `str` to `Vec`"),
    (lambda: hdc.PySelfAudit(4), lambda o: o.full_audit({1.0, 2.0}), TypeError,
     "argument 'hv': 'set' object cannot be converted to 'Sequence'"),
    (lambda: hdc.PySelfAudit(4), lambda o: o.check_consistency([1.0], "x"), TypeError, "argument 'h2': "),
]


def observe(obj):
    """Everything a caller can read from the object, after a probe of its history."""
    if isinstance(obj, hdc.PyOptimizer):
        params = obj.get_params()
        obj.rollback()  # an undo step added by the failed call would show here
        return params, obj.get_params()
    if isinstance(obj, hdc.PyMetacognition):
        return obj.success_rate(), obj.avg_resonance(), obj.recommend()
    # A remembered vector would make the negation inconsistent with history.
    return obj.full_audit([-1.0, -1.0, -1.0, -1.0])


@pytest.mark.parametrize("make, call, error, prefix", REJECTED)
def test_conversion_failures_name_the_argument_and_change_nothing(make, call, error, prefix):
    obj, untouched = make(), make()
    with pytest.raises(error) as info:
        call(obj)
    if prefix is None:
        assert not str(info.value).startswith("argument ")
    else:
        assert str(info.value).startswith(prefix)
    assert observe(obj) == observe(untouched)


# (make object, outer call given the probe, inner call on the same object, outcome of the inner call)
def _record(m, res=0.0):
    return m.record(res, 0.0, 0.0, [1.0, 1.0], 0)


REENTRY = [
    (hdc.PyOptimizer, lambda o, p: o.apply("x", p, "r"), lambda o: o.get_params(), "Already mutably borrowed"),
    (hdc.PyOptimizer, lambda o, p: o.apply("x", p, "r"), lambda o: o.apply("x", 0.1, "r"), "Already borrowed"),
    (lambda: hdc.PyMetacognition(2), _record, _record, "Already borrowed"),
    (lambda: hdc.PyMetacognition(2), _record, lambda o: o.success_rate(), "Already mutably borrowed"),
    (lambda: hdc.PyMetacognition(2), _record, lambda o: o.avg_resonance(), "Already mutably borrowed"),
    (lambda: hdc.PyMetacognition(2), _record, lambda o: o.recommend(), "Already mutably borrowed"),
    (lambda: hdc.PyMetacognition(2), lambda o, p: o.record(0.0, 0.0, 0.0, [1.0, 1.0], p),
     lambda o: o.success_rate(), "Already mutably borrowed"),
    (lambda: hdc.PySelfAudit(4), lambda o, p: o.full_audit(p), lambda o: o.check_consistency([1.0], [1.0]),
     "Already mutably borrowed"),
    (lambda: hdc.PySelfAudit(4), lambda o, p: o.full_audit(p), lambda o: o.full_audit([1.0]), "Already borrowed"),
    (lambda: hdc.PySelfAudit(4), lambda o, p: o.check_consistency(p, [1.0]),
     lambda o: o.check_consistency([1.0], [1.0]), "ok"),
    (lambda: hdc.PySelfAudit(4), lambda o, p: o.check_consistency([1.0], p), lambda o: o.full_audit([1.0]),
     "Already borrowed"),
]


@pytest.mark.parametrize("make, outer, inner, outcome", REENTRY)
def test_borrow_kinds(make, outer, inner, outcome):
    obj = make()
    probe = Reentry(lambda: inner(obj), items=[1.0, 1.0, 1.0, 1.0])
    outer(obj, probe)
    assert probe.outcome == outcome
    inner(obj)  # released after the outer call
