"""The fourteen functions against independent Python models of their formulas."""
import math
import os
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin_hdc as hdc
from conftest import f32, same_floats

NAN = math.nan
INF = math.inf

floats32 = st.floats(width=32, allow_nan=True, allow_infinity=True)
small_vectors = st.lists(floats32, max_size=40)
bipolar = st.lists(st.sampled_from([1.0, -1.0]), min_size=1, max_size=64)


# ---- independent models (each rounding step spelled out) ---------------------

def model_resonance(a, b):
    acc = 0.0
    for x, y in zip(a, b):
        acc = f32(acc + f32(x * y))
    d = f32(len(a))
    if d == 0:
        return NAN
    return f32(f32(f32(acc / d) + 1.0) * 0.5)


def model_lcg(seed, n):
    out, s = [], seed
    for _ in range(n):
        s = (s * 6364136223846793005 + 1) % 2**64
        out.append(1.0 if s < 2**63 else -1.0)
    return out


def model_hebbian(w, pre, post, lr, dim):
    w, eta = list(w), f32(lr)
    for i in range(min(len(pre), dim)):
        t = f32(pre[i] * eta)
        for j in range(min(len(post), dim)):
            k = i * dim + j
            if (i == j or (i + j) % 7 == 0) and k < len(w):
                w[k] = f32(f32(post[j] * t) + w[k])
    return w


# ---- algebra ------------------------------------------------------------------

@pytest.mark.parametrize(
    "a, b, want",
    [
        ([1, -1, 1], [1, 1, -1], [1.0, 0.0, 0.0]),
        ([0.5], [-0.5], [0.0]),
        ([NAN], [1.0], [0.0]),
        ([INF], [1.0], [1.0]),
        ([-0.0], [-0.0], [0.0]),
        ([2, 3], [-5], [-1.0]),
    ],
)
def test_bundle(a, b, want):
    assert same_floats(hdc.hdc_bundle(a, b), want)


@pytest.mark.parametrize(
    "a, b, want",
    [
        ([1, 1], [1, 1, 1, 1], 1.0),
        ([1, 1, 1, 1], [1, 1], 0.75),
        ([1, -1], [-1, 1], 0.0),
        ([1, 1], [1, -1], 0.5),
        ([1.0], [], 0.5),
    ],
)
def test_resonance_cases(a, b, want):
    assert hdc.resonance(a, b) == want


def test_resonance_of_empty_first_is_nan():
    assert math.isnan(hdc.resonance([], [1.0]))


@settings(max_examples=200, deadline=None)
@given(small_vectors, small_vectors)
def test_resonance_matches_sequential_float32_model(a, b):
    assert same_floats([hdc.resonance(a, b)], [model_resonance(a, b)])


@settings(max_examples=200, deadline=None)
@given(small_vectors, small_vectors)
def test_bind_and_unbind_are_float32_products_over_common_prefix(a, b):
    want = [f32(x * y) for x, y in zip(a, b)]
    assert same_floats(hdc.hdc_bind(a, b), want)
    assert same_floats(hdc.hdc_unbind(a, b), want)


@given(bipolar, st.lists(floats32, max_size=64))
def test_unbind_recovers_bound_operand(a, b):
    assert same_floats(hdc.hdc_unbind(hdc.hdc_bind(a, b), a), [f32(x) for x in b[: len(a)]])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-9, 9), max_size=12), st.integers(-(2**31), 2**31 - 1))
def test_permute_is_right_rotation(v, n):
    out = hdc.hdc_permute(v, n)
    if not v:
        assert out == []
        return
    k = n % len(v)
    assert out == [float(x) for x in v[-k:] + v[:-k]] if k else [float(x) for x in v]


@pytest.mark.parametrize(
    "v, want",
    [
        ([2, -4, 1], [0.5, -1.0, 0.25]),
        ([0.0, -0.0], [0.0, -0.0]),
        ([3, NAN], [1.0, NAN]),
        ([INF, 1], [NAN, 0.0]),
        ([1e-10], [f32(f32(1e-10) / f32(1e-9))]),
        ([], []),
    ],
)
def test_normalise_bipolar(v, want):
    assert same_floats(hdc.normalise_bipolar(v), want)


# ---- generators and fingerprints -----------------------------------------------

def test_hv_hash_string_reference_prefix():
    assert hdc.hv_hash_string("abc", 8) == [1.0, 1.0, -1.0, 1.0, -1.0, 1.0, 1.0, 1.0]
    assert hdc.hv_hash_string("", 0) == []


@pytest.mark.parametrize("text, seed", [("abc", 0xEF09E0F4895A251D), ("", 0x30406EA523C53DEF),
                                        ("ram_role", 0x6E5F4A532A03C3A1)])
def test_hv_hash_string_is_the_lcg_stream_of_the_digest(text, seed):
    assert hdc.hv_hash_string(text, 200) == model_lcg(seed, 200)


@given(st.text(max_size=20), st.integers(0, 100), st.integers(0, 100))
def test_hv_hash_string_longer_extends_shorter(text, n, m):
    lo, hi = sorted((n, m))
    assert hdc.hv_hash_string(text, hi)[:lo] == hdc.hv_hash_string(text, lo)


@pytest.mark.parametrize(
    "v, want",
    [([1.0, -1.0, 1.0], 5), ([0.0, -0.0, NAN], 0), ([1.0] * 65, 2**64 - 2), ([], 0), ([0.5] * 64, 2**64 - 1)],
)
def test_hv_hash(v, want):
    assert hdc.hv_hash(v) == want


