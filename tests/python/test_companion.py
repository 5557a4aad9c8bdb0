"""The companion package `tessarin` as Python sees it: inputs of every kind
read as tessarin_hdc reads vectors, results that share memory through the
buffer protocol, refusals that name the argument and change nothing, and
long calls that answer a signal. The arithmetic itself is checked in C++
(tests/cpp/test_batch.cpp); here only that each number is the one
tessarin_hdc gives for the same row."""
import array
import copy
import gc
import pickle
import signal
import struct

import pytest

import tessarin_hdc as hdc

np = pytest.importorskip("numpy")
import tessarin  # noqa: E402

from conftest import needs_real_allocator  # noqa: E402


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def f32_from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b))[0]


ROWS = [[1.0, -1.0, 0.5, 2.0], [-0.0, 3.0, -1.0, 1.0], [1.0, 1.0, -1.0, -1.0]]


# One table of the same rows in every form a caller may hold them.
ROW_FORMS = {
    "list of lists": lambda: ROWS,
    "tuple of tuples": lambda: tuple(tuple(r) for r in ROWS),
    "list of arrays": lambda: [np.asarray(r, dtype=np.float64) for r in ROWS],
    "list of array.array": lambda: [array.array("d", r) for r in ROWS],
    "float32 C order": lambda: np.asarray(ROWS, dtype=np.float32),
    "float64 Fortran order": lambda: np.asfortranarray(np.asarray(ROWS, dtype=np.float64)),
    "float16": lambda: np.asarray(ROWS, dtype=np.float16),
    "big-endian": lambda: np.asarray(ROWS, dtype=">f8"),
    "strided slice": lambda: np.asarray([[x, 9.0] for r in ROWS for x in r]).reshape(3, 8)[:, ::2],
    "2-D memoryview": lambda: memoryview(np.asarray(ROWS, dtype=np.float32)),
    "package arrays": lambda: _package_rows(),
}


def _package_rows():
    memory = tessarin.ItemMemory(4)
    memory.add(ROWS)
    return np.stack([np.asarray(memory.get(i)) for i in range(3)])


@pytest.mark.parametrize("form", ROW_FORMS)
def test_every_form_of_rows_reads_as_the_same_rows(form):
    rows = ROW_FORMS[form]()
    expected_sum = tessarin.bundle(ROWS, sign=False)
    assert bits(tessarin.bundle(rows, sign=False)).tolist() == bits(expected_sum).tolist()
    assert bits(tessarin.resonances(rows, rows)).tolist() == bits(tessarin.resonances(ROWS, ROWS)).tolist()


@pytest.mark.parametrize("one_row", [[1, 2, 3], np.arange(3, dtype=np.int8), array.array("f", [1, 2, 3]), range(1, 4),
                                     tessarin.bundle([[1, 2, 3]], sign=False)])
def test_a_one_dimensional_input_is_one_row(one_row):
    assert tessarin.resonances(one_row, [[1, 1, 1], [0, 0, 0]]).shape == (1, 2)
    memory = tessarin.ItemMemory(3)
    assert memory.add(one_row) == 0 and len(memory) == 1
    # ... and the same numbers as a vector argument (a result handed back in).
    causal = tessarin.CausalMemory(3)
    causal.store(one_row, one_row, one_row)
    assert np.asarray(causal.query_effect(one_row)).tolist() == np.asarray(one_row, dtype=np.float32).tolist()


# Tables longer than a block of the read (65,536 numbers), in rows that blocks
# end inside of, as a caller may hold them: every number lands in its place.
LONG_TABLES = {
    "C order": lambda a: a,
    "Fortran order": np.asfortranarray,
    "rows reversed, every other column": lambda a: np.repeat(a, 2, axis=1)[::-1, ::2],
    "2-D memoryview": memoryview,
    "one row": np.ravel,
}


