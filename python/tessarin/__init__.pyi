"""Arrays in, arrays out: codebooks, exact bundles and an exact item memory
over the same C++ core as ``tessarin_hdc``.

Rows go in as any one- or two-dimensional numeric buffer (a numpy array of any
numeric dtype and layout, a memoryview) or as a sequence of rows, each read
exactly as ``tessarin_hdc`` reads a vector; a one-dimensional input is one
row. Results are :class:`Array` objects that share their memory with numpy
(``np.asarray(result)`` copies nothing). Every number equals what
``tessarin_hdc`` gives for the same row, bit for bit.

Errors: a bad argument raises ``TypeError`` or ``ValueError`` naming it and
stores nothing; a request for more memory than there is raises
``MemoryError``; Ctrl-C stops a long call within milliseconds and leaves every
object as it was.

The examples below run in order, as one session:

    >>> import numpy as np
    >>> import tessarin

"""
from collections.abc import Sequence
from os import PathLike
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, TypeAlias

__all__ = ["Array", "ItemMemory", "bind_bundle", "bundle", "hash_strings", "random_bipolar", "resonances"]

# The package's version, as its distribution metadata states it.
__version__: str

class _ArrayLike(Protocol):
    # An array object (numpy and the like).
    def __len__(self) -> int: ...
    def __array__(self) -> Any: ...

# Rows: a two-dimensional array or a sequence of rows; a one-dimensional array
# or a sequence of numbers is one row.
_Rows: TypeAlias = Sequence[Sequence[SupportsFloat] | _ArrayLike] | Sequence[SupportsFloat] | _ArrayLike | Buffer

@final
class Array(Buffer):
    """A float32 (format ``'f'``), int64 (``'q'``) or int8 (``'b'``) array of one
    or two dimensions, C-contiguous and writable, that shares its memory
    through the buffer protocol. Its shape never changes and it owns its
    memory, so views of it stay valid as long as they live. Made only by the
    package.

    Example:
        >>> a = tessarin.hash_strings(["red", "green"], 4)
        >>> a
        <Array float32 (2, 4)>
        >>> view = np.asarray(a)
        >>> view.dtype, view.shape, np.shares_memory(view, np.asarray(a))
        (dtype('float32'), (2, 4), True)

    """

    @property
    def shape(self) -> tuple[int, ...]:
        """The dimensions: ``(n,)`` or ``(rows, columns)``.

        Example:
            >>> a.shape
            (2, 4)

        """
    @property
    def format(self) -> str:
        """The buffer format code of the elements: ``'f'``, ``'q'`` or ``'b'``.

        Example:
            >>> a.format
            'f'

        """
    def __len__(self) -> int: ...
    def tolist(self) -> list[Any]:
        """The elements as new (nested) lists of Python floats or ints.

        Example:
            >>> a.tolist()
            [[1.0, 1.0, -1.0, 1.0], [1.0, -1.0, 1.0, 1.0]]

        """

def hash_strings(texts: Sequence[str], dim: SupportsIndex) -> Array:
    """Codebook rows for names, as a ``(len(texts), dim)`` float32 array.

    Row i equals ``tessarin_hdc.hv_hash_string(texts[i], dim)``: the same bits
    in every process, and a longer ``dim`` extends a shorter one.

    Raises:
        TypeError: ``texts`` is a ``str`` or holds a non-``str``.
        ValueError: ``dim`` is negative.

    Example:
        >>> import tessarin_hdc as hdc
        >>> rows = tessarin.hash_strings(["red", "green", "blue"], 1000)
        >>> rows.shape, np.asarray(rows)[2].tolist() == hdc.hv_hash_string("blue", 1000)
        ((3, 1000), True)

    """

