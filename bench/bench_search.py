"""The engines' calls against the numpy a user would write instead.

Every call here is timed end to end through the Python API, beside a peer
written with numpy for the same algorithm: float32 arrays kept as 2-D rows,
BLAS matrix-vector products on one thread, and the conversions from and to
the same Python lists the module receives and returns. Each line prints the
ratio numpy time / module time measured in the same run (above 1: the module
is faster), once with bipolar vectors and once with general float vectors
(random signs times random magnitudes), and the median over all calls.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=<build dir> python3 bench/bench_search.py [--quick]

On machines where OPENBLAS_CORETYPE is pinned to an older core, numpy runs a
slower kernel; unset it (and OPENBLAS_L2_SIZE) for this command to give numpy
its best.
"""
import argparse
import os
import random
import statistics
import timeit

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import tessarin_hdc as hdc  # noqa: E402


def best_of(fn, repeat=5):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, number // 4)
    return min(timer.repeat(repeat=repeat, number=number)) / number


class Vectors:
    """Stored vectors of one kind: bipolar, or signs times magnitudes."""

    def __init__(self, bipolar, seed):
        self.bipolar = bipolar
        self.rng = np.random.default_rng(seed)

    def make(self, n, dim):
        signs = np.where(self.rng.random((n, dim)) < 0.5, -1.0, 1.0).astype(np.float32)
        if not self.bipolar:
            signs *= self.rng.uniform(0.25, 1.75, (n, dim)).astype(np.float32)
        return signs

    def lists(self, n, dim):
        rows = self.make(n, dim)
        return rows, [r.tolist() for r in rows]


def first_argmax(scores):
    # np.argmax keeps the first of equal maxima, as the engines' scans do.
    return int(np.argmax(scores))


# ---- the cases: each returns (module call, numpy call) on prepared data ----

def causal_memory(kind, dim, records):
    """A memory of `records` relations, with the stored rows as arrays and lists."""
    m = hdc.PyCausalMemory(dim)
    causes, cause_lists = kind.lists(records, dim)
    effects, effect_lists = kind.lists(records, dim)
    times, time_lists = kind.lists(records, dim)
    for c, e, t in zip(cause_lists, effect_lists, time_lists):
        m.store(c, e, t)
    return m, causes, effects, times, effect_lists, time_lists


def causal_holographic(kind, dim, records):
    m, causes, effects, times, _, _ = causal_memory(kind, dim, records)
    role = np.asarray(hdc.hv_hash_string("role", dim), dtype=np.float32)
    trace = (role[None, :] * causes + role[None, :] * effects + role[None, :] * times).sum(0)
    probe = kind.make(1, dim)[0].tolist()  # a cause never stored: the holographic scan answers

    def peer():
        q = np.asarray(probe, dtype=np.float32)
        p = (role * q) * trace
        s = effects @ p / np.float32(len(p))
        j = first_argmax(s)
        return effects[j].tolist() if s[j] > 0 else None

    return (lambda: m.query_effect(probe)), peer


