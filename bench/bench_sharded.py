"""Sharded search on local worker processes against one ItemMemory, in one run.

    python bench/bench_sharded.py                      # 10**7 rows at dim 1,024 over 4 workers
    python bench/bench_sharded.py --rows 1000000       # a lighter run

The sharded memory's rows are made on the workers from a seed and row ranges
(nothing but the ranges crosses the network); the single memory holds the same
rows in this process and is searched from one thread. Reported:

  - time to load, and each worker's memory growth against 1.2 x (its rows x
    128 B) + 64 MiB;
  - search latency for 1 and 16 bipolar queries, sharded and single, timed
    in alternation so that both meet the same load (medians of the repeats),
    and the throughput ratio single / sharded; both answers are checked to be
    the same bytes;
  - where the sharded time goes: the search of an empty sharded memory (the
    round trip to every shard and the merge, with nothing to scan), each
    shard's own scan run alone on its worker, and every shard scanning at
    once, in place, as a search makes them scan but without its calls;
  - the ceiling of any two-core arrangement: the one memory searched by two
    threads at once, two batches in the time of how many single ones;
  - the load average, and the share of the machine's CPU time that went to
    processes other than this benchmark's while it timed searches: the
    machine is shared, and other work there takes cores from the workers.
    On a shared machine, measure several rounds (--rounds), each started
    when the cores are idle (--wait-for-quiet), and read the quiet ones.
"""
from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import threading
import time

import numpy as np
import psutil
from distributed import Client, LocalCluster

import tessarin
from tessarin.dask import ShardedItemMemory

SEED = 2024
QUERY_SEED = 7
CHUNK = 10_000
MIB = 2**20


def rss() -> int:
    return psutil.Process().memory_info().rss


def worker_rss(dask_worker=None) -> int:  # noqa: ARG001 - client.run passes the worker
    return psutil.Process().memory_info().rss


def shard_scan_seconds(key, queries, k, repeats, dask_worker=None) -> float:
    # The shard searched in place on its worker, as its actor searches it.
    memory = dask_worker.state.actors[key].memory
    return median_seconds(lambda: memory.search(queries, k), repeats)


def shard_scans_at_once(keys, queries, k, repeats, dask_worker=None) -> float:
    # Run on every worker at once: the shards scanning side by side, as a
    # search makes them, without the calls that carry the search.
    [key] = [key for key in keys if key in dask_worker.state.actors]
    return shard_scan_seconds(key, queries, k, repeats, dask_worker)


