"""Saving, loading and sharing one engine across threads, in one run.

- save: ItemMemory.save of bipolar rows at dim 1,024 beside a plain write
  and fsync of the same number of bytes to the same folder (the floor of any
  durable save); 3 x 10^6 rows are the bytes of 10^6 causal records (a cause,
  an effect and a time row each).
- load: ItemMemory.load of that file from the page cache.
- size: the file against its rows stored as bits.
- threads: one bipolar query at a time, ItemMemory.search on one memory of
  10^5 rows from one thread and from two.

    PYTHONPATH=<build dir> python3 bench/bench_persistence.py [--rows N] [--dir D]

Times are the best of several runs; ratios are formed in this run only.
"""
import argparse
import os
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
    parser.add_argument("--rows", type=int, default=3_000_000)
    parser.add_argument("--search-rows", type=int, default=100_000)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    args = parser.parse_args()

    folder = args.dir or tempfile.mkdtemp(prefix="tessarin-bench-")
    target = os.path.join(folder, "memory.snap")
    floor_path = os.path.join(folder, "plain.bin")

    memory = filled_memory(args.rows)
    memory.save(target)
    size = os.path.getsize(target)
    as_bits = args.rows * DIM // 8
    t_save = best(lambda: memory.save(target))
    t_plain = best(lambda: plain_write(floor_path, size))
    os.remove(floor_path)
    print(f"save  {args.rows} rows x {DIM}: {t_save:.3f} s; plain write+fsync of {size} bytes: {t_plain:.3f} s;"
          f" ratio {t_save / t_plain:.2f} (target <= 1.3)")
    t_load = best(lambda: tessarin.ItemMemory.load(target))
    print(f"load  from the page cache: {t_load:.3f} s (target <= 1 s)")
    print(f"size  {size} bytes; rows as bits {as_bits}; ratio {size / as_bits:.4f} (target <= 1.1)")
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