@pytest.mark.parametrize("layout", LONG_TABLES)
def test_a_table_longer_than_a_block_reads_every_number_in_place(layout):
    table = LONG_TABLES[layout](np.arange(7 * 30_001, dtype=np.float64).reshape(7, 30_001))
    expected = np.asarray(table, dtype=np.float32).reshape(-1, np.shape(table)[-1])
    memory = tessarin.ItemMemory(expected.shape[1])
    memory.add(table)
    got = np.stack([np.asarray(memory.get(i)) for i in range(len(memory))])
    assert np.array_equal(bits(got), bits(expected))


def test_every_number_is_the_specified_modules_answer():
    rng = np.random.default_rng(1)
    dim = 37
    bipolar = np.where(rng.random((6, dim)) < 0.5, -1.0, 1.0).astype(np.float32)
    floats = rng.normal(size=(4, dim)).astype(np.float32)
    floats[0, 3] = f32_from_bits(0xFFC12345)  # a negative NaN with a payload
    floats[1, 5] = -0.0
    rows = np.concatenate([bipolar, floats])
    queries = np.concatenate([bipolar[:2], floats[:2]])
    memory = tessarin.ItemMemory(dim)
    memory.add(rows)
    for table in (tessarin.resonances(queries, rows), memory.resonances(queries)):
        expected = [[hdc.resonance(q, r) for r in rows] for q in queries]
        assert bits(table).tolist() == bits(expected).tolist()
    texts = ["", "a", "naïve", "x" * 100]
    assert np.asarray(tessarin.hash_strings(texts, dim)).tolist() == [hdc.hv_hash_string(t, dim) for t in texts]
    for a, b in [(rows[0], rows[1]), (floats[0], floats[1]), (floats[1], bipolar[2])]:
        assert bits(tessarin.bundle([a, b])).tolist() == bits(hdc.hdc_bundle(a, b)).tolist()
    assert bits(memory.get(6)).tolist() == bits(floats[0]).tolist()
    choices = rng.integers(0, len(rows), size=(3, 4))
    for sign in (True, False):
        records = tessarin.bind_bundle(queries, rows, choices, sign=sign)
        for record, chosen in zip(bits(records).tolist(), choices):
            bindings = [hdc.hdc_bind(queries[k], rows[c]) for k, c in enumerate(chosen)]
            assert record == bits(tessarin.bundle(bindings, sign=sign)).tolist()


# The merge of several stores' answers reads its candidates' indices exactly,
# from any integer buffer; the ranking itself is checked in C++.
INDEX_FORMS = {
    "int64": lambda a: a,
    "int8": lambda a: a.astype(np.int8),
    "big-endian int16": lambda a: a.astype(">i2"),
    "uint32": lambda a: a.astype(np.uint32),
    "Fortran order": np.asfortranarray,
    "reversed columns of a wider table": lambda a: np.repeat(a, 2, axis=1)[:, ::-2][:, ::-1],
    "array.array (one row)": lambda a: array.array("q", a[0].tolist()),
}


@pytest.mark.parametrize("form", INDEX_FORMS)
def test_merged_candidates_keep_the_indices_they_carry(form):
    from tessarin import _native

    scores = np.asarray([[0.5, np.nan, 0.5, 1.0], [2.0, 2.0, 2.0, -1.0]], dtype=np.float32)
    indices = np.asarray([[9, 1, 3, 7], [8, 2, 5, 0]], dtype=np.int64)
    held = INDEX_FORMS[form](indices)
    rows = 1 if isinstance(held, array.array) else 2
    best_scores, best = _native.merge_top_k(scores[:rows], held, 3)
    assert best.format == "q"
    assert best.tolist() == [[7, 3, 9], [2, 5, 8]][:rows]
    assert bits(best_scores).tolist() == bits([[1.0, 0.5, 0.5], [2.0, 2.0, 2.0]][:rows]).tolist()