def median_seconds(call, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def alternating_medians(calls, repeats: int) -> list[float]:
    """The median time of each call, the calls taking turns."""
    times: list[list[float]] = [[] for _ in calls]
    for _ in range(repeats):
        for call, spent in zip(calls, times):
            start = time.perf_counter()
            call()
            spent.append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


class OthersLoad:
    """The share of all cores that processes outside this benchmark (this
    process and its children, the workers) kept busy between start and stop."""

    def __init__(self) -> None:
        self.me = psutil.Process()

    def _ours(self) -> float:
        total = 0.0
        for p in [self.me, *self.me.children(recursive=True)]:
            try:
                t = p.cpu_times()
                total += t.user + t.system
            except psutil.NoSuchProcess:
                pass
        return total

    def __enter__(self) -> OthersLoad:
        self.wall, self.busy, self.ours = time.monotonic(), self._busy(), self._ours()
        return self

    def __exit__(self, *exc: object) -> None:
        wall = time.monotonic() - self.wall
        others = (self._busy() - self.busy) - (self._ours() - self.ours)
        self.share = max(0.0, others) / (wall * psutil.cpu_count())

    @staticmethod
    def _busy() -> float:
        t = psutil.cpu_times()
        return t.user + t.nice + t.system + t.irq + t.softirq + getattr(t, "steal", 0.0)


def two_thread_ceiling(one: tessarin.ItemMemory, batch: np.ndarray, k: int, repeats: int) -> float:
    """Batches per unit of time with two threads searching at once, over one
    thread's: what two cores give a scan that splits perfectly."""
    def two() -> None:
        threads = [threading.Thread(target=one.search, args=(batch, k)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    single, double = alternating_medians([lambda: one.search(batch, k), two], repeats)
    return 2 * single / double


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10**7)
    parser.add_argument("--dim", type=int, default=1024)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--rounds", type=int, default=1, help="times every search is measured, once loaded")
    parser.add_argument("--wait-for-quiet", type=float, default=0, metavar="SECONDS",
                        help="before each round, wait up to this long for other processes to leave the cores idle")
    args = parser.parse_args()
    rows, dim, k = args.rows, args.dim, args.k
    queries = {q: np.asarray(tessarin.random_bipolar(q, dim, QUERY_SEED)) for q in (1, 16)}
    print(f"{psutil.cpu_count()} cores; load average at the start {os.getloadavg()[0]:.2f}")

    before = rss()
    start = time.perf_counter()
    one = tessarin.ItemMemory(dim)
    for first in range(0, rows, CHUNK):
        one.add(tessarin.random_bipolar(min(CHUNK, rows - first), dim, SEED, start=first))
    single_load = time.perf_counter() - start
    single_growth = rss() - before
    print(f"one ItemMemory: {rows:,} rows at dim {dim:,} loaded in {single_load:.1f} s, "
          f"{single_growth / rows:.1f} B per row")

    with tempfile.TemporaryDirectory() as scratch, \
            LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None, memory_limit=0, local_directory=scratch) as cluster, \
            Client(cluster) as client:
        idle = client.run(worker_rss)
        start = time.perf_counter()
        memory = ShardedItemMemory(client, dim, shards=args.workers)
        memory.add_bipolar(rows, SEED)
        sharded_load = time.perf_counter() - start
        loaded = client.run(worker_rss)
        per_worker = rows / args.workers
        budget = 1.2 * per_worker * 128 + 64 * MIB
        print(f"sharded over {args.workers} workers: loaded in {sharded_load:.1f} s "
              f"({single_load / sharded_load:.2f}x one memory's load)")
        for address in sorted(loaded):
            growth = loaded[address] - idle[address]
            print(f"  {address}: RSS grew {growth / MIB:,.0f} MiB for {per_worker:,.0f} rows "
                  f"({growth / per_worker:.1f} B per row; budget {budget / MIB:,.0f} MiB: "
                  f"{'within' if growth <= budget else 'OVER'})")

        empty = ShardedItemMemory(client, dim, shards=args.workers)
        for q, batch in queries.items():
            got, want = memory.search(batch, k), one.search(batch, k)
            assert np.asarray(got[0]).tobytes() == np.asarray(want[0]).tobytes()
            assert np.asarray(got[1]).tobytes() == np.asarray(want[1]).tobytes()
        print("answers of the sharded and the one memory: the same bytes")
        for r in range(args.rounds):
            if args.wait_for_quiet:
                print(f"round {r + 1}: other processes took {wait_for_quiet(args.wait_for_quiet):.0%} of the cores "
                      "just before it")
            for q, batch in queries.items():
                search_round(client, memory, one, empty, batch, k, args.repeats)
            with OthersLoad() as others:
                ceiling = two_thread_ceiling(one, queries[16], k, args.repeats)
            print(f"   two threads searching the one memory at once: {ceiling:.2f}x one thread's throughput "
                  f"(16 queries; others took {others.share:.0%}); load average {os.getloadavg()[0]:.2f}")
        empty.close()
        memory.close()


def search_round(client, memory, one, empty, batch, k, repeats) -> None:
    with OthersLoad() as others:
        sharded, single, round_trip = alternating_medians(
            [lambda: memory.search(batch, k), lambda: one.search(batch, k), lambda: empty.search(batch, k)], repeats)
    scans = [client.run(shard_scan_seconds, shard.key, batch, k, repeats, workers=[w])[w]
             for shard, w in zip(memory._shards, memory.workers)]
    together = client.run(shard_scans_at_once, [shard.key for shard in memory._shards], batch, k, repeats)
    print(f"{len(batch):5d} queries, k={k}: sharded {sharded * 1e3:7.1f} ms, one memory {single * 1e3:7.1f} ms; "
          f"throughput ratio {single / sharded:.2f}x (others took {others.share:.0%} of the cores)")
    print(f"      round trip with nothing to scan {round_trip * 1e3:.1f} ms; each shard's scan alone "
          f"{', '.join(f'{s * 1e3:.1f}' for s in scans)} ms (their sum over 2 cores {sum(scans) / 2 * 1e3:.1f} ms), "
          f"all at once {max(together.values()) * 1e3:.1f} ms")


def wait_for_quiet(seconds: float, share: float = 0.1) -> float:
    """Waits until other processes take less than `share` of the cores over
    two seconds, or `seconds` have passed; returns the last share seen."""
    deadline = time.monotonic() + seconds
    while True:
        with OthersLoad() as others:
            time.sleep(2)
        if others.share < share or time.monotonic() > deadline:
            return others.share


if __name__ == "__main__":
    main()
