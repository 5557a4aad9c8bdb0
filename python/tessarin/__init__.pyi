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

__all__ = [
    "Array",
    "AttentionHead",
    "CausalMemory",
    "GenEngine",
    "ItemMemory",
    "KeyValueCache",
    "Metacognition",
    "MultiHopReasoner",
    "Optimizer",
    "Scheduler",
    "SelfAudit",
    "Swarm",
    "bind_bundle",
    "bundle",
    "hash_strings",
    "random_bipolar",
    "resonances",
]

# The package's version, as its distribution metadata states it.
__version__: str

class _ArrayLike(Protocol):
    # An array object (numpy and the like).
    def __len__(self) -> int: ...
    def __array__(self) -> Any: ...

# Rows: a two-dimensional array or a sequence of rows; a one-dimensional array
# or a sequence of numbers is one row.
_Rows: TypeAlias = Sequence[Sequence[SupportsFloat] | _ArrayLike] | Sequence[SupportsFloat] | _ArrayLike | Buffer

# The engine classes' arguments, read exactly as tessarin_hdc reads them: a
# vector, several vectors, small signed integers, exactly three numbers; the
# package's own one-dimensional arrays handed back in are read as any of these.
_Vector: TypeAlias = Sequence[SupportsFloat] | _ArrayLike | Buffer
_Vectors: TypeAlias = Sequence[_Vector] | _ArrayLike | Array
_Signs: TypeAlias = Sequence[SupportsIndex] | _ArrayLike | Array
_Vec3: TypeAlias = Sequence[SupportsFloat] | _ArrayLike | Array
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Path: TypeAlias = str | bytes | PathLike[str] | PathLike[bytes]

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
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]:
        """Pickles the array: its elements as bytes, or under protocol 5 as a
        ``PickleBuffer`` a pickler may pass out of band; ``copy.copy`` and
        ``copy.deepcopy`` give a new array of the same elements."""
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

# ---- engine classes -------------------------------------------------------------
#
# Each runs the engine of the tessarin_hdc class it names and answers the same
# calls alike, bit for bit, with lists of floats as float32 Arrays. Where the
# tessarin_hdc class raises its panic, these raise ValueError (IndexError for
# a link to a missing fact) before anything changes. Any thread may use them.

@final
class KeyValueCache:
    """``tessarin_hdc.PyHKVC`` with arrays out, ``len()``, ``get`` and ``in``.

    Example:
        >>> cache = tessarin.KeyValueCache(256)
        >>> cache.store("capital", "Paris", 0); cache.store("capital", "Rome", 1)
        >>> len(cache), cache.get("capital"), "currency" in cache
        (2, 'Paris', False)

    """

    def __new__(cls, dim: SupportsIndex) -> KeyValueCache: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> KeyValueCache: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> KeyValueCache: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> KeyValueCache: ...
    def __deepcopy__(self, memo: Any, /) -> KeyValueCache: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: str, /) -> bool: ...
    def store(self, key: str, value: str, position: SupportsIndex) -> None:
        """Adds an entry; a key stored again is a second entry."""
    def query(self, query_key: str) -> tuple[str, float]:
        """``(value, score)``: the key's first value when found directly, else the
        holographic recall's best value; ``('', 0.0)`` when empty."""
    def get(self, key: str, default: object = None) -> Any:
        """The value ``query(key)`` gives when it finds the key itself (the first
        stored value of a repeated key), else ``default``. Flat in the number of
        entries: it never scans. With dim 0 no key is ever found, because the
        key check divides by dim."""
    def count(self) -> int:
        """Number of stored entries."""
    def position_score(self, position: SupportsIndex) -> float:
        """The mean projection of a position's probe onto the position accumulator."""
    def accumulator_magnitude(self) -> Array:
        """``|composite[i]|`` for every component, as a float32 array."""

