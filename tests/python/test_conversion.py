"""How Python arguments become engine values, and how conversion fails."""
import array
import ctypes
import math
import signal
import struct
import sys
from fractions import Fraction

import pytest

try:
    import numpy as np
except ImportError:  # numpy is in the test extra; without it the array tables still run
    np = None

import tessarin
import tessarin_hdc as hdc
from conftest import f32, needs_real_allocator, same_floats

needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __float__(self):
        return 2.5


class FailingIter:
    """A sequence whose iteration raises part-way."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("boom")
        return 1.0


@pytest.mark.parametrize(
    "value, expected",
    [
        ((1, 2.5), [1.0, 2.5]),
        (range(3), [0.0, 1.0, 2.0]),
        ([True, False], [1.0, 0.0]),
        (array.array("d", [0.1, -3.0]), [f32(0.1), -3.0]),
        ([Floatable(), Indexable(7), Fraction(1, 4)], [2.5, 7.0, 0.25]),
        ([1e300, -1e300, 1e-50], [math.inf, -math.inf, 0.0]),
        ([float("nan")], [math.nan]),
        ([], []),
    ],
)
def test_hypervector_accepts_sequences_and_narrows_items(value, expected):
    # Binding with ones returns the converted vector itself.
    ones = [1.0] * len(expected)
    assert same_floats(hdc.hdc_bind(value, ones), expected)


@pytest.mark.parametrize(
    "value, message",
    [
        ("ab", "argument 'a': Can't extract `str` to `Vec`"),
        (None, "argument 'a': 'NoneType' object cannot be converted to 'Sequence'"),
        (5, "argument 'a': 'int' object cannot be converted to 'Sequence'"),
        ({1.0}, "argument 'a': 'set' object cannot be converted to 'Sequence'"),
        ({0: 1.0}, "argument 'a': 'dict' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), "argument 'a': 'generator' object cannot be converted to 'Sequence'"),
    ],
)
def test_hypervector_refusals_name_the_argument(value, message):
    with pytest.raises(TypeError) as info:
        hdc.hdc_bind(value, [1.0])
    assert str(info.value) == message


def test_non_numeric_item_is_a_prefixed_type_error():
    with pytest.raises(TypeError, match=r"^argument 'b': must be real number, not str$"):
        hdc.hdc_bind([1.0], [1.0, "x"])


def test_error_raised_while_iterating_passes_through_unchanged():
    with pytest.raises(KeyError, match="boom"):
        hdc.hdc_bind(FailingIter(), [1.0])


def test_type_error_keeps_original_cause():
    class Bad:
        def __float__(self):
            try:
                raise ValueError("inner")
            except ValueError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        hdc.resonance([Bad()], [1.0])
    assert str(info.value) == "argument 'a': outer"
    assert isinstance(info.value.__cause__, ValueError)


def test_first_failing_argument_is_reported_and_later_ones_untouched():
    touched = []

    class Spy:
        def __index__(self):
            touched.append(True)
            return 1

    with pytest.raises(TypeError, match="^argument 'v'"):
        hdc.hdc_permute("no", Spy())
    assert touched == []


@pytest.mark.parametrize(
    "dim, exc, prefixed",
    [
        (-1, OverflowError, False),
        (2**64, OverflowError, False),
        (2.0, TypeError, True),
        ("3", TypeError, True),
        (None, TypeError, True),
    ],
)
def test_size_refusals(dim, exc, prefixed):
    with pytest.raises(exc) as info:
        hdc.rand_bipolar(dim)
    assert str(info.value).startswith("argument 'dim': ") == prefixed


def test_size_accepts_index_objects_and_bools():
    assert len(hdc.rand_bipolar(Indexable(3))) == 3
    assert len(hdc.rand_bipolar(True)) == 1


@pytest.mark.parametrize("bad", [4294967296, 2**64, 2**100, -1, -(2**70)])
def test_uint32_range(bad):
    with pytest.raises(OverflowError) as info:
        hdc.encode_system_state(4, 0.0, 0.0, bad, 0)
    assert not str(info.value).startswith("argument")
    if bad > 0:
        assert str(info.value) == "out of range integral type conversion attempted"
    assert len(hdc.encode_system_state(4, 0.0, 0.0, 4294967295, 0)) == 4


@pytest.mark.parametrize("n", [2**31, -(2**31) - 1, 2**70])
def test_int32_range(n):
    with pytest.raises(OverflowError):
        hdc.hdc_permute([1.0, 2.0], n)


def test_int32_extremes_and_type():
    assert hdc.hdc_permute([1, 2, 3, 4], -(2**31)) == [1.0, 2.0, 3.0, 4.0]
    with pytest.raises(TypeError, match="^argument 'n': "):
        hdc.hdc_permute([1.0], 1.5)


@pytest.mark.parametrize("bad", ["0.5", None, [0.5]])
def test_float_scalar_refusals(bad):
    with pytest.raises(TypeError, match="^argument 'lr': "):
        hdc.hebbian([0.0], [1.0], [1.0], bad, 1)


def test_float_scalar_accepts_int_index_and_float_protocols():
    for lr in (1, Indexable(1), Floatable(), 1.0):
        out = hdc.hebbian([0.0], [1.0], [1.0], lr, 1)
        assert out == [2.5] if isinstance(lr, Floatable) else out == [1.0]


def test_float_scalar_is_narrowed_before_use():
    # 0.1 as a 32-bit float times 1.0: the result carries the narrowed value.
    assert hdc.hebbian([0.0], [1.0], [1.0], 0.1, 1) == [f32(0.1)]


@pytest.mark.parametrize("bad, exc", [(b"abc", TypeError), (3, TypeError), ("\ud800", UnicodeEncodeError)])
def test_string_refusals(bad, exc):
    with pytest.raises(exc) as info:
        hdc.hv_hash_string(bad, 4)
    assert str(info.value).startswith("argument 's': ") == (exc is TypeError)


def test_string_subclass_is_accepted():
    class Name(str):
        pass

    assert hdc.hv_hash_string(Name("abc"), 3) == [1.0, 1.0, -1.0]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: hdc.hdc_bind([1.0]), "missing 1 required positional argument: 'b'"),
        (lambda: hdc.hdc_bind(), "missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: hdc.hdc_bind([1.0], [1.0], [1.0]), "takes 2 positional arguments but 3 were given"),
        (lambda: hdc.hdc_bind([1.0], b=[1.0], c=1), "got an unexpected keyword argument 'c'"),
        (lambda: hdc.hdc_bind([1.0], a=[1.0]), "got multiple values for argument 'a'"),
    ],
)
def test_standard_call_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keywords_in_any_order():
    assert hdc.hdc_unbind(key=[2.0, 3.0], compound=[1.0, -1.0]) == [2.0, -3.0]


def test_results_are_fresh_lists_of_python_floats():
    a = hdc.hdc_bind([1.0, 2.0], [1.0, 1.0])
    b = hdc.hdc_bind([1.0, 2.0], [1.0, 1.0])
    assert type(a) is list and a == b and a is not b
    assert all(type(x) is float for x in a)
    assert type(hdc.hv_hash([1.0])) is int


def test_long_results_come_back_whole_and_in_order():
    # Past 2**20 items a result list is built by appending instead of filling.
    n = 2**20 + 5
    long = hdc.hdc_bind(range(n), [1.0] * n)
    assert type(long) is list and len(long) == n
    assert long[:3] == [0.0, 1.0, 2.0] and long[-1] == float(n - 1)


def test_caller_objects_are_copied_not_kept():
    v = [1.0, 2.0]
    out = hdc.normalise_bipolar(v)
    v[0] = 100.0
    assert out == [0.5, 1.0]


@pytest.mark.parametrize("huge", [2**62, 2**63 - 1])
def test_impossible_sizes_raise_panic_not_crash(huge):
    panic = None
    try:
        hdc.rand_bipolar(huge)
    except BaseException as exc:  # noqa: BLE001 - the panic type is not an Exception
        panic = exc
    assert type(panic).__name__ == "PanicException"
    assert panic.args == ("capacity overflow",)
    assert type(panic).__mro__[1] is BaseException


@needs_real_allocator
def test_unallocatable_size_raises_memory_error():
    with pytest.raises(MemoryError):
        hdc.diagnostic_role(2**60)


def test_panic_is_not_caught_by_except_exception():
    caught_as_exception = False
    try:
        try:
            hdc.hv_hash_string("x", 2**62)
        except Exception:  # noqa: BLE001
            caught_as_exception = True
    except BaseException as exc:  # noqa: BLE001
        assert str(exc) == "capacity overflow"
    assert not caught_as_exception


def test_refcounts_do_not_leak_on_success_and_failure():
    v = [1.0, 2.0, 3.0]
    s = "text"
    before = (sys.getrefcount(v), sys.getrefcount(s))
    for _ in range(1000):
        hdc.hdc_bind(v, v)
        hdc.hv_hash_string(s, 2)
        with pytest.raises(TypeError):
            hdc.hdc_bind(v, s)
    assert (sys.getrefcount(v), sys.getrefcount(s)) == before


class Iterated:
    """The items of `obj` through the general path: a sequence that only iterates."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


