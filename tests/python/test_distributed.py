"""Scale-out on Dask: what worker processes compute equals what one process
computes, bit for bit (the examples, imported from their folder by workers
that cannot import them), a replica shipped as its snapshot answers as the
engine it copies, and a sharded item memory (tessarin.dask) answers as one
ItemMemory holding every row. Everything runs
on a cluster started here as the command-line tools start one: a scheduler
and two workers, separate processes on 127.0.0.1, each writing only inside
the test's temporary folder."""
import contextlib
import copy
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest

distributed = pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
import tessarin  # noqa: E402
import tessarin.dask as tdask  # noqa: E402

EXAMPLES = str(pathlib.Path(__file__).resolve().parents[2] / "examples")
sys.path.insert(0, EXAMPLES)
import dask_scaleout as example  # noqa: E402
import test_shared_engines  # noqa: E402

START_TIMEOUT = 60  # seconds for a process of the cluster to come up


class Cluster:
    """A scheduler and workers started by the dask command line, each with its
    temporary and local folders inside `folder`."""

    def __init__(self, folder: pathlib.Path, workers: int):
        self.folder = folder
        folder.mkdir(parents=True)
        # The package from where this process has it, and nothing else: the
        # examples, imported here from their folder, must reach the workers
        # through the installed package alone.
        package_root = str(pathlib.Path(tessarin.__file__).resolve().parents[1])
        path = [package_root, os.environ.get("PYTHONPATH")]
        self.env = dict(os.environ, TMPDIR=str(folder), DASK_TEMPORARY_DIRECTORY=str(folder),
                        PYTHONPATH=os.pathsep.join(filter(None, path)))
        scheduler_file = folder / "scheduler.json"
        self.processes = [self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                      "--scheduler-file", str(scheduler_file))]
        self.address = self._wait_for(lambda: json.loads(scheduler_file.read_text())["address"])
        self.workers = []
        for i in range(workers):
            self.workers.append(self._start("worker", self.address, "--host", "127.0.0.1", "--no-nanny",
                                            "--nthreads", "1", "--no-dashboard", "--name", f"w{i}",
                                            "--local-directory", str(folder / f"w{i}")))
            self.processes.append(self.workers[-1])

    def _start(self, *args):
        log = open(self.folder / f"{args[0]}-{len(getattr(self, 'processes', []))}.log", "wb")
        with log:
            return subprocess.Popen([sys.executable, "-m", "dask", *args], env=self.env, stdout=log,
                                    stderr=subprocess.STDOUT, cwd=self.folder)

    def _wait_for(self, probe):
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            with contextlib.suppress(Exception):
                return probe()
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.processes):
                raise RuntimeError("the cluster did not start: " + self.logs())
            time.sleep(0.1)

    def client(self):
        client = distributed.Client(self.address, timeout=START_TIMEOUT)
        client.wait_for_workers(len(self.workers), timeout=START_TIMEOUT)
        return client

    def logs(self):
        return "\n".join(p.read_text(errors="replace") for p in sorted(self.folder.glob("*.log")))

    def stop(self):
        # Workers first, each closing while the scheduler still answers; a
        # process that does not end in time is killed.
        for p in self.processes[1:] + self.processes[:1]:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait(timeout=30)
        shutil.rmtree(self.folder)


@contextlib.contextmanager
def started_cluster(folder, workers=2):
    cluster = Cluster(folder, workers)
    try:
        yield cluster
    finally:
        cluster.stop()
    assert all(p.poll() is not None for p in cluster.processes)
    assert not folder.exists()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    with started_cluster(tmp_path_factory.mktemp("dask") / "cluster") as c:
        yield c


@pytest.fixture(scope="module")
def client(cluster):
    import cloudpickle

    # The workers cannot import the test modules by name: the functions they
    # run there travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cloudpickle.register_pickle_by_value(sys.modules[test_shared_engines.__name__])
    with cluster.client() as c:
        yield c


def test_encoding_spread_over_workers_equals_one_process(client):
    (values, choices), _, _ = example.example_data(120)
    assert same_bytes(example.encode_on_cluster(client, values, choices, chunks=5),
                      example.encode_records(values, choices))


def test_replicas_answer_as_one_engine(client):
    _, events, queries = example.example_data()
    memory = example.build_memory(events)
    assert example.serve_on_replicas(client, memory, queries, replicas=3) == example.answer(memory, queries)


