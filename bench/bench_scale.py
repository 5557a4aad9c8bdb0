"""A causal memory of a million records: its memory and its scans against their floors.

Builds causal memories of bipolar records at dim 1,024 (10^5 and 10^6
records, with distinct fingerprints) and of general float records (10^5),
storing through the Python API from float32 arrays made in batches and
released, and prints for each:

  - bytes per record: resident memory after minus before storing, over the
    records, measured in a fresh interpreter that does nothing else (three
    rows of 128 bytes are the floor for a bipolar record);
  - query_by_time (a stored time as query: bipolar against bipolar rows, a
    count of differing bits) and query_effect of a cause never stored (the
    holographic probe, a general float vector against the stored effects);
  - each scan's time over its floor, and the time of a numpy peer over the
    time of the call (above 1: the module is faster). The numpy peer of a
    bipolar scan is the packed-bit one: np.bitwise_count(rows ^ q) over the
    rows as 64-bit words, summed per row, argmin; of a float probe over bipolar
    rows, the rows unpacked 16,384 at a time and multiplied (BLAS, one thread);
    over general rows, float32 rows @ q.

The floors come from bench_scan, run by this script in the same run (pass
--bench-scan <path to the bench_scan program>): BM_StreamFloor, one core
reading the same sign-bit bytes once; BM_SelectAddFloor, one pick and one
add per 16 lanes per component, which a float probe over sign bits needs at
the least. The floor of a float probe over bipolar rows is the larger of the
two; of a scan over general rows, a streaming read of its 4 * dim bytes per
row (numpy's max over a float32 array that size: a lower bound a user can
rerun). Without --bench-scan the bipolar floors are numpy's streaming read.

It also times the stores against the conversion of their vector arguments
alone: PyCausalMemory.store and PyHoloSwarm.add_agent (three float32 arrays
each) against three calls of hv_hash (which converts one array and folds its
signs), and PyMultiHopReasoner.add_fact against one.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_scale.py --bench-scan <build dir>/bench_scan
"""
import argparse
import json
import os
import subprocess
import sys
import time
import timeit

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import tessarin_hdc as hdc  # noqa: E402

DIM = 1024
BATCH = 16384


def best_of(fn, repeat=5):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, number // 4)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bench_scan_floors(path):
    """Nanoseconds per record of the streaming read by record count, and select-and-add steps per ns."""
    out = subprocess.run([path, "--benchmark_filter=BM_StreamFloor|BM_SelectAddFloor", "--benchmark_format=json",
                          "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                         check=True, capture_output=True, text=True).stdout
    stream, steps = {}, None
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        # CPU time: a floor measured while another process had the core
        # would look slower than it is, so this errs towards a faster floor.
        if b["run_name"].startswith("BM_StreamFloor/"):
            records = int(b["run_name"].split("/")[2])
            stream[records] = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]] / records
        elif b["run_name"] == "BM_SelectAddFloor":
            steps = b["steps_per_ns"]
    return stream, steps


class Rows:
    """Batches of records: bipolar rows from random bytes (kept packed for the peer), or general floats."""

    def __init__(self, bipolar, seed):
        self.bipolar = bipolar
        self.rng = np.random.default_rng(seed)

    def batch(self, n):
        packed = self.rng.integers(0, 256, (n, DIM // 8), dtype=np.uint8)
        rows = 1.0 - 2.0 * np.unpackbits(packed, axis=1, bitorder="little").astype(np.float32)
        if not self.bipolar:
            rows *= self.rng.uniform(0.25, 1.75, (n, DIM)).astype(np.float32)
        return packed, rows


def build(bipolar, records, seed=5, keep=True, batch=BATCH):
    """A memory of `records` relations; the stored times and effects as the peers keep them."""
    m = hdc.PyCausalMemory(DIM)
    kinds = [Rows(bipolar, seed + k) for k in range(3)]
    kept = {"times": [], "effects": []}
    for first in range(0, records, batch):
        n = min(batch, records - first)
        causes, effects, times = (k.batch(n) for k in kinds)
        for i in range(n):
            m.store(causes[1][i], effects[1][i], times[1][i])
        if keep:
            kind = 0 if bipolar else 1  # packed bits of bipolar rows, float32 rows of general ones
            kept["times"].append(times[kind])
            kept["effects"].append(effects[kind])
        del causes, effects, times
    return m, {k: np.concatenate(v) for k, v in kept.items()} if keep else None


def resident_per_record(bipolar, records):
    """Bytes per record, measured in a fresh interpreter so that no freed memory is reused."""
    # Small batches, and the C library's free memory handed back before the
    # second reading, so that only what the memory keeps is counted.
    code = ("import ctypes, sys; import bench_scale as b; trim = ctypes.CDLL(None).malloc_trim; trim(0); "
            f"before = b.resident_bytes(); m, _ = b.build({bipolar}, {records}, keep=False, batch=1024); "
            f"trim(0); print((b.resident_bytes() - before) / {records})")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.abspath(__file__)),
                                                       os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=env)
    return float(out.stdout.strip())


def time_call(fn):
    return best_of(fn, repeat=3)