def converted(value):
    """The engine's copy of a Hypervector argument as bytes, or the error it raised."""
    try:
        out = hdc.hdc_permute(value, 0)
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)
    return struct.pack(f"<{len(out)}d", *out)


def integer_items(bits, signed):
    lo, hi = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    # Past 2**53 an integer rounds to double, then to float: 2**60 + 2**36 + 1
    # becomes 2**60 that way, but 2**60 + 2**37 if rounded once.
    wide = [2**53 + 1, 2**60 + 2**36 + 1] if bits == 64 else []
    return [lo, hi, 0, 1, lo + 1, hi - 1] + wide


FLOAT_BITS = {
    # zeros, subnormals, ordinary values, the largest finite, infinities, and
    # NaNs quiet and signalling, of both signs, with payloads
    2: [0x0000, 0x8000, 0x0001, 0x83FF, 0x3C00, 0x3555, 0x7BFF, 0x7C00, 0xFC00, 0x7E00, 0x7D01, 0xFE01],
    4: [0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x3DCCCCCD, 0x7F7FFFFF, 0x7F800000, 0xFF800000,
        0x7FC00000, 0x7F800123, 0xFFC54321],
    8: [0x0000000000000000, 0x8000000000000000, 0x0000000000000001, 0x3FB999999999999A, 0x3FF0000010000000,
        0x47EFFFFFF0000000, 0x7E37E43C8800759C, 0xFFF0000000000000, 0x7FF8000000000000, 0x7FF0000000000001,
        0xFFF4000020000000, 0x369C000000000000],
}