def test_rand_bipolar_is_bipolar_and_random():
    a, b = hdc.rand_bipolar(512), hdc.rand_bipolar(512)
    assert set(a) <= {1.0, -1.0} and len(a) == 512
    assert a != b
    assert 150 < a.count(1.0) < 362
    assert hdc.rand_bipolar(0) == []


def test_rand_bipolar_threads_draw_independently():
    results = {}

    def draw(i):
        results[i] = hdc.rand_bipolar(256)

    threads = [threading.Thread(target=draw, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len({tuple(v) for v in results.values()}) == 4


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_rand_bipolar_differs_between_parent_and_forked_child():
    hdc.rand_bipolar(8)  # the parent's generator exists and has drawn before the fork
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: send its draw and leave without running any cleanup
        try:
            os.write(write_end, bytes(c > 0 for c in hdc.rand_bipolar(256)))
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        child = pipe.read()
    os.waitpid(pid, 0)
    parent = bytes(c > 0 for c in hdc.rand_bipolar(256))
    assert len(child) == 256
    assert child != parent


# ---- diagnostics -------------------------------------------------------------------

def test_encode_system_state_references():
    assert hdc.encode_system_state(8, 50.0, 25.0, 3, 1500) == [-2, 2, 2, -4, -2, -2, 0, 2]
    assert hdc.encode_system_state(8, 0.0, 0.0, 0, 0) == [4, 2, 0, 0, 0, 0, 0, -4]
    assert hdc.diagnostic_role(8) == [-1, 1, -1, -1, -1, -1, 1, 1]


def level_vector_product(label, level, dim):
    return [x * y for x, y in zip(hdc.hv_hash_string(f"{label}:{level}", dim),
                                  hdc.hv_hash_string(f"{label}_role", dim))]


@pytest.mark.parametrize(
    "ram, level",
    [(0.1, 100), (99.9, 60), (100.0, 160), (-5.0, 0), (NAN, 0), (1e7, 0), (-0.0, 0), (50.0, 80)],
)
def test_ram_quantisation_levels(ram, level):
    # Only the ram term changes with ram_pct: subtracting the encoding at level 0
    # leaves the difference of the two ram terms.
    dim = 64
    got = hdc.encode_system_state(dim, ram, 0.0, 0, 0)
    base = hdc.encode_system_state(dim, 0.0, 0.0, 0, 0)
    want_delta = [a - b for a, b in zip(level_vector_product("ram", level, dim), level_vector_product("ram", 0, dim))]
    assert [g - b for g, b in zip(got, base)] == want_delta


def test_bundle_then_extract_recovers_encoding_exactly():
    e = hdc.encode_system_state(8, 50.0, 25.0, 3, 1500)
    r = hdc.diagnostic_role(8)
    bundled = hdc.bundle_diagnostics([0.0] * 8, 50.0, 25.0, 3, 1500)
    assert bundled == [x * y for x, y in zip(r, e)]
    assert hdc.extract_system_state(bundled) == e
    payload = [1.0, -2.0, 3.0]
    assert len(hdc.bundle_diagnostics(payload, 1.0, 2.0, 3, 4)) == 3
    noisy = hdc.extract_system_state(hdc.bundle_diagnostics(payload, 1.0, 2.0, 3, 4))
    e3, r3 = hdc.encode_system_state(3, 1.0, 2.0, 3, 4), hdc.diagnostic_role(3)
    assert noisy == [a + b * c for a, b, c in zip(e3, r3, payload)]


def test_largest_error_count_quantises_to_level_zero():
    assert hdc.encode_system_state(16, 0.0, 0.0, 4294967295, 0) == hdc.encode_system_state(16, 0.0, 0.0, 0, 0)


# ---- Hebbian -------------------------------------------------------------------------

def test_hebbian_side_two_updates_the_diagonal_only():
    assert hdc.hebbian([0, 0, 0, 0], [1, 1], [1, 1], 0.5, 2) == [0.5, 0, 0, 0.5]


def test_hebbian_pattern_of_side_eight():
    w = hdc.hebbian([0.0] * 64, [1.0] * 8, [1.0] * 8, 1.0, 8)
    assert [i for i, x in enumerate(w) if x] == [0, 7, 9, 14, 18, 21, 27, 28, 35, 36, 42, 45, 49, 54, 56, 63]


def test_hebbian_short_list_and_nan_rate():
    assert hdc.hebbian([0, 0, 0], [1, 1], [1, 1], 1.0, 2) == [1.0, 0.0, 0.0]
    w = hdc.hebbian([1, 2, 3, 4], [1, 1], [1, 1], NAN, 2)
    assert math.isnan(w[0]) and math.isnan(w[3]) and w[1:3] == [2.0, 3.0]


@settings(max_examples=150, deadline=None)
@given(
    st.lists(floats32, max_size=50),
    st.lists(floats32, max_size=9),
    st.lists(floats32, max_size=9),
    floats32,
    st.integers(0, 9),
)
def test_hebbian_matches_model(w, pre, post, lr, dim):
    assert same_floats(hdc.hebbian(w, pre, post, lr, dim), model_hebbian(w, pre, post, lr, dim))


def test_hebbian_never_wraps_the_flat_index():
    # With dim = 2^63 + 1, i * dim + j for row 2 is 2^64 + 2 + j: past any list,
    # not element 2 + j of this one.
    dim = 2**63 + 1
    assert hdc.hebbian([0.0] * 8, [1.0] * 4, [1.0] * 4, 1.0, dim) == [1.0] + [0.0] * 7
    assert hdc.hebbian([0.0] * 4, [1.0] * 3, [1.0] * 3, 1.0, 2**64 - 1) == [1.0, 0.0, 0.0, 0.0]
