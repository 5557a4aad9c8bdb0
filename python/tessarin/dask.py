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

:class:`ShardedCausalMemory` and :class:`ShardedMultiHopReasoner` split
``tessarin.CausalMemory`` and ``tessarin.MultiHopReasoner`` the same way:
records and facts are dealt out in blocks to shards, while the coordinator
keeps what is one vector or one list (the causal trace, updated in storage
order; the reasoner's links). Shards score their own records against the
query, or against the probe the coordinator makes from the trace; the
coordinator merges by score, then global index, and runs the reasoner's link
rounds and final order itself. Every step is the single engine's own code, so
every answer is byte-identical to one engine's.

:func:`replicate` ships a whole engine to every worker as its snapshot,
:func:`ask_replicas` spreads a batch of calls over the replicas; any
function of :mod:`tessarin` runs as a task as it is (its arrays pickle).
Everything the workers run lives in this module, so nothing depends on the
script that started them.

A shard that is lost (its worker died or left) cannot answer any more: every
later call raises :class:`ShardLostError`; a call running when it is lost
raises it too, never an answer that lacks the shard's rows.

Needs the ``dask`` extra (``pip install "tessarin_hdc[dask]"``); ``import
tessarin`` alone never imports Dask.
"""
from __future__ import annotations

import asyncio
import operator
import threading
from collections.abc import Iterator, Sequence
from typing import Any, Self, cast

import numpy as np
from distributed import Client, Future, get_worker

from tessarin import Array, ItemMemory, random_bipolar
from tessarin._native import (  # type: ignore[import-not-found]  # not public
    _CausalRecords,
    _CausalTrace,
    _ReasonerFacts,
    _ReasonerLinks,
    _rebuild_array,
    merge_top_k,
)

__all__ = ["ShardLostError", "ShardedCausalMemory", "ShardedItemMemory", "ShardedMultiHopReasoner", "ask_replicas",
           "replicate"]

# How often a search waiting for its shards' answers checks that they are
# still held, in seconds.
_LOST_POLL_SECONDS = 0.2

# Rows made at once on a worker: a few MiB of float32 rows at a time before
# the shard keeps them as bits.
_BIPOLAR_CHUNK_ROWS = 1024


class ShardLostError(RuntimeError):
    """A shard of a sharded store is gone or no longer holds the rows it was
    given, so the store cannot answer exactly."""


class _Shard:
    """One shard, kept in its worker's memory as a Dask actor: its part of the
    store (an ``ItemMemory`` unless told otherwise) and its place among the
    shards."""

    def __init__(self, dim: int, shard_id: int, store: Any = ItemMemory) -> None:
        self.memory = store(dim)
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


def _get(actor: Any, i: int) -> Array:
    row: Array = _local_shard(actor).memory.get(i)
    return row


def _add_items(actor: Any, method: str, items: list[tuple[np.ndarray, ...]]) -> int:
    memory = _local_shard(actor).memory
    for parts in items:
        getattr(memory, method)(*parts)
    return len(memory)


def _answer(actor: Any, step: str, *args: Any) -> tuple[int, int, Any]:
    # The shard's answer with what it is and holds, for the coordinator to
    # check before it merges.
    shard = _local_shard(actor)
    return shard.shard_id, len(shard.memory), getattr(shard.memory, step)(*args)


def _matches_with(actor: Any, step: str, part: str, query: np.ndarray) -> tuple[int, int, Any]:
    # Each match (record, score) with the record's cause or effect.
    shard_id, count, found = _answer(actor, step, query)
    if found is None:
        found = []
    elif isinstance(found, tuple):
        found = [found]
    memory = _local_shard(actor).memory
    return shard_id, count, [(j, score, np.asarray(getattr(memory, part)(j))) for j, score in found]


def _fact_scores(actor: Any, query: np.ndarray, facts: np.ndarray) -> tuple[int, int, np.ndarray]:
    shard_id, count, scores = _answer(actor, "scores", query, facts)
    return shard_id, count, np.asarray(scores)


def _reset(actor: Any) -> int:
    memory = _local_shard(actor).memory
    memory.reset()
    return len(memory)


# ---- the coordinator -------------------------------------------------------------


class _ShardedStore:
    """What the sharded stores share: shards kept as actors on the workers,
    items dealt out to them in blocks, tasks pinned to each shard's worker,
    answers checked before they are merged, and every call refused once a
    shard is lost."""

    _items = "rows"

    def __init__(self, client: Client, dim: int, store: Any, shards: int | None, block_rows: int,
                 workers: Sequence[str] | None) -> None:
        addresses = sorted(workers if workers is not None else client.scheduler_info()["workers"])
        if not addresses:
            raise ValueError("the cluster has no workers")
        count = len(addresses) if shards is None else operator.index(shards)
        block_rows = operator.index(block_rows)
        if count < 1 or block_rows < 1:
            raise ValueError(f"shards and block_rows must be at least 1, got {count} and {block_rows}")
        self._client = client
        self._dim = dim
        # Global indices are int64: a block of 2**63 - 1 items already never
        # ends, and a larger count would not convert when they are mapped.
        self._block_rows = min(block_rows, 2**63 - 1)
        self._workers = [addresses[i % len(addresses)] for i in range(count)]
        self._lock = threading.Lock()
        self._size = 0
        self._rows = [0] * count
        self._lost: str | None = None
        self._shards: list[Future[Any]] = [
            client.submit(_Shard, dim, i, store, actor=True, pure=False, workers=[w], allow_other_workers=False)
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
        """The dimension given at construction."""
        return self._dim

    @property
    def shards(self) -> int:
        """How many shards hold the items."""
        return len(self._workers)

    @property
    def workers(self) -> list[str]:
        """The address of the worker keeping each shard."""
        return list(self._workers)

    def __len__(self) -> int:
        return self._size

    def __repr__(self) -> str:
        # Shaped as the single engines' own: <tessarin.CausalMemory dim=4 records=42>.
        return (f"<{type(self).__module__}.{type(self).__qualname__} dim={self._dim} {self._items}={self._size} "
                f"shards={len(self._workers)}>")

    def __reduce_ex__(self, protocol: Any) -> Any:
        # A copy would share the shards but count their items on its own, and
        # an add through either would leave the other refusing every call.
        raise TypeError(f"a {type(self).__name__} cannot be copied or pickled: its shards live on the workers "
                        "and end with it")

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Free every shard now; later calls raise ``ValueError``. Closing twice
        does nothing."""
        with self._lock:
            for future in self._shards:
                future.release()  # type: ignore[no-untyped-call]
            self._shards = []
            self._actors = []

    def _locate(self, g: int) -> tuple[int, int]:
        # (shard, index in the shard) of global item g.
        block, offset = divmod(g, self._block_rows)
        return block % len(self._workers), block // len(self._workers) * self._block_rows + offset

    def _add_items(self, method: str, items: Sequence[tuple[np.ndarray, ...]]) -> int:
        # Appends items, each given to its shard's `method` as its parts, to
        # the shards their global indices name (one call per shard); returns
        # the global index of the first.
        first = self._size
        dealt: list[list[tuple[np.ndarray, ...]]] = [[] for _ in self._workers]
        for shard, start, stop in self._deal(first, len(items)):
            dealt[shard] += items[start:stop]
        # Scattered to the shard's worker rather than carried in the task: a
        # batch may be large.
        sends = [self._client.scatter([d], hash=False, workers=[w])[0] if d else None  # type: ignore[no-untyped-call]
                 for d, w in zip(dealt, self._workers)]
        self._run_adds(_add_items, [None if f is None else (method, f) for f in sends], first, len(items))
        return first

    def _ask(self, task: Any, *args: Any, only: dict[int, tuple[Any, ...]] | None = None) -> dict[int, Any]:
        # Every shard's answer (or the answers of the shards in `only`, each
        # with its own arguments after `args`), checked to come from the shard
        # asked and to cover every item it was given.
        asked = only if only is not None else {s: () for s in range(len(self._workers))}
        answers = self._gather([self._on_shard(s, task, *args, *more) for s, more in asked.items()])
        checked = {}
        for shard, (shard_id, count, payload) in zip(asked, answers):
            if shard_id != shard or count != self._rows[shard]:
                self._lost = (f"shard {shard} answered as shard {shard_id} holding {count} {self._items}; "
                              f"it was given {self._rows[shard]}")
                raise ShardLostError(self._lost)
            checked[shard] = payload
        return checked

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
                self._lost = (f"shard {shard} holds {count} {self._items} after an add; it should hold "
                              f"{expected[shard]}")
                raise ShardLostError(self._lost)
        self._rows = expected
        self._size = first + n

    def _gather(self, tasks: list[Future[Any]]) -> list[Any]:
        return self._waited(lambda: self._client.gather(tasks))  # type: ignore[no-untyped-call]

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
        except (ValueError, TypeError, IndexError, OverflowError, MemoryError):
            # The shard refused the arguments (a k too large for it, say) and
            # changed nothing.
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


class ShardedItemMemory(_ShardedStore):
    """An exact search store of rows of length ``dim`` kept in ``shards`` shards
    on the workers of ``client``'s cluster (one shard per worker by default,
    dealt round the workers in address order).

    Calls on one memory are serialised; each waits for every shard it needs.
    Close it (or use it as a context manager) to free the shards at once;
    dropping it frees them too.

    Every method that ``ItemMemory`` has takes and refuses what the
    ``ItemMemory`` method does and answers in the same types, except
    snapshots (``save``, ``load``; pickling and copying raise ``TypeError``):
    the rows live on the workers, in shards that end with this memory.

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
        ItemMemory(dim)  # refuses a dim as every shard would, before any is made
        super().__init__(client, operator.index(dim), ItemMemory, shards, block_rows, workers)

    def add(self, rows: Any) -> int:
        """Append one row or a batch of rows, each of length ``dim``, read and
        refused as ``ItemMemory.add`` reads and refuses them; returns the
        global index of the first. A batch is added whole or not at all.
        Exactly bipolar rows travel to the workers as packed bits.

        Raises:
            ValueError, TypeError: as ``ItemMemory.add``; nothing is added.
            ShardLostError: a shard is lost (the memory then holds an unknown
                part of the batch and refuses every later call).
        """
        reader = ItemMemory(self._dim)
        reader.add(rows)  # ItemMemory's own converter refuses the batch, before any shard sees it
        count = len(reader)
        payload = _packed(_as_read(rows, reader))
        del reader  # its copy of the rows, while they travel
        with self._lock:
            self._require_shards()
            first = self._size
            runs: list[list[np.ndarray]] = [[] for _ in self._workers]
            for shard, start, stop in self._deal(first, count):
                runs[shard].append(np.arange(start, stop))
            sends = [None if not r else self._client.scatter(  # type: ignore[no-untyped-call]
                _rows_at(payload, np.concatenate(r)), hash=False, workers=[self._workers[s]]) for s, r in enumerate(runs)]
            self._run_adds(_add_rows, [None if f is None else (f,) for f in sends], first, count)
            return first

    def add_bipolar(self, n: int, seed: int, start: int = 0) -> int:
        """Append rows ``start`` ... ``start + n - 1`` of the seeded bipolar
        codebook (``tessarin.random_bipolar(n, dim, seed, start)``), each made
        on the worker that keeps it: no row crosses the network. Returns the
        global index of the first.

        Raises:
            ValueError, TypeError, OverflowError: as ``random_bipolar``;
                nothing is added.
            ShardLostError: a shard is lost (see ``add``).
        """
        n, seed, start = _bipolar_arguments(n, self._dim, seed, start)
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
            ValueError, TypeError, OverflowError: as ``ItemMemory.search``.
            ShardLostError: a shard is lost, now or before.
        """
        queries = _read_queries(queries, self._dim, lambda m: m.search(queries, k))
        ItemMemory(self._dim).search(queries, k)  # refuses k as ItemMemory.search does
        k = operator.index(k)
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

    def resonances(self, queries: Any) -> Array:
        """Entry (i, j) is ``resonance(queries[i], row j)``, as a ``(Q,
        len(self))`` float32 array, as ``ItemMemory.resonances`` gives it for
        one memory holding every row. Every shard sends back a score for each
        of its rows and query: 4 bytes a row and query cross the network.

        Raises:
            ValueError, TypeError: as ``ItemMemory.resonances``.
            ShardLostError: a shard is lost, now or before.
        """
        table = _read_queries(queries, self._dim, lambda m: m.resonances(queries))
        with self._lock:
            self._require_shards()
            scores = np.empty((len(table), self._size), np.float32)
            for shard, shard_scores in self._ask(_answer, "resonances", table).items():
                shard_scores = np.asarray(shard_scores)
                if shard_scores.shape != (len(table), self._rows[shard]):
                    self._lost = (f"shard {shard} answered {shard_scores.shape} resonances; it holds "
                                  f"{self._rows[shard]} rows")
                    raise ShardLostError(self._lost)
                scores[:, self._global_rows(shard, np.arange(self._rows[shard]))] = shard_scores
            every: Array = _rebuild_array("f", scores.shape, scores)
            return every

    def get(self, i: int) -> Array:
        """Row ``i`` exactly as it was added, as a ``(dim,)`` float32 array,
        as ``ItemMemory.get`` gives it.

        Raises:
            IndexError: ``i`` outside 0 ... len(self) - 1.
            TypeError, OverflowError: as ``ItemMemory.get``.
        """
        try:
            # An empty memory converts, and refuses, i as ItemMemory.get does,
            # and leaves every index that converts out of its range.
            ItemMemory(1).get(i)
        except IndexError:
            i = operator.index(i)
        with self._lock:
            self._require_shards()
            if not 0 <= i < self._size:
                raise IndexError(f"row index {i} out of range for {self._size} rows")
            shard, local = self._locate(i)
            [row] = self._gather([self._on_shard(shard, _get, local)])
            return row  # type: ignore[no-any-return]


class ShardedCausalMemory(_ShardedStore):
    """``tessarin.CausalMemory`` with its records kept in ``shards`` shards on
    the workers of ``client``'s cluster, answering every query byte for byte
    as one ``CausalMemory`` that stored the same relations in the same order.

    Record j lives in shard ``(j // block_rows) % shards`` with its fingerprint
    in that shard's own indexes; the trace, one vector of ``dim`` components,
    stays here and is updated by every ``store`` in storage order. A query
    asks every shard for its best exact match (or, for ``query_cause``, all of
    them); only when no shard has one with a positive score does it make the
    trace's probe here and ask the shards to score every record against it.
    Matches merge by score, then global record index, as the single engine
    orders them.

    Calls are serialised; ``store`` waits for its shard, a query for every
    shard. Close it (or use it as a context manager) to free the shards.

    Args:
        client: a connected ``distributed.Client``.
        dim: as for ``CausalMemory``.
        shards: how many shards (default: one per worker).
        block_rows: records dealt to one shard before the next, at least 1.
        workers: the worker addresses to use (default: every worker).

    Raises:
        ValueError: ``shards`` or ``block_rows`` below 1, no workers, or a
            ``dim`` that ``CausalMemory`` refuses.
    """

    _items = "records"

    def __init__(self, client: Client, dim: int, shards: int | None = None, block_rows: int = 1024,
                 workers: Sequence[str] | None = None) -> None:
        self._trace = _CausalTrace(dim)  # refuses a dim as CausalMemory does
        super().__init__(client, operator.index(dim), _CausalRecords, shards, block_rows, workers)

    def store(self, cause: Any, effect: Any, time: Any) -> None:
        """Record a relation, as ``CausalMemory.store``.

        Raises:
            ValueError, TypeError: as ``CausalMemory.store``; nothing is stored.
            ShardLostError: a shard is lost, now or before.
        """
        self.store_many([cause], [effect], [time])

    record = store

    def store_many(self, causes: Sequence[Any], effects: Sequence[Any], times: Sequence[Any]) -> None:
        """Record the relations ``(causes[i], effects[i], times[i])`` in order,
        as many calls of ``store`` would, with one round trip per shard. All or
        nothing: every relation is checked before any is stored.

        Raises:
            ValueError: sequences of different lengths, or a relation that
                ``store`` refuses; nothing is stored.
            TypeError: as ``store``; nothing is stored.
            ShardLostError: a shard is lost, now or before.
        """
        if not len(causes) == len(effects) == len(times):
            raise ValueError(f"store_many: {len(causes)} causes, {len(effects)} effects and {len(times)} times")
        relations = [tuple(np.asarray(v) for v in self._trace.checked(*r)) for r in zip(causes, effects, times)]
        with self._lock:
            self._require_shards()
            for relation in relations:
                self._trace.add(*relation)
            self._add_items("add", relations)

    def query_effect(self, cause: Any) -> Array | None:
        """As ``CausalMemory.query_effect``.

        Raises:
            ShardLostError: a shard is lost, now or before.
        """
        return self._best_effect("exact_effect", self._trace.cause_query, cause)

    recall_effect = query_effect

    def query_by_time(self, time: Any) -> Array | None:
        """As ``CausalMemory.query_by_time``.

        Raises:
            ShardLostError: a shard is lost, now or before.
        """
        return self._best_effect("exact_time", self._trace.time_query, time)

    recall_by_time = query_by_time

    def query_cause(self, effect: Any) -> Array | list[Array]:
        """As ``CausalMemory.query_cause``.

        Raises:
            ShardLostError: a shard is lost, now or before.
        """
        with self._lock:
            self._require_shards()
            # The probe is made under the lock, from the trace of exactly the
            # records that the shards hold.
            query, probe = self._trace.effect_query(effect)
            causes = self._ranked("exact_causes", "cause", np.asarray(query), None)
            if not causes:
                causes = self._ranked("probed_causes", "cause", np.asarray(probe), None)
            result: Array | list[Array] = self._trace.vectors(causes)
            return result

    recall_cause = query_cause

    def _best_effect(self, exact: str, query_and_probe: Any, vector: Any) -> Array | None:
        with self._lock:
            self._require_shards()
            query, probe = query_and_probe(vector)
            best = self._ranked(exact, "effect", np.asarray(query), 1)
            if not best:
                best = self._ranked("probed_effect", "effect", np.asarray(probe), 1)
            answer: Array | None = self._trace.vector(best[0]) if best else None
            return answer

    def _ranked(self, step: str, part: str, query: np.ndarray, k: int | None) -> list[np.ndarray]:
        # The `part` of the best k records (all when k is None) that the
        # shards' `step` matches with a positive score, best first.
        if self._size == 0:
            return []
        scores, records, rows = [], [], {}
        for shard, matches in self._ask(_matches_with, step, part, query).items():
            for j, score, row in matches:
                g = int(self._global_rows(shard, np.asarray(j)))
                scores.append(score)
                records.append(g)
                rows[g] = row
        if not records:
            return []
        _, order = merge_top_k(np.asarray([scores], np.float32), np.asarray([records], np.int64),
                               len(records) if k is None else k)
        return [rows[g] for g in np.asarray(order)[0].tolist()]


class ShardedMultiHopReasoner(_ShardedStore):
    """``tessarin.MultiHopReasoner`` with its facts kept in ``shards`` shards on
    the workers of ``client``'s cluster; ``reason`` answers byte for byte as
    one ``MultiHopReasoner`` given the same facts and links in the same order,
    and refuses as it does.

    Fact g lives in shard ``(g // block_rows) % shards``; the links stay here.
    ``reason`` asks every shard for its facts admitted at hop 0, follows the
    links here one round at a time, asks the shards holding each round's new
    facts for their scores in one call per round, and orders the results here.

    Calls are serialised. The arguments, and closing, are those of
    :class:`ShardedCausalMemory`, with ``dim`` as for ``MultiHopReasoner``
    and ``block_rows`` counting facts.
    """

    _items = "facts"

    def __init__(self, client: Client, dim: int, shards: int | None = None, block_rows: int = 1024,
                 workers: Sequence[str] | None = None) -> None:
        self._links = _ReasonerLinks(dim)  # converts dim as MultiHopReasoner does
        super().__init__(client, operator.index(dim), _ReasonerFacts, shards, block_rows, workers)

    def add_fact(self, fact: Any) -> int:
        """Register a fact and return its index, as ``MultiHopReasoner.add_fact``.

        Raises:
            ShardLostError: a shard is lost, now or before.
        """
        return self.add_facts([fact])

    def add_facts(self, facts: Sequence[Any]) -> int:
        """Register facts in order, as many calls of ``add_fact`` would, with
        one round trip per shard; returns the index of the first. All or
        nothing: every fact is converted before any is added.

        Raises:
            TypeError: as ``add_fact``; nothing is added.
            ShardLostError: a shard is lost, now or before.
        """
        rows = [(np.asarray(self._links.fact(fact)),) for fact in facts]
        with self._lock:
            self._require_shards()
            return self._add_items("add_fact", rows)

    def add_link(self, a: int, b: int) -> None:
        """Link facts a and b, as ``MultiHopReasoner.add_link``."""
        with self._lock:
            self._require_shards()
            self._links.add_link(a, b)

    def reset(self) -> None:
        """Forget every fact and link.

        Raises:
            ShardLostError: a shard is lost, now or before.
        """
        with self._lock:
            self._require_shards()
            try:
                counts = self._gather([self._on_shard(s, _reset) for s in range(len(self._workers))])
            except ShardLostError:
                raise
            except Exception as error:
                self._lost = f"a reset failed part way ({error!r})"
                raise ShardLostError(self._lost) from error
            if any(counts):
                self._lost = f"shards hold {counts} facts after a reset"
                raise ShardLostError(self._lost)
            self._links.reset()
            self._rows = [0] * len(self._workers)
            self._size = 0

    def reason(self, query: Any, hops: int) -> list[tuple[int, float]]:
        """As ``MultiHopReasoner.reason``.

        Raises:
            IndexError: a link followed leads to a fact that does not exist.
            ValueError: a score of the facts reached is NaN.
            ShardLostError: a shard is lost, now or before.
        """
        query, hops = self._links.reason_arguments(query, hops)
        query = np.asarray(query)
        with self._lock:
            self._require_shards()
            hop0 = sorted((int(self._global_rows(shard, np.asarray(k))), score)
                          for shard, admitted in self._ask(_answer, "direct", query).items()
                          for k, score in admitted)
            reached = [g for g, _ in hop0]
            scores = [score for _, score in hop0]
            frontier = 0
            for _ in range(hops):
                if frontier == len(reached):
                    break
                found = self._links.round(np.asarray(reached, np.int64), frontier, self._size)
                frontier = len(reached)
                reached += found
                scores += self._scores_of(query, found)
            ranked: list[tuple[int, float]] = self._links.ranked(np.asarray(reached, np.int64),
                                                                 np.asarray(scores, np.float32), self._size)
            return ranked

    def _scores_of(self, query: np.ndarray, facts: list[int]) -> list[Any]:
        # Each fact's score, from the shards holding them, one call each.
        held: dict[int, list[int]] = {}
        for position, g in enumerate(facts):
            held.setdefault(self._locate(g)[0], []).append(position)
        asked = {s: (np.asarray([self._locate(facts[p])[1] for p in positions], np.int64),)
                 for s, positions in held.items()}
        scores: list[Any] = [None] * len(facts)
        for shard, shard_scores in self._ask(_fact_scores, query, only=asked).items():
            for position, score in zip(held[shard], shard_scores):
                scores[position] = score
        return scores


def _as_read(rows: Any, reader: ItemMemory) -> np.ndarray:
    # The rows that `reader` was given, as one (n, dim) array to deal out to
    # the shards. A numeric numpy array travels as it is, each shard reading
    # its elements as ItemMemory read the original; anything else as the
    # float32 rows the reader made of it, which every shard reads back
    # unchanged.
    if type(rows) is np.ndarray and rows.dtype.kind in "biuf":
        return rows.reshape(len(reader), reader.dim)
    table = np.empty((len(reader), reader.dim), np.float32)
    for r in range(len(reader)):
        table[r] = np.asarray(reader.get(r))
    return table


def _read_queries(queries: Any, dim: int, call: Any) -> np.ndarray:
    # The queries as one (Q, dim) array, read as ItemMemory reads rows; what
    # refuses them is `call`, an ItemMemory method given them on an empty
    # memory, so that the refusal names them as that method does.
    reader = ItemMemory(dim)
    try:
        reader.add(queries)
    except Exception:
        call(ItemMemory(dim))
        raise
    return _as_read(queries, reader)


def _bipolar_arguments(n: Any, dim: int, seed: Any, start: Any) -> tuple[int, int, int]:
    # n, seed and start converted, and refused, by random_bipolar itself, in
    # its order: the calls below make at most one row, and a call that
    # refuses makes none.
    try:
        count = operator.index(n)
    except TypeError:
        count = -1
    if not 0 <= count < 2**64:
        random_bipolar(n, 1, 0)
        raise ValueError(f"argument 'n': {n!r} is no row count")  # not reached: random_bipolar refuses it
    random_bipolar(0, dim, seed, start=start)
    seed, start = operator.index(seed), operator.index(start)
    if count > 0:
        try:
            # The last row is the first to leave the generator's range.
            random_bipolar(1, dim, seed, start=start + count - 1)
        except (ValueError, OverflowError):
            random_bipolar(count, dim, seed, start=start)  # refuses the range before making a row
            raise
    return count, seed, start


def _unpacked(payload: Any) -> Any:
    if isinstance(payload, tuple):  # sign bits of bipolar rows, and their length
        bits, dim = payload
        return np.where(np.unpackbits(bits, axis=1, count=dim).astype(bool), np.float32(-1), np.float32(1))
    return payload


def _packed(table: np.ndarray) -> Any:
    # Exactly bipolar rows as sign bits (1 for -1.0): a 32nd of the bytes of
    # float32 rows, unpacked on the worker to the same floats.
    if table.size and bool(np.all((table == 1) | (table == -1))):
        return np.packbits(table < 0, axis=1), table.shape[1]
    return table


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
    workers in turn. Answers come back as the engine gives them
    (:class:`tessarin.Array` results pickle with their elements out of band).

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


def _answer_calls(engine: Any, method: str, each: list[Any], common: tuple[Any, ...]) -> list[Any]:
    ask = getattr(engine, method)
    return [ask(a, *common) for a in each]
