"""Item memories larger than one process: rows kept in shards on the workers
of a Dask cluster, searched exactly.

:class:`ShardedItemMemory` deals the rows added through it out to shards in
blocks of ``block_rows``: global row g lives in shard ``(g // block_rows) %
shards``. Each shard is an :class:`tessarin.ItemMemory` kept in one worker's
memory (a Dask actor, never moved, copied or spilled). A search sends the
queries to every shard; each answers its own best ``min(k, its rows)`` with
its shard id and row count, and the coordinator maps the answers to global
indices and merges them with :func:`tessarin._native.merge_top_k`, the
order of ``ItemMemory.search``. The answer is therefore byte-identical to one
``ItemMemory`` holding every row, whatever the number of shards.

A shard that is lost (its worker died or left) cannot answer any more: every
later call raises :class:`ShardLostError`; a call running when it is lost
raises it too, never an answer that lacks the shard's rows.

:func:`replicate` ships a whole engine to every worker as its snapshot,
:func:`ask_replicas` spreads a batch of calls over the replicas, and
:func:`call` lets any function of :mod:`tessarin` run as a task.
Everything the workers run lives in this module, so nothing depends on the
script that started them.

Needs the ``dask`` extra (``pip install "tessarin_hdc[dask]"``); ``import
tessarin`` alone never imports Dask.
"""
from __future__ import annotations

import asyncio
import operator
import threading
from collections.abc import Iterator, Sequence
from typing import Any, cast

import numpy as np
from distributed import Client, Future, get_worker

from tessarin import Array, ItemMemory, random_bipolar
from tessarin._native import merge_top_k  # type: ignore[import-not-found]  # the merge is not public

__all__ = ["ShardLostError", "ShardedItemMemory", "ask_replicas", "call", "replicate"]

# How often a search waiting for its shards' answers checks that they are
# still held, in seconds.
_LOST_POLL_SECONDS = 0.2

# Rows made at once on a worker: a few MiB of float32 rows at a time before
# the shard keeps them as bits.
_BIPOLAR_CHUNK_ROWS = 1024


class ShardLostError(RuntimeError):
    """A shard of a :class:`ShardedItemMemory` is gone or no longer holds the
    rows it was given, so the memory cannot answer exactly."""


class _Shard:
    """One shard, kept in its worker's memory as a Dask actor."""

    def __init__(self, dim: int, shard_id: int) -> None:
        self.memory = ItemMemory(dim)
        self.shard_id = shard_id

    def search(self, queries: Any, k: int) -> tuple[int, int, np.ndarray, np.ndarray]:
        # Called as an actor method: straight to this worker, no task for the
        # scheduler to place, and the answer is k results per query, not rows.
        scores, indices = self.memory.search(_unpacked(queries), k)
        return self.shard_id, len(self.memory), np.asarray(scores), np.asarray(indices)


# ---- tasks run on the worker that keeps the shard ------------------------------


def _local_shard(actor: Any) -> _Shard:
    # Each task is pinned to its shard's worker, so the shard is read in place
    # instead of through a round trip to the actor's own thread.
    shard = get_worker().state.actors.get(actor.key)
    if shard is None:
        raise ShardLostError(f"the shard {actor.key} is not on the worker running its task")
    return cast(_Shard, shard)


def _add_rows(actor: Any, rows: Any) -> int:
    memory = _local_shard(actor).memory
    memory.add(_unpacked(rows))
    return len(memory)


def _add_bipolar(actor: Any, ranges: list[tuple[int, int]], seed: int) -> int:
    memory = _local_shard(actor).memory
    for first, count in ranges:
        for offset in range(0, count, _BIPOLAR_CHUNK_ROWS):
            n = min(_BIPOLAR_CHUNK_ROWS, count - offset)
            memory.add(random_bipolar(n, memory.dim, seed, start=first + offset))
    return len(memory)


def _get(actor: Any, i: int) -> np.ndarray:
    return np.asarray(_local_shard(actor).memory.get(i))


# ---- the coordinator -------------------------------------------------------------