def random_bipolar(n: SupportsIndex, dim: SupportsIndex, seed: SupportsIndex, start: SupportsIndex = 0) -> Array:
    """Rows ``start`` ... ``start + n - 1`` of the seeded bipolar codebook, as an
    ``(n, dim)`` float32 array of +1.0 and -1.0.

    Row r depends only on ``(seed, r, dim)``: it takes W = ceil(dim / 64) draws
    of the ChaCha12 generator keyed by the seed, draws r*W ... r*W + W - 1, and
    its component c is -1.0 when bit c % 64 of draw r*W + c // 64 is set. The
    same bits on every machine, so a codebook can be made in pieces; different
    seeds give independent codebooks.

    Raises:
        ValueError: a negative argument, or rows beyond the generator's 2**64 draws.
        MemoryError: more rows than memory holds.

    Example:
        >>> whole = np.asarray(tessarin.random_bipolar(10, 256, seed=7))
        >>> piece = np.asarray(tessarin.random_bipolar(3, 256, seed=7, start=5))
        >>> bool((piece == whole[5:8]).all())
        True

    """

def bundle(rows: _Rows, sign: bool = True) -> Array:
    """The bundle of many rows, as a ``(dim,)`` float32 array.

    Component j is the sum ``+0.0 + rows[0][j] + rows[1][j] + ...`` in row
    order, signed as ``hdc_bundle`` signs it: +1.0 above zero, -1.0 below, +0.0
    for a zero or NaN sum (never -0.0). ``bundle([a, b])`` equals
    ``hdc_bundle(a, b)``. With ``sign=False``, the ordered sum itself.

    Raises:
        ValueError: rows of different lengths, or an empty sequence (which
            has no length; a ``(0, dim)`` array gives ``dim`` zeros).

    Example:
        >>> tessarin.bundle([[1, 2, -3], [-2, 1, 3], [0, 1, 1]]).tolist()
        [-1.0, 1.0, 1.0]
        >>> tessarin.bundle([[1, 2, -3], [-2, 1, 3]], sign=False).tolist()
        [-1.0, 3.0, 0.0]

    """

def bind_bundle(keys: _Rows, values: _Rows, choices: _ArrayLike | Buffer, sign: bool = True) -> Array:
    """Many records at once, as an ``(N, dim)`` float32 array.

    Row i is the bundle of the bindings ``hdc_bind(keys[k], values[choices[i][k]])``
    over k: their sum in k order from +0.0, each product with the key as its
    left operand, signed as ``bundle`` signs it; with ``sign=False``, the
    ordered sum itself. Bit for bit ``bundle`` of those rows. ``keys`` is
    ``(K, dim)``, ``values`` is ``(V, dim)`` and ``choices`` an ``(N, K)``
    integer array of value rows (a one-dimensional ``choices`` is one record).

    Raises:
        TypeError: ``choices`` is not an integer buffer.
        ValueError: keys and values of different lengths, a ``choices`` without
            one column per key, or a choice outside ``0 ... V - 1``; nothing is
            computed.

    Example:
        >>> tessarin.bind_bundle([[1, 1, -1], [1, -1, 1]], [[1, 1, 1], [-1, -1, -1]],
        ...                      np.array([[0, 0], [0, 1]]), sign=False).tolist()
        [[2.0, 0.0, 0.0], [0.0, 2.0, -2.0]]

    """

def resonances(queries: _Rows, rows: _Rows) -> Array:
    """Every query's resonance with every row, as a ``(Q, N)`` float32 array.

    Entry (i, j) equals ``tessarin_hdc.resonance(queries[i], rows[j])``; a
    one-dimensional ``queries`` is one query (the result keeps shape (1, N)).

    Raises:
        ValueError: queries and rows of different lengths.

    Example:
        >>> tessarin.resonances([1, 1, 1, 1], [[1, 1, 1, 1], [1, -1, 1, -1]]).tolist()
        [[1.0, 0.5]]

    """