@pytest.mark.parametrize(
    "indices, exc, fragment",
    [
        ([[1, 2]], TypeError, "argument 'indices'"),
        (np.asarray([[1.0, 2.0]]), TypeError, "argument 'indices'"),
        (np.zeros((1, 1, 2), dtype=np.int64), TypeError, "argument 'indices'"),
        (np.asarray([[1, 2, 3]]), ValueError, "indices are 1 x 3 but scores are 1 x 2"),
        (np.asarray([[1, 2**63]], dtype=np.uint64), OverflowError, "out of range"),
    ],
)
def test_merge_refuses_indices_it_cannot_read_exactly(indices, exc, fragment):
    from tessarin import _native

    with pytest.raises(exc, match=fragment):
        _native.merge_top_k([[1.0, 2.0]], indices, 1)


def test_results_share_their_memory_and_outlive_their_maker():
    memory = tessarin.ItemMemory(8)
    memory.add(tessarin.random_bipolar(5, 8, seed=3))
    scores, indices = memory.search(np.ones((2, 8)), 3)
    del memory
    gc.collect()
    for result, fmt, dtype in [(scores, "f", np.float32), (indices, "q", np.int64)]:
        view = memoryview(result)
        assert (view.format, view.shape, view.strides, view.c_contiguous, view.readonly) == (
            fmt, (2, 3), (3 * view.itemsize, view.itemsize), True, False)
        a = np.asarray(result)
        assert a.dtype == dtype and np.shares_memory(a, np.asarray(result))
        a[0, 0] = 7
        assert result.tolist()[0][0] == 7
        view.release()
    assert (len(scores), scores.shape, scores.format, repr(scores)) == (2, (2, 3), "f", "<Array float32 (2, 3)>")
    one = tessarin.bundle([[1.0, -2.0]])
    assert (one.shape, len(one), one.tolist(), repr(one)) == ((2,), 2, [1.0, -1.0], "<Array float32 (2,)>")
    with pytest.raises(TypeError):
        tessarin.Array()


# Arrays of each element type and shape, NaN payloads and empty ones included.
PICKLED_ARRAYS = {
    "float32 rows": lambda: tessarin.bundle(np.array([[1.0, np.nan], [-0.0, 2.5]], np.float32), sign=False),
    "float32 matrix": lambda: tessarin.random_bipolar(3, 5, seed=2),
    "int64 indices": lambda: tessarin.ItemMemory(2).search([[1, 1]] * 2, 1)[1],
    "int8 signs": lambda: tessarin.GenEngine(16).generate_pixel_geometry(3, 4),
    "empty": lambda: tessarin.hash_strings([], 3),
}


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("make", PICKLED_ARRAYS.values(), ids=PICKLED_ARRAYS)
def test_arrays_pickle_and_copy_as_the_same_bytes(make, protocol):
    original = make()
    out_of_band = []
    data = pickle.dumps(original, protocol=protocol, buffer_callback=out_of_band.append if protocol == 5 else None)
    copies = [pickle.loads(data, buffers=out_of_band), copy.copy(original), copy.deepcopy(original)]
    for again in copies:
        assert type(again) is tessarin.Array and again.shape == original.shape and again.format == original.format
        assert bytes(memoryview(again)) == bytes(memoryview(original))
        assert not np.shares_memory(np.asarray(again), np.asarray(original))
    assert len(out_of_band) == (1 if protocol == 5 else 0)


@pytest.mark.parametrize("parts, fragment", [
    (("d", (1,), b"12345678"), "format"),
    (("f", (2,), b"1234"), "do not fill"),
    (("q", (1, 2), b"12345678"), "do not fill"),
    (("f", (1, 2, 3), b""), "one or two"),
    (("f", (2**62, 2**3), b""), "too large"),
])
def test_damaged_pickled_arrays_are_refused(parts, fragment):
    from tessarin import _native

    with pytest.raises(ValueError, match=fragment):
        _native._rebuild_array(*parts)


