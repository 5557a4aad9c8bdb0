"""Saving, loading and sharing one engine across threads, in one run.

- save: CausalMemory.save of 10^6 bipolar records at dim 1,024 (a cause, an
  effect and a time row each), and ItemMemory.save of as many rows, each
  beside a plain write and fsync of the same number of bytes to the same
  folder (the floor of any durable save). Saves and plain writes alternate,
  each save is divided by the plain write next to it, and the median and range
  of those ratios are reported, so that a burst of load from elsewhere moves
  one pair, not the figure. On a virtual machine that hands free memory back
  to its host, taking memory that has lain free costs a few microseconds a
  page, and whichever step has to take it (a save, a plain write to a new
  file, a load) pays; the range shows such a pair.
- load: CausalMemory.load and ItemMemory.load of those files from the page
  cache, each in a fresh process beside one that reads the same file into a
  new buffer (what any load that keeps state of the file's size in memory must
  at least do), alternating, with the median and range of the ratios; and the
  growth of the loading process's peak memory against the file's size.
- size: each file against its rows stored as bits.
- threads: one bipolar query at a time, ItemMemory.search on one memory of
  10^5 rows from one thread and from two.

    PYTHONPATH=<build dir> python3 bench/bench_persistence.py [--records N] [--rows N] [--dir D]

Times are the best of several runs; ratios are formed in this run only.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import tessarin

DIM = 1024
BATCH = 50_000


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


# Loads `path` with `cls.load`, or reads it whole when `cls` is "read", and
# prints the wall and CPU time and the growth of the process's peak memory.
# On a shared machine a wall time well above its CPU time was spent waiting
# for a core.
# (The peak is the process's VmHWM: getrusage's maxrss would start from this
# process's own, which holds a large engine when the child is forked.)
_LOAD_CHILD = """
import json, sys, time
import tessarin
path, cls = sys.argv[1], sys.argv[2]
def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
before = peak()
wall, cpu = time.perf_counter(), time.process_time()
kept = open(path, "rb").read() if cls == "read" else getattr(tessarin, cls).load(path)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
print(json.dumps({"wall": wall, "cpu": cpu, "peak": peak() - before}))
"""


def load_in_child(cls, path):
    out = subprocess.run([sys.executable, "-c", _LOAD_CHILD, path, cls], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def report_load(cls, path, pairs=5):
    """cls.load(path) against reading the file into a new buffer, pair by pair, each in a fresh process."""
    size = os.path.getsize(path)
    loads, reads = [], []
    for _ in range(pairs):
        loads.append(load_in_child(cls, path))
        reads.append(load_in_child("read", path))
    ratios = sorted(a["wall"] / b["wall"] for a, b in zip(loads, reads))
    best_load = min(loads, key=lambda r: r["wall"])
    peak = sorted(r["peak"] for r in loads)[pairs // 2]
    print(f"load  {cls} from the page cache: best {best_load['wall']:.3f} s, CPU {best_load['cpu']:.3f} s"
          f" (target <= 1 s); file read into a new buffer best {min(r['wall'] for r in reads):.3f} s; ratio median"
          f" {ratios[len(ratios) // 2]:.2f} (range {ratios[0]:.2f}-{ratios[-1]:.2f}, {pairs} pairs); peak memory"
          f" growth {peak / size:.2f}x the file")


def plain_write(path, size):
    """Writes size bytes in 1 MiB pieces, fsyncs, closes: what a save cannot beat."""
    piece = os.urandom(1 << 20)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        left = size
        while left > 0:
            left -= os.write(fd, piece[: min(left, len(piece))])
        os.fsync(fd)
    finally:
        os.close(fd)


def save_against_plain(engine, target, floor_path, pairs=5):
    """Ratios of engine.save(target) to plain_write of the file's size, pair by pair."""
    engine.save(target)
    size = os.path.getsize(target)
    plain_write(floor_path, size)
    ratios, saves, plains = [], [], []
    for _ in range(pairs):
        saves.append(best(lambda: engine.save(target), repeat=1))
        plains.append(best(lambda: plain_write(floor_path, size), repeat=1))
        ratios.append(saves[-1] / plains[-1])
    os.remove(floor_path)
    ratios.sort()
    return size, min(saves), min(plains), ratios


def report_save(name, rows, size, t_save, t_plain, ratios):
    print(f"save  {name}: {rows} rows x {DIM}, {size} bytes: best {t_save:.3f} s; plain write+fsync best"
          f" {t_plain:.3f} s; ratio median {ratios[len(ratios) // 2]:.2f} (range {ratios[0]:.2f}-{ratios[-1]:.2f},"
          f" {len(ratios)} pairs; target <= 1.3)")


def filled_causal_memory(records):
    memory = tessarin.CausalMemory(DIM)
    for first in range(0, records, BATCH):
        n = min(BATCH, records - first)
        causes, effects, times = (np.asarray(tessarin.random_bipolar(n, DIM, seed=s, start=first)) for s in (1, 2, 3))
        for i in range(n):
            memory.store(causes[i], effects[i], times[i])
    return memory


def filled_memory(rows):
    memory = tessarin.ItemMemory(DIM)
    for first in range(0, rows, BATCH):
        memory.add(tessarin.random_bipolar(min(BATCH, rows - first), DIM, seed=7, start=first))
    return memory


def throughput(memory, threads, seconds=2.0):
    """search calls per second with one bipolar query each, over `threads` threads."""
    queries = [np.asarray(tessarin.random_bipolar(1, DIM, seed=100 + t)) for t in range(threads)]
    counts = [0] * threads
    stop = threading.Event()
    start = threading.Barrier(threads + 1)

    def work(t):
        start.wait()
        while not stop.is_set():
            memory.search(queries[t], 10)
            counts[t] += 1

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for p in pool:
        p.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for p in pool:
        p.join()
    return sum(counts) / (time.perf_counter() - began)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--rows", type=int, default=3_000_000)
    parser.add_argument("--search-rows", type=int, default=100_000)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    args = parser.parse_args()

    folder = args.dir or tempfile.mkdtemp(prefix="tessarin-bench-")
    target = os.path.join(folder, "memory.snap")
    floor_path = os.path.join(folder, "plain.bin")

    causal = filled_causal_memory(args.records)
    size, t_save, t_plain, ratios = save_against_plain(causal, target, floor_path)
    report_save("CausalMemory", 3 * args.records, size, t_save, t_plain, ratios)
    report_load("CausalMemory", target)
    as_bits = 3 * args.records * DIM // 8
    print(f"size  {size} bytes; rows as bits {as_bits}; ratio {size / as_bits:.4f} (target <= 1.1)")
    os.remove(target)
    del causal

    memory = filled_memory(args.rows)
    size, t_save, t_plain, ratios = save_against_plain(memory, target, floor_path)
    report_save("ItemMemory", args.rows, size, t_save, t_plain, ratios)
    report_load("ItemMemory", target)
    as_bits = args.rows * DIM // 8
    print(f"size  {size} bytes; rows as bits {as_bits}; ratio {size / as_bits:.4f}")
    os.remove(target)
    del memory

    searched = filled_memory(args.search_rows)
    one = max(throughput(searched, 1) for _ in range(2))
    two = max(throughput(searched, 2) for _ in range(2))
    print(f"search {args.search_rows} rows, one query a call: 1 thread {one:.1f}/s, 2 threads {two:.1f}/s;"
          f" ratio {two / one:.2f} (target >= 1.7)")
    if args.dir is None:
        os.rmdir(folder)


if __name__ == "__main__":
    main()
