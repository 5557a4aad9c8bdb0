"""Hyperdimensional-computing primitives and engines, deterministic in 32-bit float.

Vectors go in as any sequence of numbers (list, tuple, range, ``array.array``,
a numpy array; never a ``str``) and come back as new lists of floats. Each
component is narrowed to a 32-bit float on the way in; the same inputs give the
same bits in every process.

Errors: a bad argument raises ``TypeError`` naming it (``argument 'a': ...``),
``OverflowError`` or ``ValueError``; an internal fault raises
``PanicException``, which derives from ``BaseException`` (not ``Exception``)
and leaves the object usable. Engine instances, except ``PyHoloSwarm``, belong
to the thread that created them; use from another thread raises
``PanicException``.

The examples below run in order, as one session:

    >>> import tessarin_hdc as hdc

"""
from collections.abc import Sequence
from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex, final

from typing_extensions import TypeAlias

class _FloatArray(Protocol):
    # An array object (numpy and the like): indexable, sized, convertible to an array.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat: ...
    def __array__(self) -> Any: ...

class _IntArray(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...
    def __array__(self) -> Any: ...

# A vector argument: a sequence of numbers or a numeric array; a str is refused.
_Vector: TypeAlias = Sequence[SupportsFloat] | _FloatArray
# Several vectors: a sequence of vectors or a two-dimensional array.
_Vectors: TypeAlias = Sequence[_Vector] | _FloatArray
# Small signed integers (-128 ... 127), such as the generation engine's sign vectors.
_Signs: TypeAlias = Sequence[SupportsIndex] | _IntArray
# Exactly three numbers.
_Vec3: TypeAlias = Sequence[SupportsFloat] | _FloatArray
_Float: TypeAlias = SupportsFloat | SupportsIndex

__all__: Final = [
    "rand_bipolar",
    "resonance",
    "hdc_bind",
    "hdc_bundle",
    "hdc_unbind",
    "hebbian",
    "hdc_permute",
    "normalise_bipolar",
    "hv_hash",
    "hv_hash_string",
    "diagnostic_role",
    "encode_system_state",
    "bundle_diagnostics",
    "extract_system_state",
    "PyCausalMemory",
    "PyMultiHopReasoner",
    "PyMetacognition",
    "PySelfAudit",
    "PyOptimizer",
    "PyQuantumAttentionHead",
    "PyHoloCPUScheduler",
    "PyHoloGenEngine",
    "PyHoloSwarm",
    "PyHKVC",
]

def rand_bipolar(dim: SupportsIndex) -> list[float]:
    """A random bipolar vector: each component +1.0 or -1.0 with equal odds.

    Drawn from the calling thread's generator, seeded from the operating
    system: not reproducible. Use ``hv_hash_string`` for vectors that must be
    the same in every process.

    Args:
        dim: number of components (a non-negative int).

    Returns:
        A new list of ``dim`` floats, each exactly 1.0 or -1.0.

    Raises:
        OverflowError: ``dim`` is negative or 2**64 or more.
        TypeError: ``dim`` is not an integer.

    Example:
        >>> v = hdc.rand_bipolar(1000)
        >>> len(v), set(v) <= {1.0, -1.0}
        (1000, True)

    """

def resonance(a: _Vector, b: _Vector) -> float:
    """Similarity of two vectors, mapped from [-1, 1] to [0, 1].

    ``((sum(a[i] * b[i]) / len(a)) + 1) / 2`` over the common prefix, summed in
    index order in 32-bit floats. Only the first argument's full length
    divides, so the function is not symmetric when the lengths differ. For
    bipolar vectors of equal length it is the fraction of agreeing components:
    0.0 opposite, about 0.5 unrelated, 1.0 identical. For other vectors it is
    not the cosine: normalise first if that is what you need.

    Args:
        a: first vector; its length is the divisor.
        b: second vector.

    Returns:
        The similarity as a float (NaN when ``a`` is empty).

    Raises:
        TypeError: an argument is not a sequence of numbers.

    Example:
        >>> hdc.resonance([1, -1, 1, 1], [1, -1, -1, 1])
        0.75
        >>> hdc.resonance([1, 1, 1, 1], [1, 1])
        0.75

    """

def hdc_bind(a: _Vector, b: _Vector) -> list[float]:
    """Bind two vectors: the element-wise product over their common prefix.

    Binding is its own inverse for bipolar vectors and gives a vector unlike
    either operand; it is how a role is attached to a filler.

    Args:
        a: first vector.
        b: second vector.

    Returns:
        A new list of ``min(len(a), len(b))`` floats. A longer operand's tail
        is ignored without an error.

    Raises:
        TypeError: an argument is not a sequence of numbers (a ``str`` is
            refused: ``argument 'a': Can't extract `str` to `Vec```).

    Example:
        >>> hdc.hdc_bind([1, -1, 1], [1, 1])
        [1.0, -1.0]

    """

def hdc_bundle(a: _Vector, b: _Vector) -> list[float]:
    """Bundle two vectors: the sign of their element-wise sum.

    Each component is +1.0, -1.0, or 0.0 where the two disagree (or the sum
    is NaN). To bundle more than two vectors, add them all and take the sign
    once (``numpy.sign(numpy.sum(vectors, axis=0))``); folding this function
    pairwise keeps mostly the last inputs.

    Args:
        a: first vector.
        b: second vector.

    Returns:
        A new list of ``min(len(a), len(b))`` floats, each -1.0, 0.0 or 1.0.

    Raises:
        TypeError: an argument is not a sequence of numbers.

    Example:
        >>> hdc.hdc_bundle([1, -1, 1], [1, 1, -1])
        [1.0, 0.0, 0.0]

    """

def hdc_unbind(compound: _Vector, key: _Vector) -> list[float]:
    """Unbind: recover the other operand of a binding, ``key * compound``.

    For a bipolar ``key``, ``hdc_unbind(hdc_bind(key, b), key)`` returns ``b``
    exactly (over the common prefix).

    Args:
        compound: the bound vector.
        key: the known operand.

    Returns:
        A new list of ``min(len(compound), len(key))`` floats.

    Raises:
        TypeError: an argument is not a sequence of numbers.

    Example:
        >>> pair = hdc.hdc_bind([1, -1, -1], [0.5, 2, -3])
        >>> hdc.hdc_unbind(pair, [1, -1, -1])
        [0.5, 2.0, -3.0]

    """

def hebbian(weights: _Vector, pre: _Vector, post: _Vector, lr: _Float, dim: SupportsIndex) -> list[float]:
    """One sparse Hebbian step on a flat ``dim`` x ``dim`` weight matrix.

    ``W[i, j] += lr * pre[i] * post[j]`` for the diagonal and the
    anti-diagonals where ``i + j`` is a multiple of 7, row-major; about
    ``dim * dim / 7`` elements change per call. Rows beyond ``len(pre)``,
    columns beyond ``len(post)`` and indices beyond ``len(weights)`` are left
    as they are.

    Args:
        weights: the matrix, row-major, ideally ``dim * dim`` floats.
        pre: pre-synaptic vector (rows).
        post: post-synaptic vector (columns).
        lr: learning rate, narrowed to a 32-bit float.
        dim: the side of the matrix.

    Returns:
        A new list of ``len(weights)`` floats; the input is not changed.

    Raises:
        TypeError: a vector is not a sequence of numbers, ``lr`` is not a
            number or ``dim`` is not an integer.
        OverflowError: ``dim`` is negative.

    Example:
        >>> hdc.hebbian([0, 0, 0, 0], [1, 1], [1, 1], 0.5, 2)
        [0.5, 0.0, 0.0, 0.5]

    """

def hdc_permute(v: _Vector, n: SupportsIndex) -> list[float]:
    """Rotate a vector right by ``n`` positions (left when ``n`` is negative).

    Component ``i`` moves to ``(i + n) % len(v)``. Permutation turns a vector
    into one unlike it, reversibly: it encodes order in sequences.

    Args:
        v: the vector.
        n: the rotation, a signed 32-bit integer.

    Returns:
        A new list of ``len(v)`` floats.

    Raises:
        TypeError: ``v`` is not a sequence of numbers or ``n`` not an integer.
        OverflowError: ``n`` is outside the signed 32-bit range.

    Example:
        >>> hdc.hdc_permute([1, 2, 3, 4], 1)
        [4.0, 1.0, 2.0, 3.0]
        >>> hdc.hdc_permute([1, 2, 3, 4], -1)
        [2.0, 3.0, 4.0, 1.0]

    """

def normalise_bipolar(v: _Vector) -> list[float]:
    """Scale a vector so that its largest magnitude becomes 1.0.

    The proportions are kept; components are not forced to +1 or -1 (use the
    sign for that). A vector whose largest magnitude is at most 1e-9 is divided
    by 1e-9; NaN components stay NaN.

    Args:
        v: the vector.

    Returns:
        A new list of ``len(v)`` floats.

    Raises:
        TypeError: ``v`` is not a sequence of numbers.

    Example:
        >>> hdc.normalise_bipolar([2, -4, 1])
        [0.5, -1.0, 0.25]

    """

def hv_hash(v: _Vector) -> int:
    """A 64-bit fingerprint of a vector's sign pattern.

    Bit ``i % 64`` is toggled for every component ``i`` greater than 0.0, over
    the whole vector. Vectors with the same positive positions share the
    fingerprint; so do others (it is a parity, not a unique key).

    Args:
        v: the vector.

    Returns:
        An int from 0 to 2**64 - 1 (0 for an empty vector).

    Raises:
        TypeError: ``v`` is not a sequence of numbers.

    Example:
        >>> hdc.hv_hash([1.0, -1.0, 1.0])
        5

    """

def hv_hash_string(s: str, dim: SupportsIndex) -> list[float]:
    """A reproducible bipolar vector for a text: the same bits in every process.

    Seeded by a 64-bit keyed hash of the text; component ``i`` depends only on
    the text and ``i``, so a larger ``dim`` extends a smaller one without
    changing its prefix. This is the way to build codebooks (symbols,
    positions, levels) that need not be stored or shipped.

    Args:
        s: the text.
        dim: number of components.

    Returns:
        A new list of ``dim`` floats, each 1.0 or -1.0.

    Raises:
        TypeError: ``s`` is not a ``str`` or ``dim`` not an integer.
        OverflowError: ``dim`` is negative.
        UnicodeEncodeError: ``s`` holds a lone surrogate.

    Example:
        >>> hdc.hv_hash_string("abc", 8)
        [1.0, 1.0, -1.0, 1.0, -1.0, 1.0, 1.0, 1.0]
        >>> hdc.hv_hash_string("abc", 3) == hdc.hv_hash_string("abc", 8)[:3]
        True

    """

def diagnostic_role(dim: SupportsIndex) -> list[float]:
    """The fixed bipolar role vector that marks a diagnostics record.

    Args:
        dim: number of components.

    Returns:
        A new list of ``dim`` floats, each 1.0 or -1.0, the same in every
        process.

    Raises:
        TypeError: ``dim`` is not an integer.
        OverflowError: ``dim`` is negative.

    Example:
        >>> hdc.diagnostic_role(8)
        [-1.0, 1.0, -1.0, -1.0, -1.0, -1.0, 1.0, 1.0]

    """

def encode_system_state(
    dim: SupportsIndex, ram_pct: _Float, cpu_pct: _Float, error_count: SupportsIndex, latency_us: SupportsIndex
) -> list[float]:
    """Encode four health readings as one vector by role-filler binding.

    Each reading is quantised to a level (``int(x * 1000) % 256`` after
    clamping to [0, 10**6]; the level wraps, it does not saturate), the level's
    string-seeded vector is bound to the field's role vector, and the four
    products are summed. Nothing decodes a vector back into the readings.

    Args:
        dim: number of components.
        ram_pct: memory use, narrowed to a 32-bit float.
        cpu_pct: processor use, narrowed to a 32-bit float.
        error_count: an unsigned 32-bit count.
        latency_us: an unsigned 32-bit latency.

    Returns:
        A new list of ``dim`` floats, each -4.0, -2.0, 0.0, 2.0 or 4.0.

    Raises:
        TypeError: an argument has the wrong type.
        OverflowError: ``dim`` is negative, or a count is negative or above
            4294967295.

    Example:
        >>> hdc.encode_system_state(8, 50.0, 25.0, 3, 1500)
        [-2.0, 2.0, 2.0, -4.0, -2.0, -2.0, 0.0, 2.0]

    """

def bundle_diagnostics(
    payload: _Vector, ram_pct: _Float, cpu_pct: _Float, error_count: SupportsIndex, latency_us: SupportsIndex
) -> list[float]:
    """Add an encoded health snapshot, bound to the diagnostics role, to a payload.

    ``payload + diagnostic_role(n) * encode_system_state(n, ...)`` with
    ``n = len(payload)``; plain addition, no sign or clipping.

    Args:
        payload: the vector that carries the snapshot.
        ram_pct: as in ``encode_system_state``.
        cpu_pct: as in ``encode_system_state``.
        error_count: as in ``encode_system_state``.
        latency_us: as in ``encode_system_state``.

    Returns:
        A new list of ``len(payload)`` floats.

    Raises:
        TypeError: an argument has the wrong type.
        OverflowError: a count is negative or above 4294967295.

    Example:
        >>> carried = hdc.bundle_diagnostics([0.0] * 8, 50.0, 25.0, 3, 1500)
        >>> carried
        [2.0, 2.0, -2.0, 4.0, 2.0, 2.0, 0.0, 2.0]

    """

def extract_system_state(bundled: _Vector) -> list[float]:
    """Take the diagnostics role off a bundle: ``diagnostic_role(n) * bundled``.

    The result is the encoded snapshot plus the payload (bound to the role)
    as noise; compare it with candidate encodings by ``resonance``.

    Args:
        bundled: a result of ``bundle_diagnostics``.

    Returns:
        A new list of ``len(bundled)`` floats.

    Raises:
        TypeError: ``bundled`` is not a sequence of numbers.

    Example:
        >>> hdc.extract_system_state(carried) == hdc.encode_system_state(8, 50.0, 25.0, 3, 1500)
        True

    """

@final
class PyCausalMemory:
    """Cause -> effect records stamped with a time vector, queried both ways.

    Each record is kept exactly (found again through the sign fingerprint of
    its cause or effect) and in one superposed trace (used when the exact path
    finds nothing). Queries return whole copies of stored vectors. A store
    costs O(dim); exact queries cost one dot product per record that shares
    the fingerprint, holographic fallbacks and time queries one per record.
    Bound to the creating thread.

    Args:
        dim: the trace length; every stored vector needs at least ``dim``
            components.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> mem = hdc.PyCausalMemory(64)
        >>> rain, wet, monday = (hdc.hv_hash_string(w, 64) for w in ("rain", "wet", "monday"))

    """

    def __new__(cls, dim: SupportsIndex) -> PyCausalMemory: ...
    def store(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Record that ``cause`` led to ``effect`` at ``time``.

        Args:
            cause: the cause vector (at least ``dim`` components).
            effect: the effect vector (at least ``dim`` components).
            time: the time vector (at least ``dim`` components).

        Raises:
            TypeError: an argument is not a sequence of numbers.
            PanicException: a vector is shorter than ``dim``.

        Example:
            >>> mem.store(rain, wet, monday)

        """

    def record(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Same as ``store``.

        Example:
            >>> mem.record(rain, wet, monday)

        """

    def query_effect(self, cause: _Vector) -> list[float] | None:
        """The effect recorded for ``cause``: the best exact match, else the trace's best.

        Args:
            cause: the cause to look up (any length).

        Returns:
            A copy of a stored effect, or None when nothing scores above 0.
            The earliest record wins ties.

        Raises:
            TypeError: ``cause`` is not a sequence of numbers.

        Example:
            >>> mem.query_effect(rain) == wet
            True

        """

    def recall_effect(self, cause: _Vector) -> list[float] | None:
        """Same as ``query_effect``.

        Example:
            >>> mem.recall_effect(rain) == wet
            True

        """

    def query_cause(self, effect: _Vector) -> list[list[float]]:
        """Every recorded cause of ``effect`` that scores above 0, best first.

        Args:
            effect: the effect to look up.

        Returns:
            A list of stored cause vectors (copies); empty when none matches.

        Raises:
            TypeError: ``effect`` is not a sequence of numbers.

        Example:
            >>> mem.query_cause(wet) == [rain, rain]
            True

        """

    def recall_cause(self, effect: _Vector) -> list[list[float]]:
        """Same as ``query_cause``.

        Example:
            >>> len(mem.recall_cause(wet))
            2

        """

    def query_by_time(self, time: _Vector) -> list[float] | None:
        """The effect recorded at ``time`` (a scan of all records), or None.

        Args:
            time: the time vector to look up.

        Returns:
            A copy of a stored effect, or None when nothing scores above 0.

        Raises:
            TypeError: ``time`` is not a sequence of numbers.

        Example:
            >>> mem.query_by_time(monday) == wet
            True

        """

    def recall_by_time(self, time: _Vector) -> list[float] | None:
        """Same as ``query_by_time``.

        Example:
            >>> mem.recall_by_time(monday) == wet
            True

        """

@final
class PyMultiHopReasoner:
    """Facts joined by undirected links, searched by resonance hop by hop.

    Hop 0 admits the facts whose ``resonance(query, fact)`` exceeds 0.6;
    each further hop adds the linked neighbours of the last hop's facts,
    whatever their score. Hop 0 costs one score per fact; each round scans
    the whole link list once per frontier fact. Bound to the creating thread.

    Args:
        dim: kept for reference; facts and queries may have any length.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> r = hdc.PyMultiHopReasoner(4)

    """

    def __new__(cls, dim: SupportsIndex) -> PyMultiHopReasoner: ...
    def add_fact(self, fact: _Vector) -> int:
        """Register a copy of a fact.

        Args:
            fact: the fact vector.

        Returns:
            Its index: 0, 1, 2, ... in registration order.

        Raises:
            TypeError: ``fact`` is not a sequence of numbers.

        Example:
            >>> r.add_fact([1, 1, 1, 1]), r.add_fact([1, 1, 1, -1]), r.add_fact([-1, -1, -1, -1])
            (0, 1, 2)

        """

    def add_link(self, a: SupportsIndex, b: SupportsIndex) -> None:
        """Link two fact indices (undirected). Indices are not checked here.

        Args:
            a: a fact index.
            b: another fact index.

        Raises:
            TypeError, OverflowError: an index is not a non-negative integer.

        Example:
            >>> r.add_link(1, 2)

        """

    def reason(self, query: _Vector, hops: SupportsIndex) -> list[tuple[int, float]]:
        """Facts reached from ``query`` within ``hops`` link rounds, best score first.

        Args:
            query: the query vector; its length divides every score.
            hops: the largest number of link rounds after hop 0.

        Returns:
            ``(fact_index, score)`` pairs, sorted by score (stable).

        Raises:
            TypeError: ``query`` is not a sequence of numbers.
            PanicException: a followed link names a fact that does not exist,
                or a reached score is NaN.

        Example:
            >>> r.reason([1, 1, 1, 1], 0)
            [(0, 1.0), (1, 0.75)]
            >>> r.reason([1, 1, 1, 1], 1)
            [(0, 1.0), (1, 0.75), (2, 0.0)]

        """

    def reset(self) -> None:
        """Forget all facts and links.

        Example:
            >>> r.reset()
            >>> r.reason([1, 1, 1, 1], 3)
            []

        """

@final
class PyMetacognition:
    """A bounded log of outcomes (the newest 10000) with statistics and advice.

    ``recommend`` returns ``(action, delta, reason)`` triples that
    ``PyOptimizer.apply`` accepts as they are. Statistics are recomputed from
    the whole log on each call (O(records)). Bound to the creating thread.

    Args:
        dim: the required context length; records with another length are
            ignored.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> meta = hdc.PyMetacognition(4)

    """

    def __new__(cls, dim: SupportsIndex) -> PyMetacognition: ...
    def record(self, res: _Float, coh: _Float, acc: _Float, context: _Vector, hash: SupportsIndex) -> None:
        """Log one outcome; a success is ``res > 0.5 and acc > 0.5``.

        Args:
            res: resonance of the outcome (32-bit float).
            coh: coherence (kept, not used).
            acc: accuracy (32-bit float).
            context: the context vector; a length other than ``dim`` makes the
                call a silent no-op.
            hash: an unsigned 64-bit identifier (kept, not used).

        Raises:
            TypeError: an argument has the wrong type.
            OverflowError: ``hash`` is negative or too large.

        Example:
            >>> meta.record(0.9, 0.0, 0.9, [0.0] * 4, 7)

        """

    def success_rate(self) -> float:
        """The fraction of logged outcomes that were successes (0.0 with none).

        Example:
            >>> meta.success_rate()
            1.0

        """

    def avg_resonance(self) -> float:
        """The mean ``res`` over the log, in 32-bit floats (0.0 with none).

        Example:
            >>> meta.avg_resonance()
            0.8999999761581421

        """

    def recommend(self) -> list[tuple[str, float, str]]:
        """Optimizer actions suggested by the statistics.

        Returns:
            Up to three ``(action, delta, reason)`` tuples: learning-rate and
            attention increases below a 50 % success rate, a momentum increase
            above 80 %, an identity-rate decrease when the average resonance
            is below 0.4.

        Example:
            >>> meta.recommend()
            [('momentum_increase', 0.05000000074505806, 'success rate 1.00 > 80%, reinforce')]

        """

@final
class PySelfAudit:
    """Audits of vectors for drift and for consistency with earlier ones.

    Returns ``(score, passed, issues)`` triples. ``full_audit`` remembers the
    newest 100 vectors it saw and compares with up to five of them (O(len)).
    Bound to the creating thread.

    Args:
        dim: sets the drift threshold: more than ``dim // 10`` components
            below 0.1 in magnitude is drift.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> audit = hdc.PySelfAudit(64)
        >>> v = hdc.hv_hash_string("state", 64)

    """

    def __new__(cls, dim: SupportsIndex) -> PySelfAudit: ...
    def full_audit(self, hv: _Vector) -> tuple[float, bool, list[str]]:
        """Check ``hv`` for drift and against recent history, then remember it.

        Args:
            hv: the vector to audit.

        Returns:
            ``(score, passed, issues)``: score 1.0 less 0.1 per issue, passed
            when there is none.

        Raises:
            TypeError: ``hv`` is not a sequence of numbers.

        Example:
            >>> audit.full_audit(v)
            (1.0, True, [])
            >>> audit.full_audit([-x for x in v])
            (0.8999999761581421, False, ['low history consistency: -1.000'])

        """

    def check_consistency(self, h1: _Vector, h2: _Vector) -> tuple[float, bool, list[str]]:
        """Compare two vectors: ``resonance(h1, h2)``, passed at 0.7 or more.

        Args:
            h1: first vector; its length divides.
            h2: second vector.

        Returns:
            ``(score, passed, issues)``; nothing is remembered.

        Raises:
            TypeError: an argument is not a sequence of numbers.

        Example:
            >>> audit.check_consistency(v, v)
            (1.0, True, [])

        """

@final
class PyOptimizer:
    """Seven cognitive parameters changed by named actions, with a 100-step undo.

    Parameters: learning_rate, attention_weight, momentum, excitation_bias,
    inhibition_bias, exploration_rate (each kept in [0, 1]) and identity_lr
    (at least 0.001). Unknown actions change nothing but still add an undo
    step. Bound to the creating thread.

    Example:
        >>> opt = hdc.PyOptimizer()

    """

    def __new__(cls) -> PyOptimizer: ...
    def apply(self, action: str, delta: _Float, reason: str) -> None:
        """Apply a named action, after saving the parameters for ``rollback``.

        Args:
            action: for example "learning_rate_increase", "momentum_decrease",
                "identity_lr_decrease"; matched exactly.
            delta: the step (32-bit float); a decrease subtracts ``abs(delta)``.
            reason: free text, not used.

        Raises:
            TypeError: an argument has the wrong type.

        Example:
            >>> opt.apply("learning_rate_increase", 0.7, "converging")
            >>> opt.get("learning_rate")
            1.0

        """

    def rollback(self) -> None:
        """Undo the newest ``apply`` (nothing happens when there is none).

        Example:
            >>> opt.rollback()
            >>> opt.get("learning_rate")
            0.5

        """

    def get(self, name: str) -> float | None:
        """The current value of a parameter, or None for an unknown name.

        Args:
            name: a parameter name, matched exactly.

        Raises:
            TypeError: ``name`` is not a ``str``.

        Example:
            >>> opt.get("momentum"), opt.get("Momentum")
            (0.5, None)

        """

    def get_params(self) -> dict[str, float]:
        """All seven parameters by name (the key order is not defined).

        Example:
            >>> opt.get_params()["identity_lr"]
            0.009999999776482582

        """

@final
class PyQuantumAttentionHead:
    """Thresholded attention: mix the values of the keys that agree with a query.

    A key weighs ``max(0, 2 * a - 1)`` where ``a`` is its dot product with the
    query divided by the query's length; for bipolar vectors only keys agreeing
    in more than three quarters of the components count. Weights are
    normalised to sum to one. Costs O(keys x length). Bound to the creating
    thread.

    Args:
        dim: the output length.
        nqubits: kept, not used.

    Raises:
        TypeError, OverflowError: an argument is not a non-negative integer.

    Example:
        >>> head = hdc.PyQuantumAttentionHead(4, 2)

    """

    def __new__(cls, dim: SupportsIndex, nqubits: SupportsIndex) -> PyQuantumAttentionHead: ...
    def compute(self, query: _Vector, keys: _Vectors, values: _Vectors) -> list[float]:
        """The weighted mix of ``values`` for ``query``.

        Args:
            query: the query vector.
            keys: the key vectors (a sequence of vectors or a 2-D array).
            values: one value vector per key.

        Returns:
            ``dim`` floats (zeros when no key counts); with a single key, a
            copy of its value whatever the query.

        Raises:
            TypeError: an argument is not a (sequence of) vector(s).
            PanicException: ``keys`` is empty or its length differs from
                ``values``.

        Example:
            >>> head.compute([1, 1, 1, 1], [[1, 1, 1, 1], [1, -1, 1, -1]], [[1, 2, 3, 4], [9, 9, 9, 9]])
            [1.0, 2.0, 3.0, 4.0]

        """

@final
class PyHoloCPUScheduler:
    """A holographic concept memory with a feedback loop and an attention search.

    Stored concepts are string-seeded vectors superposed in one world vector;
    ``recall`` tests a string against them (O(concepts x dim)). Feedback
    signals drive an embedded ``PyOptimizer``-like learning rate and a
    ``PyMetacognition``-like log. Bound to the creating thread.

    Args:
        dim: vector length.
        quantum_capacity: kept and reported; it limits nothing.

    Raises:
        TypeError, OverflowError: an argument is not a non-negative integer.

    Example:
        >>> sched = hdc.PyHoloCPUScheduler(256, 4)

    """

    def __new__(cls, dim: SupportsIndex, quantum_capacity: SupportsIndex) -> PyHoloCPUScheduler: ...
    def dimension(self) -> int:
        """The ``dim`` given at construction.

        Example:
            >>> sched.dimension()
            256

        """

    def quantum_capacity(self) -> int:
        """The ``quantum_capacity`` given at construction.

        Example:
            >>> sched.quantum_capacity()
            4

        """

    def store_memory(self, target: str) -> None:
        """Store a concept (stored again, it counts twice).

        Args:
            target: the concept's name.

        Raises:
            TypeError: ``target`` is not a ``str``.

        Example:
            >>> sched.store_memory("render")

        """

    def recall(self, target: str) -> bool:
        """Whether ``target`` resonates with the stored concepts (above 0.3).

        Args:
            target: the name to test.

        Raises:
            TypeError: ``target`` is not a ``str``.

        Example:
            >>> sched.recall("render"), sched.recall("physics")
            (True, False)

        """

    def export_holographic_state(self) -> list[float]:
        """A copy of the saturating sum of stored keys, each component in [-1, 1].

        Example:
            >>> len(sched.export_holographic_state())
            256

        """

    def process_feedback(self, signal: _Float) -> None:
        """Move the learning rate by ``signal - 0.5`` (kept in [0, 1]) and log the signal.

        Args:
            signal: the feedback, narrowed to a 32-bit float.

        Raises:
            TypeError: ``signal`` is not a number.

        Example:
            >>> sched.process_feedback(0.9)

        """

    def feedback_strength(self) -> float:
        """The current learning rate (0.5 on a new scheduler).

        Example:
            >>> sched.feedback_strength()
            0.8999999761581421

        """

    def quantum_grover_search(self, query: _Vector, keys: _Vectors, values: _Vectors) -> list[float]:
        """``PyQuantumAttentionHead(dim, ...).compute(query, keys, values)``.

        Args:
            query: the query vector.
            keys: the key vectors.
            values: one value vector per key.

        Returns:
            ``dim`` floats, or a copy of the single value when there is one key.

        Raises:
            TypeError: an argument is not a (sequence of) vector(s).
            PanicException: ``keys`` is empty or its length differs from
                ``values``.

        Example:
            >>> sched.quantum_grover_search([1.0], [[1.0]], [[2.0, 3.0]])
            [2.0, 3.0]

        """

    def run_audit_integrity_check(self) -> bool:
        """True when ``dim`` and ``quantum_capacity`` are both non-zero.

        Example:
            >>> sched.run_audit_integrity_check()
            True

        """

    def generate_role(self, label: str) -> list[float]:
        """A reproducible bipolar role vector of ``dim`` components for a label.

        Args:
            label: the role's name.

        Raises:
            TypeError: ``label`` is not a ``str``.

        Example:
            >>> sched.generate_role("abc")[:4]
            [1.0, -1.0, 1.0, 1.0]

        """

    @property
    def dim(self) -> int:
        """The ``dim`` given at construction (read-only).

        Example:
            >>> sched.dim
            256

        """

    @property
    def qc(self) -> int:
        """The ``quantum_capacity`` given at construction (read-only).

        Example:
            >>> sched.qc
            4

        """

@final
class PyHoloGenEngine:
    """Deterministic sign-vector codes for pixels, materials, photons, BVH nodes.

    Results are lists of ``dim`` ints, each +1 or -1 for generated codes; the
    same arguments give the same list in every process. Each code costs
    O(dim). Bound to the creating thread.

    Args:
        dim: the code length.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> gen = hdc.PyHoloGenEngine(32)

    """

    def __new__(cls, dim: SupportsIndex) -> PyHoloGenEngine: ...
    def structural_dimension(self) -> int:
        """The ``dim`` given at construction.

        Example:
            >>> gen.structural_dimension()
            32

        """

    def generate_pixel_geometry(
        self, x: SupportsIndex, y: SupportsIndex, frame_id: SupportsIndex | None = None
    ) -> list[int]:
        """The code of pixel (x, y) in a frame: the product of three seeded codes.

        Symmetric in ``x`` and ``y``.

        Args:
            x: unsigned 32-bit column.
            y: unsigned 32-bit row.
            frame_id: unsigned 64-bit frame number; None means 0.

        Raises:
            TypeError: an argument is not an integer.
            OverflowError: ``x`` or ``y`` is outside 0 ... 4294967295.

        Example:
            >>> gen.generate_pixel_geometry(3, 5) == gen.generate_pixel_geometry(5, 3, 0)
            True

        """

    def generate_material_mapping(self, position: _Vec3, normal: _Vec3, material_id: SupportsIndex) -> list[int]:
        """The material's seeded code, negated by the parity of the coarse position and normal.

        Args:
            position: three numbers.
            normal: three numbers.
            material_id: unsigned 32-bit material number.

        Raises:
            ValueError: ``position`` or ``normal`` does not have 3 items.
            TypeError, OverflowError: an argument has the wrong type or range.

        Example:
            >>> len(gen.generate_material_mapping([0, 0, 0], [0, 0, 1], 7))
            32

        """

    def generate_photon(
        self, position: str | _Vec3, direction: _Vec3 | None = None, wavelength: _Float | None = None
    ) -> list[int]:
        """The code of a photon, given by a colour name or by all three quantities.

        Args:
            position: a colour name (blue, red, green, yellow, white, cyan,
                amber, violet, purple, orange; case and surrounding blanks
                ignored) or three numbers.
            direction: three numbers; required with a position vector.
            wavelength: nanometres; required with a position vector.

        Raises:
            ValueError: an unknown colour, or a position vector without
                ``direction`` or ``wavelength``.
            PanicException: ``dim`` is from 1 to 31.

        Example:
            >>> gen.generate_photon(" Red ") == gen.generate_photon([0, 0, 0], [1, 0, 0], 650.0)
            True

        """

    def encode_bvh_node(self, min_bounds: _Vec3, max_bounds: _Vec3, left: _Signs, right: _Signs) -> list[int]:
        """The code of a bounding-volume-hierarchy node from its box and children.

        The product of each child with its side's codebook, negated when the
        coarse codes of the corners differ in parity. Products wrap to 8 bits.

        Args:
            min_bounds: three numbers.
            max_bounds: three numbers.
            left: the left child's code, ``dim`` ints from -128 to 127.
            right: the right child's code, likewise.

        Raises:
            TypeError, OverflowError, ValueError: an argument has the wrong
                type, range or length 3.
            PanicException: ``left`` or ``right`` does not have ``dim`` items.

        Example:
            >>> leaf = gen.generate_pixel_geometry(1, 2)
            >>> len(gen.encode_bvh_node([0, 0, 0], [1, 1, 1], leaf, leaf))
            32

        """

    def simulate_counterfactual(self, root_state: object, intervention: object) -> list[int]:
        """Bind a state with an intervention, component by component.

        Each argument is a list of small ints or, failing that, any object,
        turned into ``dim`` signs by hashing ``str()`` of it.

        Args:
            root_state: the state.
            intervention: the intervention.

        Returns:
            The wrapped 8-bit products.

        Raises:
            PanicException: the two operands differ in length.

        Example:
            >>> gen.simulate_counterfactual([1, -1, 1], [1, 1, -1])
            [1, -1, -1]

        """

@final
class PyHoloSwarm:
    """Agents (role x policy x skill) superposed in one vector and factorised back.

    Each agent is the product of its three vectors, rotated by its role's
    digest, added to ``swarm_vector``; a registry keeps the vectors as
    codebooks for ``resonate``. ``add_agent`` is O(dim); ``resonate`` costs
    O(max_iter x agents x dim). Usable from any thread, one call at a time.

    Args:
        dim: the swarm vector's length.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> swarm = hdc.PyHoloSwarm(512)
        >>> cb = {w: hdc.hv_hash_string(w, 512) for w in ("scout", "explore", "map", "guard", "hold", "watch")}

    """

    def __new__(cls, dim: SupportsIndex) -> PyHoloSwarm: ...
    def get_swarm_vector(self) -> list[float]:
        """A copy of ``swarm_vector``.

        Example:
            >>> swarm.get_swarm_vector() == [0.0] * 512
            True

        """

    def add_agent(self, role: str, r_hv: _Vector, policy: str, p_hv: _Vector, skill: str, s_hv: _Vector) -> None:
        """Add an agent: ``r_hv * p_hv * s_hv`` rotated and summed into the swarm.

        Args:
            role: the role's name (its digest sets the rotation).
            r_hv: the role vector.
            policy: the policy's name.
            p_hv: the policy vector.
            skill: the skill's name.
            s_hv: the skill vector.

        Raises:
            TypeError: an argument has the wrong type.
            PanicException: ``dim`` is 0, or the vectors are shorter than the
                role's rotation.

        Example:
            >>> swarm.add_agent("scout", cb["scout"], "explore", cb["explore"], "map", cb["map"])
            >>> swarm.add_agent("guard", cb["guard"], "hold", cb["hold"], "watch", cb["watch"])

        """

    def add_paradox_trap(self, names: Sequence[str], roles: _Vectors, keys: _Vectors) -> None:
        """Add a ring of agents: each name's skill is the next name's role.

        Args:
            names: the ring's names (fewer than two adds nothing).
            roles: one role vector per name.
            keys: one policy vector per name.

        Raises:
            TypeError: an argument has the wrong type (a single ``str`` as
                ``names`` is refused).
            PanicException: ``roles`` or ``keys`` is too short (the agents
                before the missing one stay added).

        Example:
            >>> ring = hdc.PyHoloSwarm(8)
            >>> ring.add_paradox_trap(["a", "b"], [[1.0] * 8, [-1.0] * 8], [[1.0] * 8, [1.0] * 8])
            >>> ring.materialize([-1.0] * 8, 0.9)
            [('b', 1.0)]

        """

    def resonate(
        self, role_key: str, p_guess: _Vector, _s_guess: _Vector, max_iter: SupportsIndex
    ) -> tuple[str, str, str, float]:
        """Factorise the agent of a role: alternate skill and policy clean-up.

        Args:
            role_key: the role's name.
            p_guess: a first guess of the policy vector.
            _s_guess: converted, otherwise ignored.
            max_iter: the exact number of iterations.

        Returns:
            ``(role, policy, skill, score)``; ``("none", "none", "none", 0.0)``
            for an empty swarm.

        Raises:
            TypeError: an argument has the wrong type.
            PanicException: ``dim`` is 0 with agents present, or
                ``swarm_vector`` was set shorter than the rotation.

        Example:
            >>> swarm.resonate("scout", cb["explore"], [], 2)[:3]
            ('scout', 'explore', 'map')

        """

    def materialize(self, probe: _Vector, threshold: _Float) -> list[tuple[str, float]]:
        """The roles whose vectors resonate with ``probe`` above ``threshold``, best first.

        Args:
            probe: the probe vector; its length divides.
            threshold: the similarity to exceed (32-bit float).

        Raises:
            TypeError: an argument has the wrong type.

        Example:
            >>> swarm.materialize(cb["guard"], 0.9)
            [('guard', 1.0)]

        """

    @property
    def dim(self) -> int:
        """The ``dim`` given at construction (read-only).

        Example:
            >>> swarm.dim
            512

        """

    @property
    def swarm_vector(self) -> list[float]:
        """The superposition of all agents; a copy on read, replaced on write.

        Example:
            >>> max(swarm.swarm_vector) <= 2.0
            True

        """

    @swarm_vector.setter
    def swarm_vector(self, v: _Vector) -> None: ...

@final
class PyHKVC:
    """A string-to-string cache kept exactly and as a complex phase superposition.

    ``query`` finds a stored key exactly (through its digest) and otherwise
    answers with the stored value whose phases best explain the key. It always
    answers with some stored value once anything is stored, and the score
    cannot tell a hit from a miss; keep your own key set for membership. A
    store costs O(dim) hashes and sines; an exact query O(dim) per candidate,
    a miss O(dim x entries). Bound to the creating thread.

    Args:
        dim: the number of phase components.

    Raises:
        TypeError, OverflowError: ``dim`` is not a non-negative integer.

    Example:
        >>> cache = hdc.PyHKVC(256)

    """

    def __new__(cls, dim: SupportsIndex) -> PyHKVC: ...
    def store(self, key: str, value: str, position: SupportsIndex) -> None:
        """Add an entry (a repeated key adds another; the first stays the answer).

        Args:
            key: the key.
            value: the value.
            position: an unsigned 64-bit position, added to the position memory.

        Raises:
            TypeError: ``key`` or ``value`` is not a ``str``.
            OverflowError: ``position`` is negative.

        Example:
            >>> cache.store("capital of France", "Paris", 0)
            >>> cache.store("capital of Italy", "Rome", 1)

        """

    def query(self, query_key: str) -> tuple[str, float]:
        """``(value, score)`` for a key; ``("", 0.0)`` when nothing is stored.

        Args:
            query_key: the key to look up.

        Returns:
            The matched value and its projection score (about ``1/count``
            for an exact hit, never negative).

        Raises:
            TypeError: ``query_key`` is not a ``str``.

        Example:
            >>> cache.query("capital of Italy")[0]
            'Rome'

        """

    def count(self) -> int:
        """The number of stored entries.

        Example:
            >>> cache.count()
            2

        """

    def position_score(self, position: SupportsIndex) -> float:
        """A probe of the position memory (about equal for all positions).

        Args:
            position: an unsigned 64-bit position.

        Raises:
            OverflowError: ``position`` is negative.

        Example:
            >>> isinstance(cache.position_score(0), float)
            True

        """

    def accumulator_magnitude(self) -> list[float]:
        """The magnitude of each component of the key-value superposition.

        Example:
            >>> max(cache.accumulator_magnitude()) <= 2.0
            True

        """