@final
class Swarm:
    """``tessarin_hdc.PyHoloSwarm`` with arrays out and ``len()`` (agents).

    Raises:
        ValueError: dim 0 in ``add_agent``, a role rotation longer than the
            agent's shortest vector, too few roles or keys for a paradox ring
            (checked at every position before any agent is added).

    Example:
        >>> swarm = tessarin.Swarm(8)
        >>> swarm.add_agent("scout", [1.0] * 8, "explore", [1.0] * 8, "map", [-1.0] * 8)
        >>> len(swarm), swarm.get_swarm_vector().shape
        (1, (8,))

    """

    def __new__(cls, dim: SupportsIndex) -> Swarm: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> Swarm: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> Swarm: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Swarm: ...
    def __deepcopy__(self, memo: Any, /) -> Swarm: ...
    def __len__(self) -> int: ...
    def get_swarm_vector(self) -> Array:
        """The swarm vector, as a float32 array."""
    def add_agent(self, role: str, r_hv: _Vector, policy: str, p_hv: _Vector, skill: str, s_hv: _Vector) -> None:
        """Adds ``r_hv * (p_hv * s_hv)``, rotated by the role's shift, and registers the agent."""
    def add_paradox_trap(self, names: Sequence[str], roles: _Vectors, keys: _Vectors) -> None:
        """Adds a ring of agents, name i linked to name i + 1."""
    def resonate(self, role_key: str, p_guess: _Vector, _s_guess: _Vector, max_iter: SupportsIndex) -> tuple[str, str, str, float]:
        """``(role, policy, skill, score)``: the swarm vector factorised for a role."""
    def materialize(self, probe: _Vector, threshold: _Float) -> list[tuple[str, float]]:
        """The agents whose role resonates with the probe above ``threshold``, best first."""
    @property
    def dim(self) -> int: ...
    @property
    def swarm_vector(self) -> Array: ...
    @swarm_vector.setter
    def swarm_vector(self, v: _Vector) -> None: ...