@pytest.mark.parametrize("typecode", ["f", "d"])
def test_float_buffers_convert_like_iteration(typecode):
    values = [0.1, -2.5, 1e300, -0.0, float("nan"), 3.0]
    arr = array.array(typecode, values)
    ones = [1.0] * len(values)
    assert same_floats(hdc.hdc_bind(arr, ones), hdc.hdc_bind(list(arr), ones))
    assert same_floats(hdc.hdc_bind(memoryview(arr), ones), hdc.hdc_bind(list(arr), ones))


@pytest.mark.parametrize("typecode", list("bBhHiIlLqQfd"))
def test_array_buffers_convert_like_iteration(typecode):
    size = array.array(typecode).itemsize
    if typecode in "fd":
        bits = FLOAT_BITS[size]
        arr = array.array(typecode, struct.pack(f"={len(bits)}{'I' if size == 4 else 'Q'}", *bits))
    else:
        arr = array.array(typecode, integer_items(8 * size, typecode.islower()))
    view = memoryview(arr)
    for value in (arr, view, view[::-1], view[1::3]):
        assert converted(value) == converted(Iterated(value))


def test_int64_items_round_through_double():
    assert hdc.hdc_permute(array.array("q", [2**60 + 2**36 + 1]), 0) == [2.0**60]


def numeric_array(kind, order):
    size = int(kind[1])
    if kind[0] == "f":
        native = np.array(FLOAT_BITS[size], dtype=f"u{size}").view(kind)
    elif kind == "b1":
        native = np.frombuffer(bytes([0, 1, 2, 255]), dtype=bool)
    else:
        native = np.array(integer_items(8 * size, kind[0] == "i"), dtype=kind)
    return native if order == "<" else native.byteswap().view(native.dtype.newbyteorder(order))


