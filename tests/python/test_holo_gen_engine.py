"""PyHoloGenEngine from Python: argument conversion and its order, the photon
messages, the text fallback of counterfactual operands, shared borrows,
reference encodings and their stability across processes."""
import os
import subprocess
import sys

import pytest

import tessarin_hdc as hdc
from conftest import Reentry, needs_real_allocator, raised, run_in_thread

Gen = hdc.PyHoloGenEngine
COLOUR_HINT = "'. Use blue, red, green, yellow, white, cyan, amber, or violet."
NEED_DIRECTION = "direction is required when generate_photon() is called with a position vector"
OUT_OF_RANGE = "out of range integral type conversion attempted"
NEED_WAVELENGTH = "wavelength is required when generate_photon() is called with a position vector"
ORIGIN, PLUS_X = [0.0, 0.0, 0.0], [1.0, 0.0, 0.0]


def signs(pattern):
    return [1 if c == "+" else -1 for c in pattern]


def negated(v):
    return [-x for x in v]


def product(a, b):
    return [x * y for x, y in zip(a, b)]


def assert_panic(call, message):
    exc = raised(call)
    assert type(exc).__name__ == "PanicException" and exc.args == (message,)


@pytest.fixture
def g16():
    return Gen(16)


@pytest.mark.parametrize("name, signature", [
    ("structural_dimension", "($self)"),
    ("generate_pixel_geometry", "($self, x, y, frame_id=None)"),
    ("generate_material_mapping", "($self, position, normal, material_id)"),
    ("generate_photon", "($self, position, direction=None, wavelength=None)"),
    ("encode_bvh_node", "($self, min_bounds, max_bounds, left, right)"),
    ("simulate_counterfactual", "($self, root_state, intervention)"),
])
def test_docstrings_are_the_signature_alone(name, signature):
    assert Gen.__text_signature__ == "(dim)" and Gen.__doc__ == ""
    member = getattr(Gen, name)
    assert member.__text_signature__ == signature and member.__doc__ is None


# ---- reference encodings ---------------------------------------------------------

@pytest.mark.parametrize("seed, pattern", [
    (0, "--+-+-+----++-++"), (5, "+++--++---------"),
])
def test_pixel_on_the_diagonal_is_the_frame_vector(g16, seed, pattern):
    assert g16.generate_pixel_geometry(7, 7, seed) == signs(pattern)
    assert g16.generate_material_mapping(ORIGIN, ORIGIN, seed) == signs(pattern)


def test_pixel_symmetry_and_default_frame(g16):
    v = g16.generate_pixel_geometry(3, 9)
    assert v == g16.generate_pixel_geometry(9, 3) == g16.generate_pixel_geometry(3, 9, None)
    assert v == g16.generate_pixel_geometry(y=9, x=3, frame_id=0)
    assert v != g16.generate_pixel_geometry(3, 9, 1)
    assert all(type(c) is int and c in (1, -1) for c in v)


WAVELENGTH_CODE_650 = signs("+-----++++++++++-++-++-++-++----")


@pytest.mark.parametrize("call", [
    lambda g: g.generate_photon(ORIGIN, PLUS_X, 650.0),
    lambda g: g.generate_photon([0, 0, 0], (1, 0, 0), 650),
    lambda g: g.generate_photon(ORIGIN, PLUS_X, 650.00000001),  # narrows to the same float
    lambda g: g.generate_photon("red"),
    lambda g: g.generate_photon(" Red\t", [5.0, 5.0, 5.0], 480.0),
    lambda g: g.generate_photon("\u3000RED\n"),
    lambda g: g.generate_photon(type("Name", (str,), {})("red")),
    lambda g: g.generate_photon(wavelength=650.0, direction=PLUS_X, position=ORIGIN),
])
def test_red_photon_reference(call):
    assert call(Gen(32)) == negated(WAVELENGTH_CODE_650)