def causal_by_time(kind, dim, records):
    m, _, effects, times, effect_lists, time_lists = causal_memory(kind, dim, records)
    probe = time_lists[records // 2]

    def peer():
        q = np.asarray(probe, dtype=np.float32)
        s = times @ q / np.float32(len(q))
        j = first_argmax(s)
        return effects[j].tolist() if s[j] > 0 else None

    assert m.query_by_time(probe) == effect_lists[records // 2]
    return (lambda: m.query_by_time(probe)), peer


def cache_fallback(kind, dim, entries):
    c = hdc.PyHKVC(dim)
    for i in range(entries):
        c.store(f"key-{i}", f"value-{i}", i)
    rng = np.random.default_rng(1)
    # The peer is given the stored phases and the query's phases for free: numpy
    # has no SipHash, and only the scan is compared.
    vp = rng.uniform(0, 2 * np.pi, (entries, dim)).astype(np.float32)
    qp = rng.uniform(0, 2 * np.pi, dim).astype(np.float32)
    comp = np.exp(1j * rng.uniform(0, 2 * np.pi, (entries, dim))).sum(0).astype(np.complex64)
    re, im = comp.real.astype(np.float32), comp.imag.astype(np.float32)
    values = [f"value-{i}" for i in range(entries)]

    def peer():
        a = qp[None, :] + vp
        s = (np.sin(a) * im + np.cos(a) * re).sum(1) / np.float32(entries * dim)
        j = first_argmax(s)
        return values[j], max(float(s[j]), 0.0)

    return (lambda: c.query("a key never stored")), peer


def reasoner(kind, dim, facts, links=300, hops=3):
    r = hdc.PyMultiHopReasoner(dim)
    rows, row_lists = kind.lists(facts, dim)
    for f in row_lists:
        r.add_fact(f)
    rnd = random.Random(7)
    link_list = [(rnd.randrange(facts), rnd.randrange(facts)) for _ in range(links)]
    link_list[0] = (0, link_list[0][1])  # the query's fact has a neighbour
    for a, b in link_list:
        r.add_link(a, b)
    query = row_lists[0]

    def peer():
        q = np.asarray(query, dtype=np.float32)
        s = ((rows @ q) / np.float32(len(q)) + np.float32(1)) * np.float32(0.5)
        frontier = [int(k) for k in np.flatnonzero(s > np.float32(0.6))]
        seen = set(frontier)
        out = [(k, float(s[k])) for k in frontier]
        for _ in range(hops):
            nxt = []
            for k in frontier:
                for a, b in link_list:
                    n = b if a == k else a if b == k else None
                    if n is not None and n not in seen:
                        seen.add(n)
                        nxt.append(n)
                        out.append((n, float(s[n])))
            frontier = nxt
            if not frontier:
                break
        out.sort(key=lambda x: -x[1])
        return out

    return (lambda: r.reason(query, hops)), peer


def swarm(kind, dim, agents):
    sw = hdc.PyHoloSwarm(dim)
    roles, role_lists = kind.lists(agents, dim)
    policies, policy_lists = kind.lists(agents, dim)
    skills, skill_lists = kind.lists(agents, dim)
    for i in range(agents):
        sw.add_agent(f"role-{i}", role_lists[i], f"policy-{i}", policy_lists[i], f"skill-{i}", skill_lists[i])
    return sw, roles, policies, skills, role_lists, policy_lists


def swarm_resonate(kind, dim, agents, max_iter=3):
    sw, roles, policies, skills, role_lists, policy_lists = swarm(kind, dim, agents)
    guess = policy_lists[1]
    key = "role-3"

    def peer():
        u = np.roll(np.asarray(sw.swarm_vector, dtype=np.float32), 17)
        r = roles[3]
        p = np.asarray(guess, dtype=np.float32)
        si = pi = 0
        score = 0.0
        for _ in range(max_iter):
            est = u * (r * p)
            si = first_argmax(((skills @ est) / np.float32(dim) + 1) * np.float32(0.5))
            est = u * (r * skills[si])
            sims = ((policies @ est) / np.float32(dim) + 1) * np.float32(0.5)
            pi = first_argmax(sims)
            score = float(sims[pi])
            p = policies[pi]
        return key, f"policy-{pi}", f"skill-{si}", score

    return (lambda: sw.resonate(key, guess, guess, max_iter)), peer


def swarm_materialize(kind, dim, agents):
    sw, roles, _, _, role_lists, _ = swarm(kind, dim, agents)
    probe = role_lists[5]
    names = [f"role-{i}" for i in range(agents)]

    def peer():
        q = np.asarray(probe, dtype=np.float32)
        s = ((roles @ q) / np.float32(len(q)) + 1) * np.float32(0.5)
        hits = [(names[k], float(s[k])) for k in np.flatnonzero(s > np.float32(0.55))]
        hits.sort(key=lambda x: -x[1])
        return hits

    return (lambda: sw.materialize(probe, 0.55)), peer


def attention(kind, dim, keys_count=64):
    head = hdc.PyQuantumAttentionHead(dim, keys_count)
    _, keys = kind.lists(keys_count, dim)
    _, values = kind.lists(keys_count, dim)
    query = keys[3]

    def peer():
        q = np.asarray(query, dtype=np.float32)
        k = np.asarray(keys, dtype=np.float32)
        v = np.asarray(values, dtype=np.float32)
        a = (k @ q) / np.float32(len(q))
        w = np.maximum(a + a - 1, 0)
        total = w.sum()
        return ((w / total) @ v).tolist() if total >= 1e-9 else [0.0] * dim

    return (lambda: head.compute(query, keys, values)), peer


def bind(kind, dim):
    _, (a, b) = kind.lists(2, dim)
    return (lambda: hdc.hdc_bind(a, b)), (lambda: (np.asarray(a, np.float32) * np.asarray(b, np.float32)).tolist())


def resonance(kind, dim):
    _, (a, b) = kind.lists(2, dim)

    def peer():
        x, y = np.asarray(a, np.float32), np.asarray(b, np.float32)
        return float((np.dot(x, y) / np.float32(len(x)) + 1) * 0.5)

    return (lambda: hdc.resonance(a, b)), peer


def cases(quick):
    scans = [
        ("causal holographic query_effect", causal_holographic, dict(dim=1024, records=1000)),
        ("causal query_by_time", causal_by_time, dict(dim=1024, records=1000)),
        ("causal holographic query_effect", causal_holographic, dict(dim=10000, records=1000)),
        ("causal query_by_time", causal_by_time, dict(dim=10000, records=1000)),
        ("cache fallback query", cache_fallback, dict(dim=1024, entries=100)),
        ("cache fallback query", cache_fallback, dict(dim=1024, entries=1000)),
        ("reasoner reason, 3 hops", reasoner, dict(dim=1024, facts=10000)),
        ("swarm resonate, 3 iterations", swarm_resonate, dict(dim=10000, agents=100)),
        ("swarm materialize", swarm_materialize, dict(dim=10000, agents=100)),
    ]
    if not quick:
        scans[2:2] = [
            ("causal holographic query_effect", causal_holographic, dict(dim=1024, records=10000)),
            ("causal query_by_time", causal_by_time, dict(dim=1024, records=10000)),
        ]
    others = [
        ("attention compute, 64 keys", attention, dict(dim=1024)),
        ("hdc_bind", bind, dict(dim=10000)),
        ("resonance", resonance, dict(dim=10000)),
    ]
    return scans + others


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="leave out the 10,000-record causal stores")
    opts = parser.parse_args()
    print(f"{'call':<34}{'sizes':<26}{'bipolar':>9}{'general':>9}   (numpy time / module time)")
    ratios = []
    for label, build, sizes in cases(opts.quick):
        row = []
        for bipolar in (True, False):
            module_call, peer = build(Vectors(bipolar, seed=11), **sizes)
            t_module, t_numpy = best_of(module_call), best_of(peer)
            row.append(t_numpy / t_module)
        ratios.append(row)
        size_text = ", ".join(f"{k} {v:,}" for k, v in sizes.items())
        print(f"{label:<34}{size_text:<26}{row[0]:>9.2f}{row[1]:>9.2f}")
    print(f"{'median':<60}{statistics.median(r[0] for r in ratios):>9.2f}"
          f"{statistics.median(r[1] for r in ratios):>9.2f}")


if __name__ == "__main__":
    main()
