"""End-to-end cost of the memory engines' keyed queries, through the Python API.

The cache's direct path and the causal memory's exact path look the key up
and check only its few candidates, so a query should cost about the same
with 10, 1,000 or 10,000 entries stored. Each figure is printed as time per
query and as a ratio against the 10-entry figure of the same run, so the
numbers compare across machines.

    PYTHONPATH=<build dir> python3 bench/bench_memory.py [--dim 256] [--sizes 10 1000 10000]
"""
import argparse
import itertools
import time

import tessarin_hdc as hdc


# Every size probes this many distinct stored keys, spread over the store: the
# probed rows then occupy the same amount of processor cache at every size,
# and only the growth of the store itself shows in the ratio.
PROBES = 10


def spread(items):
    return items[:: max(1, len(items) // PROBES)][:PROBES]


def best_time_per_call(call, args, rounds, calls_per_round):
    """The fastest round's time per call, in microseconds: the least disturbed run."""
    best = float("inf")
    for _ in range(rounds):
        batch = list(itertools.islice(itertools.cycle(args), calls_per_round))
        start = time.perf_counter()
        for a in batch:
            call(a)
        best = min(best, time.perf_counter() - start)
    return best / calls_per_round * 1e6


def cache_direct_query(dim, entries, rounds, calls):
    c = hdc.PyHKVC(dim)
    for i in range(entries):
        c.store(f"key-{i}", f"value-{i}", i)
    # Every probed key is stored, so every query answers on the direct path.
    probes = spread([f"key-{i}" for i in range(entries)])
    assert all(c.query(k)[0] == "value-" + k[4:] for k in probes)
    return best_time_per_call(c.query, probes, rounds, calls)


def causal_exact_query(dim, entries, rounds, calls):
    m = hdc.PyCausalMemory(dim)
    causes = [hdc.hv_hash_string(f"cause-{i}", dim) for i in range(entries)]
    effect, time_stamp = hdc.hv_hash_string("effect", dim), hdc.hv_hash_string("time", dim)
    for cause in causes:
        m.store(cause, effect, time_stamp)
    probes = spread(causes)
    assert all(m.query_effect(p) == effect for p in probes)
    return best_time_per_call(m.query_effect, probes, rounds, calls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=256)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 1000, 10000])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--calls", type=int, default=5000, help="queries per round")
    opts = parser.parse_args()

    print(f"dim {opts.dim}; best of {opts.rounds} rounds of {opts.calls} queries")
    print(f"{'path':<28}{'entries':>9}{'us/query':>11}{'ratio':>8}")
    for label, measure in [("cache direct-path query", cache_direct_query),
                           ("causal exact query", causal_exact_query)]:
        baseline = None
        for entries in opts.sizes:
            us = measure(opts.dim, entries, opts.rounds, opts.calls)
            baseline = baseline or us
            print(f"{label:<28}{entries:>9}{us:>11.2f}{us / baseline:>8.2f}")


if __name__ == "__main__":
    main()