@pytest.mark.parametrize("alias, colour", [("purple", "violet"), ("orange", "amber")])
def test_colour_aliases(alias, colour):
    g = Gen(64)
    assert g.generate_photon(alias) == g.generate_photon(colour) != g.generate_photon("red")


L_TIMES_R = product(signs("++-+++++--+++--+"), signs("-++--+----+---+-"))


def test_bvh_node_binds_children_with_fixed_side_codebooks(g16):
    ones = [1] * 16
    assert g16.encode_bvh_node(ORIGIN, ORIGIN, ones, ones) == L_TIMES_R
    left = signs("+-" * 8)
    right = signs("++--" * 4)
    want = product(product(L_TIMES_R, left), right)
    assert g16.encode_bvh_node([1, 1, 1], [1, 1, 1], left, right) == want
    # Corner codes of different parity negate the node.
    assert g16.encode_bvh_node([0, 0, 0], [0.625, 0, 0], left, right) == negated(want)


@pytest.mark.parametrize("root, intervention, want", [
    ([1, -1, 1], [1, 1, -1], [1, -1, -1]),
    ((127, -128), range(-1, 1), [-127, 0]),
    ("abc", "abc", [1] * 16),
    ("abc", [1] * 16, signs("-+----+-+++++-++")),
    ([1] * 16, "", signs("--++----++-++--+")),
    ([1.5, 2.0], "[1.5, 2.0]", [1] * 16),   # floats are no sign vector: hashed as text
    ([128], "[128]", [1] * 16),             # nor is an out-of-range element
])
def test_counterfactual_operands(g16, root, intervention, want):
    assert g16.simulate_counterfactual(root, intervention) == want


def test_text_holding_lone_surrogates_hashes_with_replacement_characters(g16):
    class Odd:
        def __str__(self):
            return "a\ud800b\udfff"

    assert g16.simulate_counterfactual(Odd(), "a\ufffdb\ufffd") == [1] * 16
    assert g16.simulate_counterfactual("x\udc80", "x\ufffd") == [1] * 16


# ---- failures --------------------------------------------------------------------