def bipolar_case(records, floors):
    per_record = resident_per_record(True, records)
    m, kept = build(True, records)
    times = kept["times"].view(np.uint64)
    effects = kept["effects"]
    probe_bits = kept["times"][records // 2]
    probe = (1.0 - 2.0 * np.unpackbits(probe_bits, bitorder="little").astype(np.float32))
    q_words = probe_bits.view(np.uint64)

    def by_time_peer():
        d = np.bitwise_count(times ^ q_words).sum(axis=1)
        j = int(np.argmin(d))
        return j if DIM - 2 * int(d[j]) > 0 else None

    unknown = Rows(True, 99).batch(1)[1][0]
    role = np.asarray(hdc.hv_hash_string("role", DIM), dtype=np.float32)
    holo = (role * unknown) * np.random.default_rng(3).standard_normal(DIM).astype(np.float32)

    def holographic_peer():
        total = holo.sum()
        best, where = -np.inf, None
        for first in range(0, records, BATCH):
            bits = np.unpackbits(effects[first:first + BATCH], axis=1, bitorder="little").astype(np.float32)
            s = (total - 2.0 * (bits @ holo)) / np.float32(DIM)
            j = int(np.argmax(s))
            if s[j] > best:
                best, where = s[j], first + j
        return where if best > 0 else None

    stream_ns, steps = floors
    sign_bytes = records * DIM // 8
    if stream_ns and records in stream_ns:
        stream = stream_ns[records] * records * 1e-9
    else:
        stream = time_call(lambda: times.max())  # numpy's streaming read of the same bytes
    select_add = records / 16 * DIM / steps * 1e-9 if steps else None
    t_time = time_call(lambda: m.query_by_time(probe))
    t_time_peer = time_call(by_time_peer)
    t_holo = time_call(lambda: m.query_effect(unknown))
    t_holo_peer = time_call(holographic_peer)
    holo_floor = max(stream, select_add) if select_add else stream
    print(f"bipolar, {records:>9,} records: {per_record:7.1f} bytes per record "
          f"({sign_bytes / records * 3:.0f} of them the three rows)")
    print(f"  query_by_time           {t_time * 1e3:8.2f} ms   floor (streaming read) {stream * 1e3:7.2f} ms"
          f"   x floor {t_time / stream:5.2f}   numpy packed / module {t_time_peer / t_time:6.2f}")
    print(f"  query_effect (unknown)  {t_holo * 1e3:8.2f} ms   floor ({'select+add' if select_add and select_add > stream else 'streaming read'}) "
          f"{holo_floor * 1e3:7.2f} ms   x floor {t_holo / holo_floor:5.2f}   numpy packed / module {t_holo_peer / t_holo:6.2f}")


def general_case(records):
    per_record = resident_per_record(False, records)
    m, kept = build(False, records)
    times = kept["times"]
    effects = kept["effects"]
    probe = times[records // 2]
    unknown = Rows(False, 99).batch(1)[1][0]
    stream = time_call(lambda: times.max())
    t_time = time_call(lambda: m.query_by_time(probe))
    t_time_peer = time_call(lambda: int(np.argmax(times @ probe)))
    t_holo = time_call(lambda: m.query_effect(unknown))
    t_holo_peer = time_call(lambda: int(np.argmax(effects @ unknown)))
    print(f"general, {records:>9,} records: {per_record:7.1f} bytes per record")
    print(f"  query_by_time           {t_time * 1e3:8.2f} ms   floor (streaming read) {stream * 1e3:7.2f} ms"
          f"   x floor {t_time / stream:5.2f}   numpy float32 / module {t_time_peer / t_time:6.2f}")
    print(f"  query_effect (unknown)  {t_holo * 1e3:8.2f} ms   floor (streaming read) {stream * 1e3:7.2f} ms"
          f"   x floor {t_holo / stream:5.2f}   numpy float32 / module {t_holo_peer / t_holo:6.2f}")


def stores():
    _, rows = Rows(True, 17).batch(3 * 4096)
    it = iter(range(10**9))

    def pick():
        i = next(it) % 4096
        return rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]

    memory = hdc.PyCausalMemory(DIM)
    reasoner = hdc.PyMultiHopReasoner(DIM)
    swarm = hdc.PyHoloSwarm(DIM)
    convert_one = time_call(lambda: hdc.hv_hash(pick()[0]))
    convert_three = time_call(lambda: [hdc.hv_hash(v) for v in pick()])
    store = time_call(lambda: memory.store(*pick()))
    add_fact = time_call(lambda: reasoner.add_fact(pick()[0]))
    def agent():
        r, p, k = pick()
        swarm.add_agent("role", r, "policy", p, "skill", k)

    add_agent = time_call(agent)
    print("stores of bipolar float32 arrays at dim 1,024 (time / time converting the same arguments):")
    print(f"  PyCausalMemory.store       {store * 1e6:6.2f} us   / {convert_three * 1e6:6.2f} us  = {store / convert_three:5.2f}")
    print(f"  PyMultiHopReasoner.add_fact{add_fact * 1e6:6.2f} us   / {convert_one * 1e6:6.2f} us  = {add_fact / convert_one:5.2f}")
    print(f"  PyHoloSwarm.add_agent      {add_agent * 1e6:6.2f} us   / {convert_three * 1e6:6.2f} us  = {add_agent / convert_three:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bench-scan", help="the bench_scan program, for the streaming and select-and-add floors")
    parser.add_argument("--quick", action="store_true", help="leave out the million-record memory")
    opts = parser.parse_args()
    started = time.perf_counter()
    floors = bench_scan_floors(opts.bench_scan) if opts.bench_scan else ({}, None)
    if floors[1]:
        print(f"select-and-add floor: {floors[1]:.2f} block steps per ns")
    stores()
    for records in (100_000,) if opts.quick else (100_000, 1_000_000):
        bipolar_case(records, floors)
    general_case(100_000)
    print(f"({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
