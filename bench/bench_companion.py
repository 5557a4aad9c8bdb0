"""The companion package against the numpy a user would write, in one run.

ItemMemory.search over bipolar rows at dim 1,024 beside: a streaming read of
the same rows kept as packed bits (the floor: one pass over the bytes, one
thread), numpy over packed bits (XOR and np.bitwise_count, which is exact for
bipolar rows and queries only), and BLAS float32 matrix products on one thread
and on the default threads (whose sums are not the ordered sum, so their
scores differ from resonance). A float32 query is set against the engines'
own float-probe scan of sign-bit rows at the same size (build/dev/bench_scan,
run from here; CPU time on both sides, which a busy machine cannot inflate).
Also: memory per stored bipolar row, codebook hashing against the row
generator alone, np.asarray on results, and the encoding of docs/digits.md
(scikit-learn's digits, every image of the page's split in one call,
codebooks included) with tessarin.bind_bundle against the same encoding in
numpy (per image, the 64 products summed), in R rounds as well.

    PYTHONPATH=<build dir> python3 bench/bench_companion.py [--rows N] [--rounds R]

Each timing is the best of several calls; the search timings are taken in R
rounds, interleaved with their baselines, in wall-clock and in CPU time (the
machine may be shared: CPU time is what another process cannot inflate), and
each ratio is reported as the median of its per-round ratios with the range
over rounds.
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

import tessarin
import tessarin_hdc as hdc

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # BLAS thread counts cannot be set: report the default only
    threadpool_limits = None


def best(fn, repeat=5, clock=time.perf_counter):
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return min(times)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def line(name, seconds, per=None, note=""):
    extra = f"  {seconds / per * 1e9:8.2f} ns/{note}" if per else (f"  {note}" if note else "")
    print(f"{name:58s} {seconds * 1e3:10.2f} ms{extra}")


def spread(values, fmt="{:.2f}"):
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def engines_float_probe_ms(rows):
    """CPU ms of the engines' float-probe scan of `rows` sign-bit rows at dim
    1,024, from the scan benchmark of the same build (None without it)."""
    build = Path(tessarin.__file__).resolve().parent.parent
    exe = build / "bench_scan"
    if not exe.exists():
        return None
    out = subprocess.run([str(exe), f"--benchmark_filter=BM_ScanStore/[0-9]+/1/1024/{rows}/0$",
                          "--benchmark_format=json", "--benchmark_repetitions=1"],
                         capture_output=True, text=True, check=False)
    try:
        runs = json.loads(out.stdout)["benchmarks"]
    except (ValueError, KeyError):
        return None
    # The widest target measured is the one the package dispatches to.
    return runs[-1]["cpu_time"] if runs else None


def digits_encoding(rounds):
    """docs/digits.md's codebooks and encoding of all 1,797 images, by the
    package and by numpy, seconds per image in each round (None without
    scikit-learn)."""
    try:
        from sklearn.datasets import load_digits
    except ImportError:
        return None
    images = load_digits().data.astype(np.intp)
    dim = 10_000

    def codebooks():
        positions = np.asarray(tessarin.hash_strings([f"pixel {k}" for k in range(64)], dim))
        level = np.tile(np.asarray(tessarin.hash_strings(["intensity"], dim)), (17, 1))
        for k in range(17):
            level[k, : k * dim // 16] *= -1
        return positions, level

    def package():
        positions, level = codebooks()
        return tessarin.bind_bundle(positions, level, images, sign=False)

    def numpy_own():
        positions, level = codebooks()
        return np.stack([(positions * level[image]).sum(axis=0) for image in images])

    # Products of +-1 and sums of small integers are exact in any order, so
    # the two encodings must agree exactly.
    assert np.array_equal(np.asarray(package()), numpy_own())
    times = {"package": [], "numpy": [], "package_cpu": [], "numpy_cpu": []}
    for _ in range(rounds):
        for name, fn in (("package", package), ("numpy", numpy_own)):
            times[name].append(best(fn, 3) / len(images))
            times[name + "_cpu"].append(best(fn, 3, clock=time.process_time) / len(images))
    return len(images), times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10**6)
    parser.add_argument("--blas-rows", type=int, default=2 * 10**5)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    n, dim, batch = args.rows, 1024, 10**4

    # ---- memory: rows added in batches, each batch released -----------------
    memory = tessarin.ItemMemory(dim)
    before = rss_bytes()
    for start in range(0, n, batch):
        memory.add(tessarin.random_bipolar(min(batch, n - start), dim, seed=1, start=start))
    grown = rss_bytes() - before
    print(f"RSS growth per bipolar row: {grown / n:.1f} bytes (bits alone: {dim / 8:.0f}; target <= 140)")

    # ---- the same rows as packed bits, for numpy -----------------------------
    packed = np.empty((n, dim // 64), dtype=np.uint64)
    for start in range(0, n, batch):
        rows = np.asarray(tessarin.random_bipolar(min(batch, n - start), dim, seed=1, start=start))
        packed[start:start + len(rows)] = np.packbits(rows < 0, axis=1, bitorder="little").view(np.uint64)
    queries = np.asarray(tessarin.random_bipolar(16, dim, seed=2))
    qpacked = np.packbits(queries < 0, axis=1, bitorder="little").view(np.uint64)

    def numpy_bits(q):
        differing = np.bitwise_count(packed ^ qpacked[q]).sum(axis=1, dtype=np.int64)
        return (dim - 2 * differing) / dim

    fq = queries[:1] * np.float32(0.5)
    fq[0, 0] = 0.25
    calls = {
        "stream": (lambda: np.bitwise_or.reduce(packed, axis=None), 5),
        "one": (lambda: memory.search(queries[:1], 10), 5),
        "sixteen": (lambda: memory.search(queries, 10), 3),
        "float": (lambda: memory.search(fq, 10), 3),
    }
    rounds = {f"{name}{clock}": [] for name in calls for clock in ("", "_cpu")}
    for _ in range(args.rounds):
        for name, (fn, repeat) in calls.items():
            rounds[name].append(best(fn, repeat))
            rounds[name + "_cpu"].append(best(fn, repeat, clock=time.process_time))
    np_one = best(lambda: numpy_bits(0), repeat=3)
    np_sixteen = best(lambda: [numpy_bits(q) for q in range(16)], repeat=1)
    probe_ms = engines_float_probe_ms(n)
    stream, one, sixteen = (min(rounds[k]) for k in ("stream", "one", "sixteen"))
    print(f"\nsearch over {n} bipolar rows at dim {dim} (best of {args.rounds} rounds)")
    line("streaming read of the packed rows (one thread)", stream, n, "row")
    line("ItemMemory.search, 1 bipolar query", one, n, "row")
    line("numpy packed bits, 1 query", np_one, n, "row")
    line("ItemMemory.search, 16 bipolar queries in one call", sixteen, n * 16, "row/query")
    line("numpy packed bits, 16 queries", np_sixteen, n * 16, "row/query")
    line("ItemMemory.search, 1 float32 query", min(rounds["float"]), n, "row")
    line("ItemMemory.search, 1 float32 query (CPU time)", min(rounds["float_cpu"]), n, "row")
    if probe_ms is not None:
        line("engines' float-probe scan, bench_scan (CPU time)", probe_ms / 1e3, n, "row")

    print("\ntarget ratios, median over rounds (range):")
    for clock, label in (("", "wall"), ("_cpu", "CPU")):
        print(f"  search(1 bipolar) / streaming read, {label:4s}        "
              f"{spread([o / s for o, s in zip(rounds['one' + clock], rounds['stream' + clock])])}   target <= 1.5")
    for clock, label in (("", "wall"), ("_cpu", "CPU")):
        print(f"  search(16 bipolar), ns per row and query, {label:4s}  "
              f"{spread([t / n / 16 * 1e9 for t in rounds['sixteen' + clock]])}   target <= 2")
    if probe_ms is not None:
        print(f"  search(1 float32) / engines' float probe, CPU    "
              f"{spread([t * 1e3 / probe_ms for t in rounds['float_cpu']])}   target <= 1")
    print(f"  numpy bits(1) / search(1) {np_one / one:.1f}   numpy bits(16) / search(16) {np_sixteen / sixteen:.1f}")

    m = min(args.blas_rows, n)
    floats = np.empty((m, dim), dtype=np.float32)
    for start in range(0, m, batch):
        floats[start:start + batch] = np.asarray(tessarin.random_bipolar(min(batch, m - start), dim, 1, start))
    sub = tessarin.ItemMemory(dim)
    sub.add(floats)
    sub16 = best(lambda: sub.search(queries, 10), repeat=3)
    print(f"\nBLAS float32 over {m} rows (float rows take 4 bytes a component)")
    line("ItemMemory.search, 16 bipolar queries", sub16, m * 16, "row/query")
    if threadpool_limits is not None:
        with threadpool_limits(1):
            blas1 = best(lambda: queries @ floats.T, repeat=3)
        line("BLAS float32, 16 queries, one thread", blas1, m * 16, "row/query")
        print(f"  BLAS one thread / search(16)  {blas1 / sub16:.1f}")
    blasd = best(lambda: queries @ floats.T, repeat=3)
    line("BLAS float32, 16 queries, default threads", blasd, m * 16, "row/query")
    print(f"  BLAS default threads / search(16)  {blasd / sub16:.1f}")
    del floats, sub

    # ---- codebooks ------------------------------------------------------------
    texts = [f"name {i}" for i in range(200)]
    hashed = best(lambda: tessarin.hash_strings(texts, 10_000))
    generated = best(lambda: tessarin.random_bipolar(200, 10_000, seed=3))
    per_text = best(lambda: [hdc.hv_hash_string(t, 10_000) for t in texts], repeat=2)
    print("\ncodebook of 200 names at dim 10,000")
    line("tessarin.hash_strings", hashed)
    line("tessarin.random_bipolar (the row generator alone)", generated)
    line("tessarin_hdc.hv_hash_string per name (lists)", per_text)
    print(f"ratio hash_strings / row generator: {hashed / generated:.2f}")

    # ---- arrays out -------------------------------------------------------------
    small = tessarin.random_bipolar(1, 10**4, seed=1)
    large = tessarin.random_bipolar(1, 10**6, seed=1)
    view = memoryview(np.ones(10**6, dtype=np.float32))
    t_small = best(lambda: np.asarray(small), repeat=2000)
    t_large = best(lambda: np.asarray(large), repeat=2000)
    t_view = best(lambda: np.asarray(view), repeat=2000)
    print("\nnp.asarray of a result")
    print(f"10^6 / 10^4 elements: {t_large / t_small:.2f}   result / memoryview: {t_large / t_view:.2f}   "
          f"shares memory: {np.shares_memory(np.asarray(large), np.asarray(large))}")

    # ---- the digits page's encoding ----------------------------------------------
    digits = digits_encoding(args.rounds)
    if digits is None:
        print("\ndigits encoding: scikit-learn is not installed")
    else:
        count, times = digits
        print(f"\ndigits encoding, all {count} images in one call, codebooks included, ms per image, "
              f"median over rounds (range)")
        for clock, label in (("", "wall"), ("_cpu", "CPU")):
            ours, theirs = times["package" + clock], times["numpy" + clock]
            print(f"  tessarin.bind_bundle, {label:4s}  {spread([t * 1e3 for t in ours], '{:.3f}')}"
                  f"   numpy: {spread([t * 1e3 for t in theirs], '{:.3f}')}"
                  f"   numpy / package: {spread([n / p for n, p in zip(theirs, ours)], '{:.1f}')}   target <= 0.1 ms")
    print(f"peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