@pytest.mark.parametrize("call, error, message", [
    (lambda g: g.generate_photon("Magenta"), ValueError, "unsupported photon color 'magenta" + COLOUR_HINT),
    (lambda g: g.generate_photon(" \n "), ValueError, "unsupported photon color '" + COLOUR_HINT),
    (lambda g: g.generate_photon("\0Red "), ValueError, "unsupported photon color '\0red" + COLOUR_HINT),
    (lambda g: g.generate_photon(ORIGIN), ValueError, NEED_DIRECTION),
    (lambda g: g.generate_photon(ORIGIN, wavelength=500.0), ValueError, NEED_DIRECTION),
    (lambda g: g.generate_photon(ORIGIN, PLUS_X), ValueError, NEED_WAVELENGTH),
    # The position's own conversion errors carry no argument prefix...
    (lambda g: g.generate_photon(5), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (lambda g: g.generate_photon([1, 2]), ValueError, "expected a sequence of length 3 (got 2)"),
    # ...and come after those of direction and wavelength, even for a colour.
    (lambda g: g.generate_photon([1, 2], [1]), ValueError, "expected a sequence of length 3 (got 1)"),
    (lambda g: g.generate_photon(5, "abc"), TypeError, "argument 'direction': must be real number, not str"),
    (lambda g: g.generate_photon("red", None, "x"), TypeError, "argument 'wavelength': must be real number, not str"),
    (lambda g: g.generate_photon("\ud800", [1]), ValueError, "expected a sequence of length 3 (got 1)"),
    (lambda g: g.generate_pixel_geometry(2**32, 0), OverflowError, OUT_OF_RANGE),
    (lambda g: g.generate_pixel_geometry(1.0, 0), TypeError,
     "argument 'x': 'float' object cannot be interpreted as an integer"),
    (lambda g: g.generate_material_mapping(ORIGIN, [0, 0], 1), ValueError, "expected a sequence of length 3 (got 2)"),
    (lambda g: g.generate_material_mapping(ORIGIN, ORIGIN, 2**32), OverflowError, OUT_OF_RANGE),
    (lambda g: g.encode_bvh_node(ORIGIN, ORIGIN, "ab", 1), TypeError, "argument 'left': Can't extract `str` to `Vec`"),
    (lambda g: g.encode_bvh_node(ORIGIN, ORIGIN, [1] * 16, [128]), OverflowError, OUT_OF_RANGE),
    (lambda g: g.encode_bvh_node(ORIGIN, ORIGIN, [1] * 16, [-(2**70)]), OverflowError, OUT_OF_RANGE),
    (lambda g: g.encode_bvh_node(ORIGIN, [0], "ab", [128]), ValueError, "expected a sequence of length 3 (got 1)"),
])
def test_conversion_and_photon_errors(g16, call, error, message):
    exc = raised(lambda: call(g16))
    assert type(exc) is error and str(exc) == message


def test_boundary_values(g16):
    assert len(g16.generate_pixel_geometry(2**32 - 1, 0, 2**64 - 1)) == 16
    assert len(g16.generate_material_mapping(ORIGIN, ORIGIN, 2**32 - 1)) == 16
    with pytest.raises(OverflowError):
        g16.generate_pixel_geometry(0, 0, -1)
    with pytest.raises(UnicodeEncodeError):
        g16.generate_photon("\ud800")


@pytest.mark.parametrize("call, message", [
    (lambda g: g.encode_bvh_node(ORIGIN, ORIGIN, [1] * 15, [1] * 16), "sign vectors differ in length: 16 and 15"),
    (lambda g: g.encode_bvh_node(ORIGIN, ORIGIN, [1] * 16, [1] * 17), "sign vectors differ in length: 16 and 17"),
    (lambda g: g.simulate_counterfactual("abc", [1, -1]), "sign vectors differ in length: 16 and 2"),
    (lambda g: g.generate_photon("red"), "attempt to divide by zero"),
])
def test_faults_raise_the_panic_and_leave_the_engine_usable(g16, call, message):
    assert_panic(lambda: call(g16), message)
    assert g16.simulate_counterfactual([1] * 16, [-1] * 16) == [-1] * 16


@pytest.mark.parametrize("dim", [1, 31])
def test_photons_need_room_for_every_band(dim):
    g = Gen(dim)
    assert_panic(lambda: g.generate_photon(ORIGIN, PLUS_X, 500.0), "attempt to divide by zero")
    assert len(g.generate_pixel_geometry(1, 2)) == dim


def test_impossible_dimensions_never_crash():
    assert_panic(lambda: Gen(2**63), "capacity overflow")
    with pytest.raises(OverflowError):
        Gen(2**64)


@needs_real_allocator
def test_unallocatable_dimension_is_a_memory_error():
    with pytest.raises(MemoryError):
        Gen(2**60)


# ---- the text fallback of counterfactual operands ------------------------------

class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def test_a_failing_str_is_reported_and_replaced(g16, unraisable):
    obj = Unprintable()
    assert g16.simulate_counterfactual(obj, "<unprintable Unprintable object>") == [1] * 16
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is ValueError and unraisable[0].object is obj


def test_text_fallbacks_keep_no_references(g16, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda info: None)
    texts, unprintable = [1.5] * 16, Unprintable()
    for _ in range(2):  # warm up, then measure
        before = sys.getrefcount(texts), sys.getrefcount(unprintable)
        for _ in range(200):
            g16.simulate_counterfactual(texts, unprintable)
    assert (sys.getrefcount(texts), sys.getrefcount(unprintable)) == before


class Raising:
    """A sequence whose iteration, an item's __index__ or str() raises `exc`."""

    def __init__(self, exc, where):
        self.exc, self.where = exc, where

    def __len__(self):
        return 16

    def __getitem__(self, i):
        if i >= 16:
            raise IndexError
        if self.where == "iter":
            raise self.exc
        return self

    def __index__(self):
        raise self.exc if self.where == "item" else TypeError("not an int")

    def __str__(self):
        if self.where == "str":
            raise self.exc
        return "raising"


@pytest.mark.parametrize("where", ["iter", "item"])
@pytest.mark.parametrize("exc", [RuntimeError("x"), OverflowError("o")])
def test_ordinary_conversion_failures_fall_back_to_the_text(g16, exc, where):
    assert g16.simulate_counterfactual(Raising(exc, where), "raising") == [1] * 16


@pytest.mark.parametrize("where", ["iter", "item", "str"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), MemoryError(), GeneratorExit()])
def test_interrupts_exits_and_memory_errors_propagate(g16, unraisable, exc, where):
    later = []

    class Spy:
        def __iter__(self):
            later.append(True)
            return iter([1] * 16)

        def __len__(self):
            return 16

        def __getitem__(self, i):
            return 1

    assert raised(lambda: g16.simulate_counterfactual(Raising(exc, where), Spy())) is exc
    assert later == [] and unraisable == []


