"""Sharded search on local worker processes against one ItemMemory, in one run.

    python bench/bench_sharded.py                      # 10**7 rows at dim 1,024 over 4 workers
    python bench/bench_sharded.py --rows 1000000       # a lighter run

The sharded memory's rows are made on the workers from a seed and row ranges
(nothing but the ranges crosses the network); the single memory holds the same
rows in this process and is searched from one thread. Reported: time to load,
each worker's memory growth against 1.2 x (its rows x 128 B) + 64 MiB, search
latency for 1 and 16 bipolar queries (median of the repeats), and the ratios.
Both answers are checked to be the same bytes.
"""
from __future__ import annotations

import argparse
import statistics
import tempfile
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


def median_seconds(call, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10**7)
    parser.add_argument("--dim", type=int, default=1024)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    rows, dim = args.rows, args.dim
    queries = {q: np.asarray(tessarin.random_bipolar(q, dim, QUERY_SEED)) for q in (1, 16)}

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

        for q, batch in queries.items():
            got, want = memory.search(batch, args.k), one.search(batch, args.k)
            assert np.asarray(got[0]).tobytes() == np.asarray(want[0]).tobytes()
            assert np.asarray(got[1]).tobytes() == np.asarray(want[1]).tobytes()
            sharded = median_seconds(lambda: memory.search(batch, args.k), args.repeats)
            single = median_seconds(lambda: one.search(batch, args.k), args.repeats)
            print(f"{q:2d} queries, k={args.k}: sharded {sharded * 1e3:8.1f} ms, one memory {single * 1e3:8.1f} ms; "
                  f"throughput ratio {single / sharded:.2f}x (answers the same bytes)")
        memory.close()


if __name__ == "__main__":
    main()
