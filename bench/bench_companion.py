"""The companion package against the numpy a user would write, in one run.

ItemMemory.search over bipolar rows at dim 1,024 beside: a streaming read of
the same rows kept as packed bits (the floor: one pass over the bytes, one
thread), numpy over packed bits (XOR and np.bitwise_count, which is exact for
bipolar rows and queries only), and BLAS float32 matrix products on one thread
and on the default threads (whose sums are not the ordered sum, so their
scores differ from resonance). Also: memory per stored bipolar row, codebook
hashing against the row generator alone, np.asarray on results, and the
digits classifier of docs/digits.md end to end.

    PYTHONPATH=<build dir> python3 bench/bench_companion.py [--rows N]

Times are the best of several runs; ratios are formed in this run only.
"""
import argparse
import os
import resource
import time

import numpy as np

import tessarin
import tessarin_hdc as hdc

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # BLAS thread counts cannot be set: report the default only
    threadpool_limits = None


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def line(name, seconds, per=None, note=""):
    extra = f"  {seconds / per * 1e9:8.2f} ns/{note}" if per else (f"  {note}" if note else "")
    print(f"{name:58s} {seconds * 1e3:10.2f} ms{extra}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10**6)
    parser.add_argument("--blas-rows", type=int, default=2 * 10**5)
    args = parser.parse_args()
    n, dim, batch = args.rows, 1024, 10**4

    # ---- memory: rows added in batches, each batch released -----------------
    memory = tessarin.ItemMemory(dim)
    before = rss_bytes()
    for start in range(0, n, batch):
        memory.add(tessarin.random_bipolar(min(batch, n - start), dim, seed=1, start=start))
    grown = rss_bytes() - before
    print(f"RSS growth per bipolar row: {grown / n:.1f} bytes (bits alone: {dim / 8:.0f})")

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

    stream = best(lambda: np.bitwise_or.reduce(packed, axis=None))
    one = best(lambda: memory.search(queries[:1], 10))
    sixteen = best(lambda: memory.search(queries, 10), repeat=3)
    np_one = best(lambda: numpy_bits(0), repeat=3)
    np_sixteen = best(lambda: [numpy_bits(q) for q in range(16)], repeat=1)
    fq = queries[:1] * np.float32(0.5)
    fq[0, 0] = 0.25
    float_one = best(lambda: memory.search(fq, 10), repeat=3)
    print(f"\nsearch over {n} bipolar rows at dim {dim}")
    line("streaming read of the packed rows (one thread)", stream, n, "row")
    line("ItemMemory.search, 1 bipolar query", one, n, "row")
    line("numpy packed bits, 1 query", np_one, n, "row")
    line("ItemMemory.search, 16 bipolar queries in one call", sixteen, n * 16, "row/query")
    line("numpy packed bits, 16 queries", np_sixteen, n * 16, "row/query")
    line("ItemMemory.search, 1 float32 query", float_one, n, "row")
    print(f"ratios: search(1) / stream {one / stream:.2f}  numpy bits(1) / search(1) {np_one / one:.1f}  "
          f"numpy bits(16) / search(16) {np_sixteen / sixteen:.1f}")

    m = min(args.blas_rows, n)
    floats = np.empty((m, dim), dtype=np.float32)
    for start in range(0, m, batch):
        floats[start:start + batch] = np.asarray(tessarin.random_bipolar(min(batch, m - start), dim, 1, start))
    mine = best(lambda: tessarin.ItemMemory(dim), repeat=1)  # noqa: F841
    sub = tessarin.ItemMemory(dim)
    sub.add(floats)
    sub16 = best(lambda: sub.search(queries, 10), repeat=3)
    print(f"\nBLAS float32 over {m} rows (float rows take 4 bytes a component)")
    line("ItemMemory.search, 16 bipolar queries", sub16, m * 16, "row/query")
    if threadpool_limits is not None:
        with threadpool_limits(1):
            blas1 = best(lambda: queries @ floats.T, repeat=3)
        line("BLAS float32, 16 queries, one thread", blas1, m * 16, "row/query")
    blasd = best(lambda: queries @ floats.T, repeat=3)
    line("BLAS float32, 16 queries, default threads", blasd, m * 16, "row/query")
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
    print(f"peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