LAYOUTS = {
    "contiguous": lambda a: a,
    "every other": lambda a: np.repeat(a, 2)[::2],
    "reversed": lambda a: a[::-1],
    "zero stride": lambda a: np.lib.stride_tricks.as_strided(a[1:], shape=(4,), strides=(0,)),
    "unaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1),
}


@needs_numpy
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("kind", ["i1", "u1", "b1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8"])
def test_numeric_buffers_convert_like_iteration(kind, order, layout):
    arr = LAYOUTS[layout](numeric_array(kind, order))
    want = converted(Iterated(arr))
    assert converted(arr) == want
    assert converted(arr.tolist()) == want
    # A memoryview iterates its own way: numpy describes unaligned or swapped
    # elements with a byte-order prefix, which a memoryview refuses to iterate,
    # and then the call refuses the same way.
    view = memoryview(arr)
    assert converted(view) == converted(Iterated(view))


@needs_numpy
def test_every_float16_converts_like_iteration():
    halves = np.arange(2**16, dtype="u2").view("f2")
    assert converted(halves) == converted(halves.tolist())


@needs_numpy
@pytest.mark.parametrize(
    "make",
    [
        lambda: np.zeros((2, 2), dtype="f4"),
        lambda: np.zeros((), dtype="f4"),
        lambda: np.ones(2, dtype="c8"),
        lambda: np.ones(2, dtype="g"),
        lambda: np.array(["a"]),
        lambda: np.zeros(2, dtype="M8[s]"),
        lambda: np.array([1.5, None]),
        lambda: memoryview(np.ones(2, dtype=">f4")),
        lambda: memoryview(np.ones(2, dtype="f2")),
        lambda: memoryview(np.ones((2, 2), dtype="f4")),
        lambda: memoryview(b"ab").cast("c"),
        lambda: memoryview((ctypes.c_float * 2)(1.5, -2.0)),
        lambda: array.array("u", "ab"),
    ],
)
@pytest.mark.filterwarnings("ignore:Casting complex values")
def test_other_buffers_take_the_general_path(make):
    assert converted(make()) == converted(Iterated(make()))


@needs_numpy
def test_ndarray_subclass_that_overrides_indexing_is_iterated():
    # An ndarray's iterator indexes it, so this subclass's items are all 7.
    class Sevens(np.ndarray):
        def __getitem__(self, i):
            if isinstance(i, int) and 0 <= i < len(self):
                return 7.0
            return super().__getitem__(i)

    assert hdc.hdc_permute(np.arange(3, dtype="f4").view(Sevens), 0) == [7.0, 7.0, 7.0]


CHANGED = (BufferError, "argument changed while it was being read")
READ_LENGTH = 3_000_000


def read_vector(value):
    return hdc.hdc_permute(value, 0)


def read_rows(value):
    return tessarin.bundle(value, sign=False)