@pytest.mark.parametrize("case", test_shared_engines.CASES)
def test_a_replica_shipped_as_its_snapshot_answers_as_the_original(client, case):
    engine = case.make(1)
    replica = tdask.replicate(client, engine)
    workers = sorted(client.scheduler_info()["workers"])
    assert sorted(client.who_has([replica])[replica.key]) == workers
    read = case.read  # sent by value, with its test module
    answers = client.run(lambda dask_worker: read(dask_worker.data[replica.key]))
    assert list(answers.values()) == [read(engine)] * len(workers)


# ---- the sharded item memory ------------------------------------------------------

DIM = 24


def tricky_rows():
    """Rows whose scores tie and are NaN on purpose: duplicates of rows in
    other blocks (equal scores, decided by index across shards), rows holding
    a NaN (a NaN score for every query), zero rows, bipolar and float rows."""
    rng = np.random.default_rng(5)
    rows = np.where(rng.random((40, DIM)) < 0.5, -1.0, 1.0).astype(np.float32)
    rows[20:30] = rows[0:10]                       # duplicates
    rows[[3, 17, 33], 5] = [np.nan, -np.nan, np.nan]
    rows[[7, 25]] = 0.0
    rows[30:35] = rng.integers(-2, 3, size=(5, DIM))  # few distinct values: many ties
    return rows


def odd_rows():
    """Rows as ItemMemory also takes them: bytes (read as unsigned bytes) and
    a numpy complex row (read as float() reads its elements, with numpy's
    warning)."""
    return [bytes(range(DIM)), bytes(range(200, 200 + DIM))], np.arange(DIM) * (1 + 1j)


def tricky_queries():
    queries = np.concatenate([tricky_rows()[[0, 30, 1]], np.ones((1, DIM), np.float32)])
    queries[2, 0] = np.nan  # every score of this query is NaN
    return queries


def build_both(client, shards, block_rows):
    rows = tricky_rows()
    sharded = tdask.ShardedItemMemory(client, DIM, shards=shards, block_rows=block_rows)
    one = tessarin.ItemMemory(DIM)
    # Batches of several sizes, one row alone, and rows made on the workers.
    for batch in (rows[:13], rows[13], rows[14:40]):
        assert sharded.add(batch) == one.add(batch)
    assert sharded.add_bipolar(9, seed=3, start=4) == one.add(tessarin.random_bipolar(9, DIM, seed=3, start=4))
    assert sharded.add(rows[:5].tolist()) == one.add(rows[:5].tolist())
    for batch in odd_rows():
        # The complex row warns as in one memory, here, not on the workers.
        warned = []
        for memory in (sharded, one):
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                warned.append((memory.add(batch), [x.category.__name__ for x in w]))
        assert warned[0] == warned[1]
    return sharded, one