def test_root_state_is_resolved_completely_before_the_intervention(g16):
    events = []

    class Logged:
        def __init__(self, name):
            self.name = name

        def __iter__(self):
            events.append(self.name + ".iter")
            return iter(["not an int"])

        def __len__(self):
            return 1

        def __getitem__(self, i):
            return "not an int"

        def __str__(self):
            events.append(self.name + ".str")
            return self.name

    g16.simulate_counterfactual(Logged("root"), Logged("intervention"))
    assert events == ["root.iter", "root.str", "intervention.iter", "intervention.str"]


# ---- threads and borrows ---------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda g, r: g.generate_pixel_geometry(r, 0),
    lambda g, r: g.generate_material_mapping([r, 0, 0], ORIGIN, 1),
    lambda g, r: g.generate_photon("red", None, r),
    lambda g, r: g.encode_bvh_node(ORIGIN, ORIGIN, [r] * 32, [1] * 32),
    lambda g, r: g.simulate_counterfactual(r, "text"),
])
def test_every_method_is_a_shared_use(call):
    g = Gen(32)
    probe = Reentry(lambda: g.generate_photon("blue"), items=[1] * 32)
    call(g, probe)
    assert probe.outcome == "ok"


def test_another_thread_is_refused_before_conversion(g16):
    probe = Reentry(g16.structural_dimension, items=[1] * 16)
    exc = run_in_thread(lambda: g16.simulate_counterfactual(probe, probe))["error"]
    assert type(exc).__name__ == "PanicException"
    assert exc.args == ("tessarin_hdc::py_api::PyHoloGenEngine is unsendable, but sent to another thread",)
    assert probe.outcome is None


# ---- determinism across processes --------------------------------------------------

ENCODINGS = """
import tessarin_hdc as hdc
g = hdc.PyHoloGenEngine(40)
print([g.encode_bvh_node([0, 0, 0], [0, 0, 0], [1] * 40, [1] * 40), g.generate_photon("green"),
       g.generate_pixel_geometry(11, 4, 2), g.simulate_counterfactual("state", "intervention")])
"""


def test_codebooks_and_encodings_are_the_same_in_every_process():
    # Different string-hash seeds: nothing may depend on the interpreter's own hashing.
    outputs = [
        subprocess.run([sys.executable, "-c", ENCODINGS], capture_output=True, text=True, check=True,
                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "PYTHONHASHSEED": seed}).stdout
        for seed in ("1", "2")
    ]
    g = Gen(40)
    here = [g.encode_bvh_node(ORIGIN, ORIGIN, [1] * 40, [1] * 40), g.generate_photon("green"),
            g.generate_pixel_geometry(11, 4, 2), g.simulate_counterfactual("state", "intervention")]
    assert outputs[0] == outputs[1] == repr(here) + "\n"