class ShardedItemMemory:
    """An exact search store of rows of length ``dim`` kept in ``shards`` shards
    on the workers of ``client``'s cluster (one shard per worker by default,
    dealt round the workers in address order).

    Calls on one memory are serialised; each waits for every shard it needs.
    Close it (or use it as a context manager) to free the shards at once;
    dropping it frees them too.

    Args:
        client: a connected ``distributed.Client``.
        dim: the length of every row, at least 1.
        shards: how many shards (default: one per worker).
        block_rows: rows dealt to one shard before the next, at least 1.
        workers: the worker addresses to use (default: every worker).

    Raises:
        ValueError: ``dim``, ``shards`` or ``block_rows`` below 1, or no workers.
    """

    def __init__(self, client: Client, dim: int, shards: int | None = None, block_rows: int = 1024,
                 workers: Sequence[str] | None = None) -> None:
        dim = operator.index(dim)
        if dim < 1:
            raise ValueError(f"dim must be at least 1, got {dim}")
        addresses = sorted(workers if workers is not None else client.scheduler_info()["workers"])
        if not addresses:
            raise ValueError("the cluster has no workers")
        count = len(addresses) if shards is None else operator.index(shards)
        block_rows = operator.index(block_rows)
        if count < 1 or block_rows < 1:
            raise ValueError(f"shards and block_rows must be at least 1, got {count} and {block_rows}")
        self._client = client
        self._dim = dim
        self._block_rows = block_rows
        self._workers = [addresses[i % len(addresses)] for i in range(count)]
        self._lock = threading.Lock()
        self._size = 0
        self._rows = [0] * count
        self._lost: str | None = None
        self._shards: list[Future[Any]] = [
            client.submit(_Shard, dim, i, actor=True, pure=False, workers=[w], allow_other_workers=False)
            for i, w in enumerate(self._workers)
        ]
        self._actors: list[Any] = client.gather(self._shards)  # type: ignore[no-untyped-call]
        for actor in self._actors:
            # A handle keeps its own reference to the shard, which would hold
            # the shard past close() for as long as the handle lives, and on a
            # lost connection would wait for the shard to be made again; the
            # futures in self._shards alone keep the shards, and a lost shard
            # ends a search at once (_call_actors).
            actor._future = None

    @property
    def dim(self) -> int:
        """The length of every row."""
        return self._dim

    @property
    def shards(self) -> int:
        """How many shards hold the rows."""
        return len(self._workers)

    @property
    def workers(self) -> list[str]:
        """The address of the worker keeping each shard."""
        return list(self._workers)

    def __len__(self) -> int:
        return self._size

    def __repr__(self) -> str:
        return f"<ShardedItemMemory dim={self._dim} rows={self._size} shards={len(self._workers)}>"

    def __enter__(self) -> ShardedItemMemory:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Free every shard now; later calls raise ``ValueError``. Closing twice
        does nothing."""
        with self._lock:
            for future in self._shards:
                future.release()
            self._shards = []
            self._actors = []

    def add(self, rows: Any) -> int:
        """Append one row or a batch of rows, each of length ``dim``, read as
        ``ItemMemory.add`` reads them; returns the global index of the first.
        Exactly bipolar rows travel to the workers as packed bits.

        Raises:
            ValueError: rows of another length, or more than two dimensions.
            TypeError: rows that are not numbers.
            ShardLostError: a shard is lost (the memory then holds an unknown
                part of the batch and refuses every later call).
        """
        table = _rows_of(rows, self._dim)
        payload = _packed(table)
        with self._lock:
            self._require_shards()
            first = self._size
            runs: list[list[np.ndarray]] = [[] for _ in self._workers]
            for shard, start, stop in self._deal(first, len(table)):
                runs[shard].append(np.arange(start, stop))
            sends = [None if not r else self._client.scatter(_rows_at(payload, np.concatenate(r)), hash=False,
                                                             workers=[self._workers[s]]) for s, r in enumerate(runs)]
            self._run_adds(_add_rows, [None if f is None else (f,) for f in sends], first, len(table))
            return first

    def add_bipolar(self, n: int, seed: int, start: int = 0) -> int:
        """Append rows ``start`` ... ``start + n - 1`` of the seeded bipolar
        codebook (``tessarin.random_bipolar(n, dim, seed, start)``), each made
        on the worker that keeps it: no row crosses the network. Returns the
        global index of the first.

        Raises:
            ValueError: a negative argument, or rows beyond the generator's range.
            ShardLostError: a shard is lost (see ``add``).
        """
        n, seed, start = operator.index(n), operator.index(seed), operator.index(start)
        random_bipolar(0, self._dim, seed, start=start)  # refuses negative arguments
        if n < 0:
            raise ValueError(f"argument 'n': must not be negative, got {n}")
        if start + n > 2**64:
            raise ValueError(f"rows {start} to {start} + {n} lie beyond the generator's 2**64 rows")
        if n > 0:
            # The last row is the first to leave the generator's range: made
            # here, it refuses a bad range before any shard changes.
            random_bipolar(1, self._dim, seed, start=start + n - 1)
        with self._lock:
            self._require_shards()
            first = self._size
            ranges: list[list[tuple[int, int]]] = [[] for _ in self._workers]
            for shard, begin, stop in self._deal(first, n):
                ranges[shard].append((start + begin, stop - begin))
            self._run_adds(_add_bipolar, [(r, seed) if r else None for r in ranges], first, n)
            return first

    def search(self, queries: Any, k: int) -> tuple[Array, Array]:
        """The best ``min(k, len(self))`` rows of each query, as
        ``ItemMemory.search`` gives them for one memory holding every row:
        ``(scores, indices)``, float32 and int64 arrays of shape
        ``(Q, min(k, len(self)))``, by score descending, then global index
        ascending, NaN scores after every number. Each shard sends back at
        most k results per query.

        Raises:
            ValueError: a negative ``k``, queries of another length.
            ShardLostError: a shard is lost, now or before.
        """
        k = operator.index(k)
        if k < 0:
            raise ValueError(f"argument 'k': must not be negative, got {k}")
        # Refused here rather than by every shard; each shard still reads the
        # elements as ItemMemory.search reads the original.
        queries = _rows_of(queries, self._dim, "queries")
        with self._lock:
            self._require_shards()
            payload = _packed(queries)
            answers = self._call_actors([actor.search(payload, k) for actor in self._actors])
            scores, indices = [], []
            for shard, answer in enumerate(answers):
                shard_id, rows, shard_scores, shard_indices = answer
                # Only a complete answer from each shard, holding every row it
                # was given, makes the merge exact.
                shape = (len(queries), min(k, self._rows[shard]))
                complete = shard_scores.shape == shard_indices.shape == shape
                if shard_id != shard or rows != self._rows[shard] or not complete:
                    self._lost = (f"shard {shard} answered as shard {shard_id} holding {rows} rows with "
                                  f"{shard_scores.shape} results; it was given {self._rows[shard]} rows")
                    raise ShardLostError(self._lost)
                scores.append(shard_scores)
                indices.append(self._global_rows(shard, shard_indices))
            best: tuple[Array, Array] = merge_top_k(np.concatenate(scores, axis=1), np.concatenate(indices, axis=1), k)
            return best

    def get(self, i: int) -> np.ndarray:
        """Row ``i`` exactly as it was added, as a ``(dim,)`` float32 array.

        Raises:
            IndexError: ``i`` outside 0 ... len(self) - 1.
        """
        i = operator.index(i)
        with self._lock:
            self._require_shards()
            if not 0 <= i < self._size:
                raise IndexError(f"row index {i} out of range for {self._size} rows")
            block, offset = divmod(i, self._block_rows)
            shard, round_ = block % len(self._workers), block // len(self._workers)
            [row] = self._gather([self._on_shard(shard, _get, round_ * self._block_rows + offset)])
            return row  # type: ignore[no-any-return]

    # ---- plumbing ----------------------------------------------------------------

    def _deal(self, first: int, n: int) -> Iterator[tuple[int, int, int]]:
        # (shard, start, stop) for each block-aligned run of the rows
        # first ... first + n - 1, as offsets from `first`.
        g, end = first, first + n
        while g < end:
            block = g // self._block_rows
            stop = min(end, (block + 1) * self._block_rows)
            yield block % len(self._workers), g - first, stop - first
            g = stop

    def _global_rows(self, shard: int, local: np.ndarray) -> np.ndarray:
        rounds, offsets = np.divmod(local, self._block_rows)
        return (rounds * len(self._workers) + shard) * self._block_rows + offsets

    def _on_shard(self, shard: int, task: Any, *args: Any) -> Future[Any]:
        return self._client.submit(task, self._shards[shard], *args, pure=False, workers=[self._workers[shard]],
                                   allow_other_workers=False)

    def _run_adds(self, task: Any, args: list[tuple[Any, ...] | None], first: int, n: int) -> None:
        expected = list(self._rows)
        for shard, start, stop in self._deal(first, n):
            expected[shard] += stop - start
        shards = [s for s, a in enumerate(args) if a is not None]
        try:
            counts = self._gather([self._on_shard(s, task, *args[s]) for s in shards])  # type: ignore[misc]
        except BaseException as error:
            # The batch was checked before any shard saw it, so a failure here
            # may have left it in some shards and not in others.
            if self._lost is None:
                self._lost = f"an add failed part way ({error!r}); the shards hold an unknown part of it"
            if isinstance(error, ShardLostError) or not isinstance(error, Exception):
                raise
            raise ShardLostError(self._lost) from error
        for shard, count in zip(shards, counts):
            if count != expected[shard]:
                self._lost = f"shard {shard} holds {count} rows after an add; it should hold {expected[shard]}"
                raise ShardLostError(self._lost)
        self._rows = expected
        self._size = first + n

    def _gather(self, tasks: list[Future[Any]]) -> list[Any]:
        return self._waited(lambda: self._client.gather(tasks))

    def _call_actors(self, calls: list[Any]) -> list[Any]:
        # The answers of actor method calls. A call whose worker is gone is
        # not always answered (only a refused connection ends it with an
        # error), so the wait also ends as soon as a shard is no longer held.
        shards = list(self._shards)

        async def answers() -> list[Any]:
            pending = [asyncio.ensure_future(call) for call in calls]
            try:
                while True:
                    _, waiting = await asyncio.wait(pending, timeout=_LOST_POLL_SECONDS)
                    if not waiting:
                        return [call.result() for call in pending]
                    if any(future.status != "finished" for future in shards):
                        raise ShardLostError(f"shards {[s for s, f in enumerate(shards) if f.status != 'finished']}"
                                             " are lost")
            finally:
                for call in pending:
                    call.cancel()

        return self._waited(lambda: self._client.sync(answers))  # type: ignore[no-untyped-call]

    def _waited(self, wait: Any) -> list[Any]:
        try:
            return wait()  # type: ignore[no-any-return]
        except (ValueError, TypeError, IndexError, MemoryError):
            # The shard refused the arguments and changed nothing.
            raise
        except Exception as error:
            lost = [s for s, f in enumerate(self._shards) if f.status != "finished"]
            self._lost = f"shards {lost} are lost" if lost else f"a shard failed: {error!r}"
            raise ShardLostError(self._lost) from error

    def _require_shards(self) -> None:
        if not self._shards:
            raise ValueError("the sharded memory is closed")
        if self._lost is not None:
            raise ShardLostError(self._lost)


def _rows_of(rows: Any, dim: int, name: str = "rows") -> np.ndarray:
    # The rows as one (n, dim) array, refused before any shard sees them, so
    # that a batch is added whole or not at all. Elements keep their type:
    # each shard reads them exactly as ItemMemory reads the original.
    try:
        table = np.asarray(rows)
        if table.dtype.kind == "O":
            table = np.asarray(rows, dtype=np.float64)
    except ValueError as error:
        raise ValueError(f"argument '{name}': rows must share one length ({error})") from None
    if table.dtype.kind not in "biuf":
        raise TypeError(f"argument '{name}': expected numbers, got {table.dtype}")
    if table.ndim == 1:
        table = table.reshape(1, -1)
    if table.ndim != 2:
        raise ValueError(f"argument '{name}': expected one or two dimensions, got {table.ndim}")
    if table.shape[1] != dim:
        raise ValueError(f"{name} have {table.shape[1]} components but the memory holds {dim}")
    return table


def _packed(table: np.ndarray) -> Any:
    # Exactly bipolar rows as sign bits (1 for -1.0): a 32nd of the bytes of
    # float32 rows, unpacked on the worker to the same floats.
    if table.size and bool(np.all((table == 1) | (table == -1))):
        return np.packbits(table < 0, axis=1), table.shape[1]
    return table


def _unpacked(payload: Any) -> Any:
    if isinstance(payload, tuple):  # sign bits of bipolar rows, and their length
        bits, dim = payload
        return np.where(np.unpackbits(bits, axis=1, count=dim).astype(bool), np.float32(-1), np.float32(1))
    return payload


def _rows_at(payload: Any, rows: np.ndarray) -> Any:
    return (payload[0][rows], payload[1]) if isinstance(payload, tuple) else payload[rows]


# ---- replicas: whole engines shipped to the workers --------------------------------


def replicate(client: Client, engine: Any, workers: Sequence[str] | None = None) -> Future[Any]:
    """Ships ``engine`` whole to every worker of ``client``'s cluster (or to
    ``workers``) and returns the one future that names every replica.

    Any engine class of :mod:`tessarin` and :class:`tessarin.ItemMemory`
    travel as their snapshots (pickled, the state out of band), and each
    worker rebuilds the engine bit for bit rather than from its inputs: a
    replica answers every call as the original does. Pass the future to
    tasks, or to :func:`ask_replicas`; a worker that joins later fetches a
    replica from a peer the first time a task there needs it.

    The replicas are not named by their contents (naming a large engine that
    way pickles it once more just to hash it), so every call ships anew. Tasks
    on one worker share its replica: a task that changes it changes it for the
    tasks after it there and for no other worker, so keep replicas for
    reading and ship the engine again after changing the original.
    """
    return client.scatter(engine, broadcast=True, hash=False,  # type: ignore[no-untyped-call,no-any-return]
                          workers=None if workers is None else list(workers))


def ask_replicas(client: Client, replica: Future[Any], method: str, each: Sequence[Any], *common: Any,
                 tasks: int | None = None) -> list[Any]:
    """``engine.<method>(a, *common)`` for every ``a`` of ``each``, asked of the
    replicas that :func:`replicate` made; the answers in the order of ``each``.

    The calls are cut into ``tasks`` runs of consecutive calls (default: one
    per worker holding a replica), each answered by one task on one of those
    workers in turn. Answers that are :class:`tessarin.Array` come back as
    numpy arrays, as do those inside tuples and lists.

    Raises:
        ValueError: ``tasks`` below 1, or no worker holds a replica.
        AttributeError, TypeError, ValueError, ...: what the method raises for
            an argument, from the first task that met it.
    """
    holders = sorted(client.who_has([replica]).get(replica.key, ()))  # type: ignore[no-untyped-call]
    if not holders:
        raise ValueError(f"no worker holds the replica {replica.key}")
    count = len(holders) if tasks is None else operator.index(tasks)
    if count < 1:
        raise ValueError(f"tasks must be at least 1, got {count}")
    shares = [share for share in np.array_split(np.arange(len(each)), count) if len(share)]
    pending = [client.submit(_answer_calls, replica, method, [each[i] for i in share], common, pure=False,
                             workers=[holders[j % len(holders)]]) for j, share in enumerate(shares)]
    return [answer for answers in client.gather(pending) for answer in answers]  # type: ignore[no-untyped-call]


def call(function: Any, *args: Any, **kwargs: Any) -> Any:
    """``function(*args, **kwargs)`` with every :class:`tessarin.Array` of the
    answer (alone, or inside tuples and lists) turned into a numpy array,
    sharing its memory.

    An ``Array`` does not pickle, so a function of :mod:`tessarin` submitted
    as a task could not send its answer back; submitted through this one
    (``client.submit(tessarin.dask.call, tessarin.bind_bundle, keys, values,
    choices)``) it can. It lives in the installed package, so the workers
    import it by name, wherever the script that submits it was started.
    """
    return _portable(function(*args, **kwargs))


def _answer_calls(engine: Any, method: str, each: list[Any], common: tuple[Any, ...]) -> list[Any]:
    ask = getattr(engine, method)
    return [_portable(ask(a, *common)) for a in each]


def _portable(answer: Any) -> Any:
    if isinstance(answer, Array):
        return np.asarray(answer)
    if isinstance(answer, (tuple, list)):
        return type(answer)(_portable(a) for a in answer)
    return answer