def same_bytes(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("shards, block_rows", [(1, 4), (2, 1), (3, 4), (7, 2), (7, 1000), (2, 2**64)])
def test_sharded_search_is_one_store_byte_for_byte(client, shards, block_rows):
    sharded, one = build_both(client, shards, block_rows)
    with sharded:
        assert len(sharded) == len(one) == 57
        held = client.run(lambda dask_worker: [len(a.memory) for a in shards_on(dask_worker)])
        counts = sorted(n for per_worker in held.values() for n in per_worker)
        assert sum(counts) == 57 and len(counts) == shards
        if shards > 1 and block_rows < 57:
            assert counts[-1] < 57  # spread, not all in one shard
        queries = tricky_queries()
        for q, k in [(queries, 0), (queries, 1), (queries, 6), (queries, 57), (queries, 60), (queries[0].tolist(), 3),
                     (np.zeros((0, DIM)), 4), *[(batch, 2) for batch in odd_rows()[:1]]]:
            assert outcome(lambda: [*sharded.search(q, k)]) == outcome(lambda: [*one.search(q, k)]), k
        assert outcome(lambda: sharded.resonances(queries)) == outcome(lambda: one.resonances(queries))
        for i in (0, 13, 40, 53, 54, 56):
            assert outcome(lambda: sharded.get(i)) == outcome(lambda: one.get(i))


class OneStore:
    """One ItemMemory, making the sharded memory's calls as they are defined
    for it."""

    def __init__(self, dim):
        self.memory = tessarin.ItemMemory(dim)

    def __getattr__(self, name):
        return getattr(self.memory, name)

    def __len__(self):
        return len(self.memory)

    def add_bipolar(self, n, seed, start=0):
        return self.memory.add(tessarin.random_bipolar(n, DIM, seed, start=start))


# A fragment of None: refused exactly as one ItemMemory refuses the call.
REFUSED = [
    (lambda m: m.add(np.ones((2, DIM + 1))), ValueError, None),
    (lambda m: m.add(np.ones((2, 2, DIM))), ValueError, None),
    (lambda m: m.add([["x"] * DIM]), TypeError, None),
    (lambda m: m.add("x" * DIM), TypeError, None),
    (lambda m: m.add([[1.0] * (DIM - 1) + [None]]), TypeError, None),  # not NaN
    (lambda m: m.add([]), ValueError, None),
    (lambda m: m.add([[]]), ValueError, None),
    (lambda m: m.add_bipolar(2, seed=1, start=2**64 - 1), ValueError, None),
    (lambda m: m.add_bipolar(-1, seed=1), ValueError, None),
    (lambda m: m.add_bipolar(1.0, seed=1), TypeError, None),
    (lambda m: m.add_bipolar(2, seed=-1), ValueError, None),
    (lambda m: m.add_bipolar(2**64, seed=1), OverflowError, None),
    (lambda m: m.search(np.ones((1, DIM - 1)), 2), ValueError, None),
    (lambda m: m.search([[1.0] * DIM, [1.0]], 2), ValueError, None),
    (lambda m: m.search(np.ones((1, DIM)), -1), ValueError, None),
    (lambda m: m.search(np.ones((1, DIM - 1)), -1), ValueError, None),  # which argument first
    (lambda m: m.search(np.ones((1, DIM)), 2**64), OverflowError, None),
    (lambda m: m.search(np.ones((1, DIM)), 1.0), TypeError, None),
    (lambda m: m.search(3.0, 1), TypeError, None),
    (lambda m: m.search([], 1), ValueError, None),
    (lambda m: m.resonances([1.0] * (DIM - 1)), ValueError, None),
    (lambda m: m.get(5), IndexError, None),
    (lambda m: m.get(-1), IndexError, None),
    (lambda m: m.get(2**63), OverflowError, None),
    (lambda m: m.get(-2**70), OverflowError, None),
    (lambda m: m.get(1.0), TypeError, None),
    (lambda m: new_like(m, 0), ValueError, None),
    (lambda m: tdask.ShardedItemMemory(m._client, 3, shards=0), ValueError, "at least 1"),
    (lambda m: copy.copy(m), TypeError, "cannot be copied or pickled"),  # a copy would share the shards
    (lambda m: new_like(m, 2**64), OverflowError, None),
]


@pytest.mark.parametrize("call, exc, fragment", REFUSED)
def test_refusals_change_nothing(client, call, exc, fragment):
    with tdask.ShardedItemMemory(client, DIM, shards=3, block_rows=2) as memory:
        memory.add(tricky_rows()[:5])
        before = memory.search(tricky_queries(), 5)
        refused = outcome(lambda: call(memory))
        assert isinstance(refused, tuple) and refused[0] is exc, refused
        if fragment is None:
            one = OneStore(DIM)
            one.add(tricky_rows()[:5])
            assert refused == outcome(lambda: call(one))
        else:
            assert fragment in refused[1]
        assert len(memory) == 5
        after = memory.search(tricky_queries(), 5)
        assert same_bytes(before[0], after[0]) and same_bytes(before[1], after[1])


def shards_on(dask_worker):
    return [a for a in dask_worker.state.actors.values() if isinstance(a, tdask._Shard)]


def actors_on_workers(client):
    return sum(client.run(lambda dask_worker: len(shards_on(dask_worker))).values())


def wait_until(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


@pytest.mark.parametrize("how", ["close", "context manager", "dropped"])
def test_shards_are_freed_without_errors_however_the_memory_ends(client, how):
    wait_until(lambda: actors_on_workers(client) == 0)
    memory = tdask.ShardedItemMemory(client, DIM, shards=3)
    memory.add_bipolar(10, seed=1)
    assert actors_on_workers(client) == 3
    if how == "close":
        memory.close()
        memory.close()
        with pytest.raises(ValueError, match="closed"):
            memory.search(tricky_queries(), 1)
    elif how == "context manager":
        with memory:
            pass
    del memory
    wait_until(lambda: actors_on_workers(client) == 0)
    logs = client.get_worker_logs()
    assert not [line for lines in logs.values() for level, line in lines if level in ("ERROR", "CRITICAL")]


def hold_searches(flag, dask_worker=None):
    """On a worker: every shard search there first creates `flag`, then waits
    (at most a minute) for the worker to be killed."""

    class Held:
        def __init__(self, memory):
            self.memory = memory

        def __getattr__(self, name):
            return getattr(self.memory, name)

        def __len__(self):
            return len(self.memory)

        def search(self, queries, k):
            pathlib.Path(flag).touch()
            time.sleep(60)
            return self.memory.search(queries, k)

    for shard in shards_on(dask_worker):
        shard.memory = Held(shard.memory)


def answer_incompletely(how, dask_worker=None):
    """On a worker: its first shard forgets rows or drops results."""

    class Incomplete:
        def __init__(self, memory):
            self.memory = memory

        def __len__(self):
            return len(self.memory) - (how == "fewer rows")

        def search(self, queries, k):
            scores, indices = self.memory.search(queries, k)
            if how == "fewer rows":
                return scores, indices
            return np.asarray(scores)[:, 1:], np.asarray(indices)[:, 1:]

    shard = shards_on(dask_worker)[0]
    shard.memory = Incomplete(shard.memory)


@pytest.mark.parametrize("how", ["fewer rows", "fewer results"])
def test_an_incomplete_shard_answer_is_never_merged(client, how):
    with tdask.ShardedItemMemory(client, DIM, shards=1, block_rows=4) as memory:
        memory.add(tricky_rows())
        client.run(answer_incompletely, how, workers=[memory.workers[0]])
        for _ in range(2):
            with pytest.raises(tdask.ShardLostError, match="shard 0 answered"):
                memory.search(tricky_queries(), 5)


def test_a_worker_killed_during_its_search_never_gives_a_partial_answer(tmp_path):
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with started_cluster(tmp_path / "cluster") as cluster, cluster.client() as client:
        memory = tdask.ShardedItemMemory(client, DIM, shards=2, block_rows=4)
        memory.add(tricky_rows())
        victim = memory.workers[1]
        victim_process = next(p for p, w in zip(cluster.workers, sorted(client.scheduler_info()["workers"].items(),
                                                                         key=lambda item: item[1]["name"]))
                              if w[0] == victim)
        flag = tmp_path / "searching"
        client.run(hold_searches, str(flag), workers=[victim])
        outcome = {}

        def search():
            try:
                outcome["answer"] = memory.search(tricky_queries(), 5)
            except BaseException as error:  # noqa: BLE001 - what the call ended with is the result
                outcome["error"] = error

        caller = threading.Thread(target=search)
        caller.start()
        wait_until(flag.exists)
        victim_process.kill()
        caller.join(timeout=60)
        assert not caller.is_alive()
        one = tessarin.ItemMemory(DIM)
        one.add(tricky_rows())
        if "answer" in outcome:
            want = one.search(tricky_queries(), 5)
            assert same_bytes(outcome["answer"][0], want[0]) and same_bytes(outcome["answer"][1], want[1])
        else:
            assert isinstance(outcome["error"], tdask.ShardLostError), repr(outcome["error"])
        with pytest.raises(tdask.ShardLostError):
            memory.search(tricky_queries(), 5)
        memory.close()


def test_importing_tessarin_imports_no_dask():
    code = ("import sys, tessarin; "
            "assert not [m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')], sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


def test_the_sharded_example_answers_as_one_store(client):
    import dask_sharded

    (scores, indices), (one_scores, one_indices), first = dask_sharded.sharded_and_single(client, rows=3000)
    assert same_bytes(scores, one_scores) and same_bytes(indices, one_indices)
    assert np.asarray(indices)[:, 0].tolist() == [first, first + 1, first + 2]


# ---- the sharded causal memory and multi-hop reasoner ------------------------------

CDIM, RDIM = 8, 6
SHARDINGS = [(1, 4), (2, 1), (3, 2), (7, 1)]


def bipolar(rng, n, dim):
    return np.where(rng.random((n, dim)) < 0.5, -1.0, 1.0).astype(np.float32)


def causal_relations():
    """Relations with ties and NaN scores on purpose: causes and effects
    repeated in other blocks (equal scores, decided by storage order across
    shards), a cause holding a NaN (a NaN exact score beside equal ones), an
    all-negative cause (the zero query's fingerprint, scored -0.0, so the
    trace decides), vectors longer than dim (answers of several lengths) and
    float vectors."""
    rng = np.random.default_rng(7)
    causes, effects, times = bipolar(rng, 6, CDIM), bipolar(rng, 6, CDIM), bipolar(rng, 24, CDIM)
    relations = [(causes[j % 6], effects[j * 5 % 6], times[j]) for j in range(24)]
    nan_cause = causes[1].copy()
    nan_cause[np.argmin(nan_cause)] = np.nan
    relations[3] = (np.r_[causes[3], 1, -1].astype(np.float32), relations[3][1], relations[3][2])
    relations[9] = (-np.ones(CDIM, np.float32), relations[9][1], relations[9][2])
    relations[14] = (nan_cause, relations[14][1], relations[14][2])
    relations[17] = (rng.standard_normal(CDIM).astype(np.float32), np.r_[effects[2], 0.5].astype(np.float32),
                     rng.standard_normal(CDIM).astype(np.float32))
    nan_query = rng.standard_normal(CDIM).astype(np.float32)
    nan_query[4] = np.nan
    queries = [*causes[:4], *effects[:4], *times[:2], nan_cause, np.zeros(CDIM, np.float32),
               -np.ones(CDIM, np.float32), nan_query, [], np.r_[effects[2], 0.5],
               *rng.standard_normal((2, CDIM)).astype(np.float32)]
    return relations, queries


def reasoner_facts():
    """Facts with equal scores in different shards, of other lengths, and one
    holding a NaN that only a link reaches."""
    rng = np.random.default_rng(11)
    facts = [*bipolar(rng, 16, RDIM)]
    facts[8:12] = facts[0:4]
    facts[5] = facts[5][:4]
    facts[6] = np.r_[facts[6], 1.0].astype(np.float32)
    facts[13] = rng.standard_normal(RDIM).astype(np.float32)
    facts[15] = np.full(RDIM, np.nan, np.float32)
    links = [(int(a), int(b)) for a, b in rng.integers(0, 15, size=(14, 2))] + [(2, 2), (0, 12), (12, 0)]
    return facts, links, [facts[k] for k in (0, 1, 3, 5, 6, 12, 13)] + [np.ones(RDIM, np.float32), []]


def build_engines(client, kind, shards, block_rows, count=None):
    if kind == "causal":
        sharded, one = tdask.ShardedCausalMemory(client, CDIM, shards, block_rows), tessarin.CausalMemory(CDIM)
        relations = causal_relations()[0][:count]
        for relation in relations:
            one.store(*relation)
        # One at a time, then a batch that spans several blocks.
        for relation in relations[:5]:
            sharded.store(*relation)
        sharded.store_many(*zip(*relations[5:]))
        return sharded, one
    sharded, one = tdask.ShardedMultiHopReasoner(client, RDIM, shards, block_rows), tessarin.MultiHopReasoner(RDIM)
    facts, links, _ = reasoner_facts()
    facts = facts[:count]
    assert [sharded.add_fact(f) for f in facts[:3]] == [one.add_fact(f) for f in facts[:3]]
    assert sharded.add_facts(facts[3:]) == [one.add_fact(f) for f in facts[3:]][0]
    for link in links:
        sharded.add_link(*link)
        one.add_link(*link)
    return sharded, one


def outcome(call):
    """What a call gives, comparable byte for byte: arrays as their type,
    shape and bytes, refusals as their type and message."""
    try:
        answer = call()
    except Exception as error:  # noqa: BLE001 - the refusal is the outcome
        return type(error), str(error)
    if isinstance(answer, list):
        return [outcome(lambda: a) for a in answer]
    if isinstance(answer, tessarin.Array):
        return type(answer), answer.format, answer.shape, np.asarray(answer).tobytes()
    return answer


def causal_answers(memory, queries):
    return [outcome(lambda: getattr(memory, m)(q)) for q in queries
            for m in ("query_effect", "query_cause", "query_by_time")]


def reasoner_answers(reasoner, queries):
    return [outcome(lambda: reasoner.reason(q, hops)) for q in queries for hops in (0, 1, 10**18)]


@pytest.mark.parametrize("shards, block_rows", SHARDINGS)
def test_sharded_causal_memory_answers_as_one_engine_byte_for_byte(client, shards, block_rows):
    sharded, one = build_engines(client, "causal", shards, block_rows)
    with sharded:
        queries = causal_relations()[1]
        v = queries[0].tolist()
        with pytest.raises(ValueError, match="'time' has 7 components"):  # a batch is stored whole or not at all
            sharded.store_many([v, v], [v, v], [v, v[:7]])
        assert len(sharded) == len(one) == 24
        assert causal_answers(sharded, queries) == causal_answers(one, queries)
        assert np.asarray(one.query_cause(queries[4])).shape[0] == 4  # equal scores in several shards


@pytest.mark.parametrize("shards, block_rows", SHARDINGS)
def test_sharded_reasoner_answers_and_refuses_as_one_engine(client, shards, block_rows):
    sharded, one = build_engines(client, "reasoner", shards, block_rows)
    with sharded:
        facts, _, queries = reasoner_facts()
        want = reasoner_answers(one, queries)
        assert reasoner_answers(sharded, queries) == want
        assert {type(w) for w in want} == {list}
        for a, b in [(1, 15), (13, 99)]:  # a NaN reached through a link, a link to no fact
            sharded.add_link(a, b)
            one.add_link(a, b)
        want = reasoner_answers(one, queries)
        assert reasoner_answers(sharded, queries) == want
        assert {w[0] for w in want if isinstance(w, tuple)} == {ValueError, IndexError}
        sharded.reset()
        one.reset()
        assert len(sharded) == 0 and sharded.reason(facts[0], 3) == []
        assert [sharded.add_fact(f) for f in facts[:3]] == [one.add_fact(f) for f in facts[:3]] == [0, 1, 2]
        assert reasoner_answers(sharded, queries) == reasoner_answers(one, queries)


ENGINE_REFUSALS = [
    ("causal", lambda m: m.store([1.0] * (CDIM - 1), [1.0] * CDIM, [1.0] * CDIM)),
    ("causal", lambda m: m.store([1.0] * CDIM, [1.0] * CDIM, [1.0] * (CDIM - 1))),
    ("causal", lambda m: m.store([1.0] * CDIM, ["x"] * CDIM, [1.0] * CDIM)),
    ("causal", lambda m: m.query_cause("abc")),
    ("causal", lambda m: new_like(m, -1)),
    ("reasoner", lambda m: m.add_link(2**70, 0)),
    ("reasoner", lambda m: m.add_fact(["x"])),
    ("reasoner", lambda m: m.add_link(-1, 0)),
    ("reasoner", lambda m: m.reason([1.0] * RDIM, -1)),
    ("reasoner", lambda m: new_like(m, 2**64)),
]


def new_like(engine, dim):
    return type(engine)(engine._client, dim) if isinstance(engine, tdask._ShardedStore) else type(engine)(dim)


@pytest.mark.parametrize("kind, call", ENGINE_REFUSALS)
def test_sharded_engines_refuse_as_one_engine_and_keep_nothing(client, kind, call):
    sharded, one = build_engines(client, kind, shards=3, block_rows=2, count=6)
    with sharded:
        refused = outcome(lambda: call(sharded))
        assert isinstance(refused, tuple) and refused == outcome(lambda: call(one))
        assert len(sharded) == len(one)
        if kind == "causal":
            queries = causal_relations()[1][:4]
            assert causal_answers(sharded, queries) == causal_answers(one, queries)
        else:
            queries = reasoner_facts()[2][:2]
            assert reasoner_answers(sharded, queries) == reasoner_answers(one, queries)


def forget_shard(shard_id, dask_worker=None):
    """On a worker: shard `shard_id` is gone, as after the worker restarted."""
    for key, actor in list(dask_worker.state.actors.items()):
        if isinstance(actor, tdask._Shard) and actor.shard_id == shard_id:
            del dask_worker.state.actors[key]


@pytest.mark.parametrize("kind", ["causal", "reasoner"])
def test_a_lost_shard_ends_every_later_call_of_the_sharded_engines(client, kind):
    sharded, _ = build_engines(client, kind, shards=3, block_rows=2, count=6)
    client.run(forget_shard, 1, workers=[sharded.workers[1]])
    v = [1.0] * (CDIM if kind == "causal" else RDIM)
    if kind == "causal":
        calls = [lambda: sharded.query_effect(v), lambda: sharded.store(v, v, v), lambda: sharded.query_cause(v)]
    else:
        calls = [lambda: sharded.reason(v, 2), lambda: sharded.add_fact(v), lambda: sharded.add_link(0, 1),
                 sharded.reset]
    for call in calls:
        with pytest.raises(tdask.ShardLostError):
            call()
    assert len(sharded) == 6
    sharded.close()