@pytest.mark.parametrize(
    "call, shape",
    [
        (lambda: tessarin.hash_strings(["a", "b"], 0), (2, 0)),
        (lambda: tessarin.hash_strings([], 5), (0, 5)),
        (lambda: tessarin.random_bipolar(0, 5, seed=1), (0, 5)),
        (lambda: tessarin.random_bipolar(2**40, 0, seed=1), (2**40, 0)),
        (lambda: tessarin.bundle(np.zeros((0, 3))), (3,)),
        (lambda: tessarin.bind_bundle(np.ones((2, 3)), np.ones((1, 3)), np.zeros((0, 2), np.int64)), (0, 3)),
        (lambda: tessarin.bind_bundle(np.ones((2, 3)), np.ones((1, 3)), np.zeros(2, np.int8)), (1, 3)),
        (lambda: tessarin.resonances(np.zeros((2, 3)), np.zeros((0, 3))), (2, 0)),
        (lambda: tessarin.ItemMemory(3).search([[1, 1, 1]] * 2, 5)[1], (2, 0)),
        (lambda: _memory_of(4).search([1, 1, 1], 0)[0], (1, 0)),
        (lambda: _memory_of(4).search([1, 1, 1], 9)[1], (1, 4)),
    ],
)
def test_empty_and_clipped_shapes(call, shape):
    result = call()
    assert result.shape == shape
    assert np.asarray(result).shape == shape


def _memory_of(n):
    memory = tessarin.ItemMemory(3)
    memory.add(tessarin.random_bipolar(n, 3, seed=0))
    return memory


# Each refusal: the call, the exception, a fragment of its message. Every one
# is tried on a memory holding one row, which must still hold exactly it.
REFUSALS = [
    (lambda m: tessarin.hash_strings("abc", 4), TypeError, "argument 'texts'"),
    (lambda m: tessarin.hash_strings(["a", 1], 4), TypeError, "argument 'texts'"),
    (lambda m: tessarin.hash_strings(["a"], -1), ValueError, "argument 'dim': must not be negative"),
    (lambda m: tessarin.random_bipolar(1, 4, seed=-2), ValueError, "argument 'seed'"),
    (lambda m: tessarin.random_bipolar(2, 64, 0, start=2**64 - 1), ValueError, "beyond the generator"),
    (lambda m: tessarin.bundle([]), ValueError, "argument 'rows': an empty sequence"),
    (lambda m: tessarin.bundle([[1, 2], [3]]), ValueError, "argument 'rows': rows must share one length"),
    (lambda m: tessarin.bundle(np.zeros((2, 2, 2))), ValueError, "argument 'rows': expected one or two"),
    (lambda m: tessarin.bundle([["a", "b"]]), TypeError, "argument 'rows'"),
    (lambda m: tessarin.bundle([[1]], sign=1), TypeError, "argument 'sign'"),
    (lambda m: tessarin.resonances([[1, 2]], [[1, 2, 3]]), ValueError, "queries have 2 components but rows have 3"),
    (lambda m: tessarin.bind_bundle([[1, 1]], [[1, 1]], np.array([[1]])), ValueError, "is 1 but values has 1 rows"),
    (lambda m: tessarin.bind_bundle([[1, 1]], [[1, 1]], np.array([[-1]])), ValueError, "is -1 but values has 1 rows"),
    (lambda m: tessarin.bind_bundle([[1, 1]], [[1, 1]], np.array([[0, 0]])), ValueError, "choices have 2 columns"),
    (lambda m: tessarin.bind_bundle([[1, 1]], [[1, 1, 1]], np.array([[0]])), ValueError, "keys have 2 components"),
    (lambda m: tessarin.bind_bundle([[1, 1]], [[1, 1]], np.array([[0.0]])), TypeError, "argument 'choices'"),
    (lambda m: tessarin.bind_bundle([[1, 1]], [[1, 1]], [[0]]), TypeError, "argument 'choices'"),
    (lambda m: tessarin.ItemMemory(0), ValueError, "dim must be at least 1"),
    (lambda m: m.add([[1, 1, 1], [1, 1]]), ValueError, "argument 'rows'"),
    (lambda m: m.add([[1, 1, 1, 1]]), ValueError, "rows have 4 components but the memory holds 3"),
    (lambda m: m.add([[1, 1, 1], ["x", 1, 1]]), TypeError, "argument 'rows'"),
    (lambda m: m.search([1, 1, 1], -1), ValueError, "argument 'k': must not be negative, got -1"),
    (lambda m: m.search([1, 1], 1), ValueError, "queries have 2 components"),
    (lambda m: m.get(1), IndexError, "row index 1 out of range for 1 rows"),
    (lambda m: m.get(-1), IndexError, "row index -1"),
]