@final
class CausalMemory:
    """``tessarin_hdc.PyCausalMemory`` with arrays out and ``len()`` (records).

    Example:
        >>> memory = tessarin.CausalMemory(4)
        >>> memory.store([1, 1, -1, -1], [1, -1, 1, -1], [1, 1, 1, 1])
        >>> memory.query_effect([1, 1, -1, -1]).tolist(), memory.query_cause([1, -1, 1, -1]).shape
        ([1.0, -1.0, 1.0, -1.0], (1, 4))
        >>> memory.store([1, 1], [1, 1], [1, 1])
        Traceback (most recent call last):
        ValueError: store: 'cause' has 2 components, but this engine needs at least dim = 4

    """

    def __new__(cls, dim: SupportsIndex) -> CausalMemory: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> CausalMemory: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> CausalMemory: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> CausalMemory: ...
    def __deepcopy__(self, memo: Any, /) -> CausalMemory: ...
    def __len__(self) -> int: ...
    def store(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Records a relation; each vector needs at least dim components."""
    def record(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Alias for ``store``."""
    def query_effect(self, cause: _Vector) -> Array | None:
        """The effect recorded for this cause, or None."""
    def recall_effect(self, cause: _Vector) -> Array | None:
        """Alias for ``query_effect``."""
    def query_cause(self, effect: _Vector) -> Array | list[Array]:
        """Every known cause of this effect, best first: an ``(n, length)`` array
        (``(0, dim)`` when there is none), or a list of arrays when the causes
        differ in length."""
    def recall_cause(self, effect: _Vector) -> Array | list[Array]:
        """Alias for ``query_cause``."""
    def query_by_time(self, time: _Vector) -> Array | None:
        """The effect recorded at this time, or None."""
    def recall_by_time(self, time: _Vector) -> Array | None:
        """Alias for ``query_by_time``."""

@final
class MultiHopReasoner:
    """``tessarin_hdc.PyMultiHopReasoner`` with ``len()`` (facts).

    Raises:
        IndexError: ``reason`` follows a link to a fact that does not exist.
        ValueError: ``reason`` meets a NaN score, which cannot be ordered.

    Example:
        >>> reasoner = tessarin.MultiHopReasoner(2)
        >>> reasoner.add_fact([1.0, 1.0]), reasoner.add_fact([-1.0, 1.0])
        (0, 1)
        >>> reasoner.add_link(0, 1)
        >>> reasoner.reason([1.0, 1.0], 1), len(reasoner)
        ([(0, 1.0), (1, 0.5)], 2)

    """

    def __new__(cls, dim: SupportsIndex) -> MultiHopReasoner: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> MultiHopReasoner: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> MultiHopReasoner: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> MultiHopReasoner: ...
    def __deepcopy__(self, memo: Any, /) -> MultiHopReasoner: ...
    def __len__(self) -> int: ...
    def add_fact(self, fact: _Vector) -> int:
        """Registers a fact and returns its index."""
    def add_link(self, a: SupportsIndex, b: SupportsIndex) -> None:
        """Links facts a and b."""
    def reason(self, query: _Vector, hops: SupportsIndex) -> list[tuple[int, float]]:
        """``[(fact index, score)]`` of the facts found directly or within ``hops`` links, best first."""
    def reset(self) -> None:
        """Forgets every fact and link."""

@final
class Optimizer:
    """``tessarin_hdc.PyOptimizer``.

    Example:
        >>> optimizer = tessarin.Optimizer()
        >>> optimizer.apply("momentum_decrease", 0.25, "settle")
        >>> round(optimizer.get("momentum"), 4)
        0.25

    """

    def __new__(cls) -> Optimizer: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> Optimizer: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> Optimizer: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Optimizer: ...
    def __deepcopy__(self, memo: Any, /) -> Optimizer: ...
    def apply(self, action: str, delta: _Float, reason: str) -> None:
        """Applies an action to the parameters."""
    def rollback(self) -> None:
        """Undoes the last applied action."""
    def get(self, name: str) -> float | None:
        """A parameter's value, or None for an unknown name."""
    def get_params(self) -> dict[str, float]:
        """Every parameter by name."""

@final
class SelfAudit:
    """``tessarin_hdc.PySelfAudit``.

    Example:
        >>> tessarin.SelfAudit(4).check_consistency([1, 1, 1, 1], [1, 1, 1, 1])[1]
        True

    """

    def __new__(cls, dim: SupportsIndex) -> SelfAudit: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> SelfAudit: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> SelfAudit: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> SelfAudit: ...
    def __deepcopy__(self, memo: Any, /) -> SelfAudit: ...
    def full_audit(self, hv: _Vector) -> tuple[float, bool, list[str]]:
        """Audits a hypervector and records the result."""
    def check_consistency(self, h1: _Vector, h2: _Vector) -> tuple[float, bool, list[str]]:
        """Audits the agreement of two vectors."""

@final
class Metacognition:
    """``tessarin_hdc.PyMetacognition`` with ``len()`` (records).

    Example:
        >>> meta = tessarin.Metacognition(4)
        >>> meta.record(0.9, 0.8, 0.7, [1.0] * 4, 7)
        >>> len(meta)
        1

    """

    def __new__(cls, dim: SupportsIndex) -> Metacognition: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> Metacognition: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> Metacognition: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Metacognition: ...
    def __deepcopy__(self, memo: Any, /) -> Metacognition: ...
    def __len__(self) -> int: ...
    def record(self, res: _Float, coh: _Float, acc: _Float, context: _Vector, hash: SupportsIndex) -> None:
        """Logs one observation."""
    def success_rate(self) -> float: ...
    def avg_resonance(self) -> float: ...
    def recommend(self) -> list[tuple[str, float, str]]: ...

@final
class Scheduler:
    """``tessarin_hdc.PyHoloCPUScheduler`` with arrays out and ``len()`` (stored concepts).

    Raises:
        ValueError: empty ``keys``, or ``keys`` and ``values`` of different lengths.

    Example:
        >>> scheduler = tessarin.Scheduler(64, 2)
        >>> scheduler.store_memory("render")
        >>> scheduler.recall("render"), len(scheduler), scheduler.generate_role("io").shape
        (True, 1, (64,))

    """

    def __new__(cls, dim: SupportsIndex, quantum_capacity: SupportsIndex) -> Scheduler: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> Scheduler: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> Scheduler: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Scheduler: ...
    def __deepcopy__(self, memo: Any, /) -> Scheduler: ...
    def __len__(self) -> int: ...
    def dimension(self) -> int: ...
    def quantum_capacity(self) -> int: ...
    def store_memory(self, target: str) -> None:
        """Stores a concept."""
    def recall(self, target: str) -> bool:
        """Whether a concept is recalled."""
    def export_holographic_state(self) -> Array:
        """The holographic state, as a float32 array."""
    def process_feedback(self, signal: _Float) -> None: ...
    def feedback_strength(self) -> float: ...
    def quantum_grover_search(self, query: _Vector, keys: _Vectors, values: _Vectors) -> Array:
        """The attention read-out of ``values``, as a float32 array."""
    def run_audit_integrity_check(self) -> bool: ...
    def generate_role(self, label: str) -> Array:
        """A label's +-1 role vector, as a float32 array."""
    @property
    def dim(self) -> int: ...
    @property
    def qc(self) -> int: ...

@final
class AttentionHead:
    """``tessarin_hdc.PyQuantumAttentionHead`` with an array out.

    Raises:
        ValueError: empty ``keys``, or ``keys`` and ``values`` of different lengths.

    Example:
        >>> tessarin.AttentionHead(2, 1).compute([1.0, 1.0], [[1.0, 1.0]], [[3.0, 4.0]]).tolist()
        [3.0, 4.0]

    """

    def __new__(cls, dim: SupportsIndex, nqubits: SupportsIndex) -> AttentionHead: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> AttentionHead: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> AttentionHead: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> AttentionHead: ...
    def __deepcopy__(self, memo: Any, /) -> AttentionHead: ...
    def compute(self, query: _Vector, keys: _Vectors, values: _Vectors) -> Array:
        """The values weighted by the keys' amplitudes, as a float32 array."""

@final
class GenEngine:
    """``tessarin_hdc.PyHoloGenEngine`` with int8 arrays (format ``'b'``) out.

    Raises:
        ValueError: ``left`` or ``right`` not of length dim, counterfactual
            operands of different lengths, a photon with dim 1 to 31.

    Example:
        >>> tessarin.GenEngine(64).generate_photon("red").shape
        (64,)

    """

    def __new__(cls, dim: SupportsIndex) -> GenEngine: ...
    # Persistence: pickle (protocol 5 passes the snapshot out of band), copy, save and load.
    def save(self, path: _Path, /) -> None: ...
    @classmethod
    def load(cls, path: _Path, /) -> GenEngine: ...
    @classmethod
    def _from_snapshot(cls, data: Buffer, /) -> GenEngine: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> GenEngine: ...
    def __deepcopy__(self, memo: Any, /) -> GenEngine: ...
    def structural_dimension(self) -> int: ...
    def generate_pixel_geometry(self, x: SupportsIndex, y: SupportsIndex, frame_id: SupportsIndex | None = None) -> Array: ...
    def generate_material_mapping(self, position: _Vec3, normal: _Vec3, material_id: SupportsIndex) -> Array: ...
    def generate_photon(self, position: str | _Vec3, direction: _Vec3 | None = None, wavelength: _Float | None = None) -> Array: ...
    def encode_bvh_node(self, min_bounds: _Vec3, max_bounds: _Vec3, left: _Signs, right: _Signs) -> Array: ...
    def simulate_counterfactual(self, root_state: object, intervention: object) -> Array: ...