# Each reader with the shape of the arguments it is given: as many elements
# either way, and rows longer than a block of the read, so that blocks end
# inside rows and between them.
READERS = {
    "vector": (read_vector, (READ_LENGTH,)),
    "rows": (read_rows, (30, READ_LENGTH // 30)),
}


def handler_case(change, shape):
    """What a signal handler does to an argument of `shape` being read, or to
    the memory it reads: (the argument, the change, the error that ends a call
    it interrupts). numpy lets an array move under a view; exporters that keep
    their memory while it is viewed refuse, and the handler's error ends the call."""
    doubled = (*shape[:-1], 2 * shape[-1])
    arr = np.ones(doubled if change == "view's base resized" else shape)

    def resize():
        arr.resize(10, refcheck=False)

    if change == "ndarray resized":
        return arr, resize, CHANGED
    if change == "memoryview's ndarray resized":
        return memoryview(arr), resize, CHANGED
    if change == "view's base resized":
        return arr[..., ::2], resize, CHANGED
    data = bytearray(np.ones(shape).tobytes())
    arr = np.frombuffer(data)
    if change == "base memoryview released, its bytes freed":
        # (reshaped, the argument is a view of the array over the memoryview)
        return arr.reshape(shape) if arr.shape != shape else arr, lambda: (arr.base.release(), data.clear()), CHANGED
    if change == "bytes an ndarray was made over freed":
        return np.ndarray(shape, buffer=data), data.clear, CHANGED
    if change == "bytearray under a memoryview emptied":
        refused = "Existing exports of data: object cannot be re-sized"
        return memoryview(data).cast("d", shape), data.clear, (BufferError, refused)
    assert change == "array.array extended"
    values = array.array("d", data)
    refused = (BufferError, "cannot resize an array that is exporting buffers")
    if len(shape) == 1:
        return values, lambda: values.append(1.0), refused
    return memoryview(values).cast("B").cast("d", shape), lambda: values.append(1.0), refused


HANDLER_CHANGES = [
    "ndarray resized",
    "memoryview's ndarray resized",
    "view's base resized",
    "base memoryview released, its bytes freed",
    "bytes an ndarray was made over freed",
    "bytearray under a memoryview emptied",
    "array.array extended",
]


@needs_numpy
@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("change", HANDLER_CHANGES)
def test_signal_handler_that_changes_a_buffer_mid_read(change, reader):
    # A repeating timer runs the handler between blocks of the read. Whatever
    # it does, the call reads no memory the exporter has let go of: it
    # completes from what it read, or ends with the handler's error or its own.
    read, shape = READERS[reader]
    want = np.asarray(read(np.ones(shape)))

    def handler(signum, frame):
        # Only from inside the call (past the start of `read`), so that the
        # read begins with the argument as it was made.
        if frame.f_code is read.__code__ and frame.f_lasti > 0:
            interrupted.append(True)
            change_it()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        for _ in range(20):
            value, change_it, error = handler_case(change, shape)
            interrupted = []
            signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
            try:
                outcome = read(value)
            except BufferError as exc:
                outcome = type(exc), str(exc)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            if outcome != error:
                outcome = np.array_equal(np.asarray(outcome), want)
            assert outcome in (True, error)
            if outcome == error:
                break
    finally:
        signal.signal(signal.SIGALRM, previous)
    # The call ended with the error, so the handler ran while it was running.
    assert outcome == error and interrupted


@needs_numpy
@pytest.mark.parametrize("read, shape", [(read_vector, (1_200_000,)), (read_rows, (2, 600_000))])
def test_long_array_whose_memory_cannot_be_watched_is_read_as_a_sequence(read, shape):
    # A read long enough to poll needs the chain of the memory it reads; an
    # array whose base cannot be looked at gives none, and is read item by item.
    class Baseless(np.ndarray):
        @property
        def base(self):
            raise ValueError("no base")

    values = np.arange(math.prod(shape), dtype="f4").reshape(shape)
    assert np.array_equal(np.asarray(read(values.view(Baseless))), np.asarray(read(values)))


def test_list_mutated_during_conversion_is_read_like_its_iterator():
    v = [1.0, 2.0, 3.0]

    class Shrinker:
        def __float__(self):
            del v[2:]
            return 5.0

    v[1] = Shrinker()
    # The iterator protocol would stop after the list shrank to two items.
    assert hdc.hdc_bind(v, [1.0, 1.0, 1.0]) == [1.0, 5.0]


def test_shared_result_components_keep_their_values():
    out = hdc.hdc_bind([1.0, -1.0, 0.0, -0.0, 2.0], [1.0] * 5)
    assert same_floats(out, [1.0, -1.0, 0.0, -0.0, 2.0])


def test_buffer_subclass_that_overrides_iteration_is_iterated():
    class Doubled(array.array):
        def __iter__(self):
            return (2 * x for x in super().__iter__())

    assert hdc.hdc_bind(Doubled("d", [1.0, 2.0]), [1.0, 1.0]) == [2.0, 4.0]

    class Plain(array.array):
        pass

    assert hdc.hdc_bind(Plain("f", [1.5, -2.0]), [1.0, 1.0]) == [1.5, -2.0]