@pytest.mark.parametrize("call, exc, fragment", REFUSALS)
def test_refusals_name_the_argument_and_store_nothing(call, exc, fragment):
    memory = tessarin.ItemMemory(3)
    memory.add([1.0, -1.0, 0.5])
    with pytest.raises(exc, match=fragment.replace("(", r"\(")):
        call(memory)
    assert len(memory) == 1 and memory.get(0).tolist() == [1.0, -1.0, 0.5]


@needs_real_allocator
@pytest.mark.parametrize(
    "call",
    [
        lambda: tessarin.random_bipolar(2**40, 2**20, seed=0),
        lambda: tessarin.hash_strings(["a"] * 4, 2**61),
        lambda: tessarin.hash_strings(["a"], 2**45),
    ],
)
def test_huge_requests_are_memory_errors(call):
    with pytest.raises(MemoryError):
        call()


# A timer signal 3 ms into a long call (and every 2 ms after) raises in its handler: the call must
# stop with that exception, the memory must answer as before, and a change
# made by the handler itself must be refused while the call holds the memory.
@pytest.mark.parametrize("handler_changes_memory", [False, True])
@pytest.mark.parametrize("call", ["search", "search_bipolar", "add", "random_bipolar", "hash_strings", "bind_bundle"])
def test_a_signal_stops_a_long_call_and_changes_nothing(call, handler_changes_memory):
    dim = 1024
    memory = tessarin.ItemMemory(dim)
    # Bipolar queries share each pass over the rows: a long call needs many
    # rows, since many queries would take their time in being read instead.
    memory.add(tessarin.random_bipolar(50_000 if call == "search_bipolar" else 2000, dim, seed=1))
    probe = np.asarray(tessarin.random_bipolar(1, dim, seed=2))
    before = (len(memory), np.asarray(memory.search(probe, 5)[1]).tolist())
    batch = np.ones((20_000, dim), dtype=np.float32)
    choices = np.zeros((20_000, 64), dtype=np.intp)
    calls = {
        "search": lambda: memory.search(np.full((400, dim), 0.5), 3),
        "search_bipolar": lambda: memory.search(np.ones((200, dim), dtype=np.float32), 3),
        "add": lambda: memory.add(batch),
        "random_bipolar": lambda: tessarin.random_bipolar(10**6, dim, seed=5),
        "hash_strings": lambda: tessarin.hash_strings(["s"] * 10**6, dim),
        "bind_bundle": lambda: tessarin.bind_bundle(batch[:64], batch[:17], choices),
    }
    errors = []

    def stop(signum, frame):
        if handler_changes_memory:
            if call in ("search", "add"):
                # Arguments are converted before the memory is taken: let the
                # ticks pass until the call holds it. A row of the wrong length
                # is refused by the memory itself (ValueError, nothing stored)
                # until then, by its lock (RuntimeError) after.
                try:
                    memory.add(probe[:, :-1])
                except ValueError:
                    return
                except RuntimeError:
                    pass
            try:
                memory.add(probe)
            except RuntimeError as e:
                errors.append(str(e))
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        with pytest.raises(KeyboardInterrupt):
            signal.setitimer(signal.ITIMER_REAL, 0.003, 0.002)
            calls[call]()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if handler_changes_memory and call in ("search", "search_bipolar", "add"):
        assert errors and errors[0].startswith("Already")
        assert (len(memory), np.asarray(memory.search(probe, 5)[1]).tolist()) == before
    elif not handler_changes_memory:
        assert (len(memory), np.asarray(memory.search(probe, 5)[1]).tolist()) == before


def test_version_is_the_one_in_the_project_metadata():
    import tomllib
    from pathlib import Path

    project = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert tessarin.__version__ == project["version"]
    assert not hasattr(hdc, "__version__")