@final
class ItemMemory:
    """An exact search store of rows of length ``dim`` (an item memory, or
    clean-up memory).

    Exactly bipolar rows are stored as bits, any other row as float32; a
    stored row reads back exactly. Every score equals
    ``tessarin_hdc.resonance(query, row)`` bit for bit, NaN sign and payload
    included. Scoring is O(queries x rows x dim).

    Threads: an instance may be used from any thread and dropped on any.
    Arguments are converted first; then calls that change the memory
    (``add``) wait for every other call on it to end, while reading calls
    share it. Long scans and adds run without the interpreter lock, so
    searches on several threads use several cores. A call made on the memory
    by the thread already inside a call on it (a signal handler, say) raises
    ``RuntimeError`` ("Already borrowed" / "Already mutably borrowed") instead
    of waiting on itself; Ctrl-C ends a wait or a long call.

    Persistence: ``pickle`` (protocol 5 may send the snapshot out of band),
    ``copy.copy``/``copy.deepcopy`` (an independent memory), ``save(path)``
    (replaces the file atomically) and ``ItemMemory.load(path)``.

    Args:
        dim: the length of every row, at least 1.

    Raises:
        ValueError: ``dim`` is 0 or negative.

    Example:
        >>> memory = tessarin.ItemMemory(1000)
        >>> memory.add(tessarin.hash_strings(["red", "green", "blue"], 1000))
        0

    """

    def __new__(cls, dim: SupportsIndex) -> ItemMemory: ...
    @property
    def dim(self) -> int:
        """The length of every row.

        Example:
            >>> memory.dim
            1000

        """
    def __len__(self) -> int: ...
    def add(self, rows: _Rows) -> int:
        """Append one row or a batch of rows, each of length ``dim``; returns the
        index of the first. A batch is added whole or not at all.

        Raises:
            ValueError: a row of another length, rows of different lengths.

        Example:
            >>> memory.add(hdc.hv_hash_string("black", 1000)), len(memory)
            (3, 4)

        """
    def resonances(self, queries: _Rows) -> Array:
        """Entry (i, j) is ``resonance(queries[i], row j)``, as a ``(Q, len(self))``
        float32 array.

        Example:
            >>> np.asarray(memory.resonances(hdc.hv_hash_string("green", 1000)))[0, 1]
            np.float32(1.0)

        """
    def search(self, queries: _Rows, k: SupportsIndex) -> tuple[Array, Array]:
        """The best ``min(k, len(self))`` rows of each query: ``(scores, indices)``,
        float32 and int64 arrays of shape ``(Q, min(k, len(self)))``, by score
        descending, then index ascending; NaN scores come after every number.

        Raises:
            ValueError: a negative ``k``, queries of another length.

        Example:
            >>> noisy = np.asarray(tessarin.hash_strings(["blue"], 1000))
            >>> noisy[0, :300] *= -1
            >>> scores, indices = memory.search(noisy, 2)
            >>> indices.tolist(), scores.tolist()[0][0]
            ([[2, 3]], 0.699999988079071)

        """
    def get(self, i: SupportsIndex) -> Array:
        """Row ``i`` exactly as it was added, as a ``(dim,)`` float32 array.

        Raises:
            IndexError: ``i`` outside 0 ... len(self) - 1.

        Example:
            >>> memory.get(3).tolist() == hdc.hv_hash_string("black", 1000)
            True

        """
    def save(self, path: str | bytes | PathLike[str] | PathLike[bytes], /) -> None:
        """Writes the memory's snapshot to the file at ``path``: into a
        temporary file in the same folder, flushed to disk, then renamed over
        ``path``, so a process killed during a save leaves the previous file
        whole.

        Raises:
            OSError: the file or its folder cannot be written (errno and
                filename set); nothing is left behind.

        Example:
            >>> import os, tempfile
            >>> folder = tempfile.mkdtemp()
            >>> memory.save(os.path.join(folder, "colours.snap"))
            >>> len(tessarin.ItemMemory.load(os.path.join(folder, "colours.snap"))) == len(memory)
            True

        """
    @classmethod
    def load(cls, path: str | bytes | PathLike[str] | PathLike[bytes], /) -> ItemMemory:
        """The memory saved in the file at ``path``, answering every query
        bit for bit as the one saved.

        Raises:
            OSError: the file cannot be read.
            ValueError: the file is not an intact snapshot of an item memory
                (truncated, damaged, another class's, a newer format); the
                message says which.

        Example:
            >>> with open(os.path.join(folder, "bad.snap"), "wb") as f:
            ...     _ = f.write(b"not a snapshot")
            >>> tessarin.ItemMemory.load(os.path.join(folder, "bad.snap"))
            Traceback (most recent call last):
            ValueError: not a snapshot: the first bytes are not the snapshot magic

        """
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> ItemMemory: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> ItemMemory: ...
    def __deepcopy__(self, memo: Any, /) -> ItemMemory: ...
