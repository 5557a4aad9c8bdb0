"""The companion classes that serve any thread and persist: one table of
classes, one test per property (pickle, copy, save and load, damaged files,
a save killed part way, threads, re-entrancy, interrupted waits)."""

import copy
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, replace
from typing import Any, Callable

import numpy as np
import pytest

import tessarin


@dataclass(frozen=True)
class Case:
    cls: type
    # A small instance, built from a seed.
    make: Callable[[int], Any]
    # Everything the instance answers to a fixed set of queries, hashable and comparable with ==.
    read: Callable[[Any], Any]
    # The i-th change of a fixed sequence.
    change: Callable[[Any, int], None]
    # An instance large enough that long_read takes a good fraction of a second.
    make_big: Callable[[], Any]
    # A read-only call whose work is long, on make_big's instance.
    long_read: Callable[[Any], Any]
    # False for an engine that no call changes (its `change` is any exclusive call).
    stateful: bool = True


def _frozen(x):
    return tuple(_frozen(v) for v in x) if isinstance(x, (list, tuple)) else x


def _arr(a):
    return None if a is None else np.asarray(a).tobytes()


def _bipolar(seed, n):
    return np.asarray(tessarin.random_bipolar(1, n, seed=seed))[0]


def _cache(seed):
    c = tessarin.KeyValueCache(64)
    for i in range(12):
        c.store(f"key{seed}-{i}", f"value{i}", i)
    return c


def _causal(seed):
    m = tessarin.CausalMemory(64)
    for i in range(12):
        m.store(_bipolar(seed * 100 + i, 64), _bipolar(seed * 100 + 50 + i, 64), np.linspace(-1, 1, 64) * (i + 1))
    return m


_Q = _bipolar(7, 64)


def _swarm(seed, dim=64, agents=8):
    s = tessarin.Swarm(dim)
    for i in range(agents):
        s.add_agent(f"role{seed}-{i}", _bipolar(seed + i, dim), f"p{i}", _bipolar(50 + i, dim),
                    f"s{i}", _bipolar(90 + i, dim))
    return s


def _reasoner(seed, facts=10, links=10, dim=64):
    r = tessarin.MultiHopReasoner(dim)
    for i in range(facts):
        r.add_fact(np.ones(dim) if i % 2 else _bipolar(seed + i, dim))
    for i in range(links):
        r.add_link(i % facts, (i * 7 + 1) % facts)
    return r


def _meta(seed):
    m = tessarin.Metacognition(8)
    for i in range(5):
        m.record(0.1 * i, 0.5, 0.9, np.ones(8), seed + i)
    return m


def _scheduler(seed):
    s = tessarin.Scheduler(64, 2)
    for i in range(5):
        s.store_memory(f"task{seed}-{i}")
    return s


def _memory(seed, dim=64, rows=40):
    m = tessarin.ItemMemory(dim)
    m.add(tessarin.random_bipolar(rows, dim, seed=seed))
    m.add(np.linspace(-1, 1, 3 * dim, dtype=np.float32).reshape(3, dim))  # rows kept as floats
    return m


# Enough queries that a scan lets go of the interpreter lock.
_QUERIES = np.asarray(tessarin.random_bipolar(16, 64, seed=99))


def _memory_answers(m):
    scores, indices = m.search(_QUERIES, 7)
    return len(m), np.asarray(m.resonances(_QUERIES)).tobytes(), np.asarray(indices).tobytes(), np.asarray(scores).tobytes()


def _big_memory():
    m = tessarin.ItemMemory(1024)
    m.add(tessarin.random_bipolar(20_000, 1024, seed=3))
    return m


# Every companion class with the thread policy and persistence; a new class
# adds its line here.
CASES = [
    pytest.param(
        Case(
            cls=tessarin.ItemMemory,
            make=_memory,
            read=_memory_answers,
            change=lambda m, i: m.add(tessarin.random_bipolar(1, m.dim, seed=1000 + i)),
            make_big=_big_memory,
            long_read=lambda m: m.search(np.ones((1000, 1024), dtype=np.float32), 1),
        ),
        id="ItemMemory",
    ),
    pytest.param(Case(
        cls=tessarin.KeyValueCache, make=_cache,
        read=lambda c: (len(c), c.query("key1-3"), c.query("other"), c.get("new0"), _arr(c.accumulator_magnitude())),
        change=lambda c, i: c.store(f"new{i}", f"w{i}", i), make_big=None, long_read=None), id="KeyValueCache"),
    pytest.param(Case(
        cls=tessarin.CausalMemory, make=_causal,
        read=lambda m: (len(m), _arr(m.query_effect(_Q)), _arr(m.query_cause(_Q)), _arr(m.query_by_time(np.ones(64)))),
        change=lambda m, i: m.store(_Q, _bipolar(500 + i, 64), np.full(64, i + 0.5)), make_big=None, long_read=None),
        id="CausalMemory"),
    pytest.param(Case(
        cls=tessarin.Swarm, make=_swarm,
        read=lambda s: (len(s), _arr(s.swarm_vector), _frozen(s.materialize(_Q, 0.0)),
                        s.resonate("role1-2", _Q, [], 2)),
        change=lambda s, i: s.add_agent(f"x{i}", np.ones(s.dim), "p", _bipolar(600 + i, s.dim), "s", np.ones(s.dim)),
        make_big=lambda: _swarm(1, 1024, 40), long_read=lambda s: s.resonate("role1-0", np.ones(1024), [], 40_000)),
        id="Swarm"),
    pytest.param(Case(
        cls=tessarin.MultiHopReasoner, make=_reasoner,
        read=lambda r: (len(r), tuple(r.reason(np.ones(64), 2))),
        change=lambda r, i: r.add_fact(np.ones(64) * (i + 2)),
        make_big=lambda: _reasoner(1, 2000, 100_000), long_read=lambda r: r.reason(np.ones(64), 3)),
        id="MultiHopReasoner"),
    pytest.param(Case(
        cls=tessarin.Optimizer, make=lambda seed: tessarin.Optimizer(),
        read=lambda o: (repr(o), tuple(o.get_params().items())),
        change=lambda o, i: o.apply("learning_rate_increase" if i % 2 else "momentum_increase", 0.001 * (i + 1), "r"),
        make_big=None, long_read=None), id="Optimizer"),
    pytest.param(Case(
        cls=tessarin.SelfAudit, make=lambda seed: tessarin.SelfAudit(16),
        read=lambda a: (repr(a), _frozen(a.check_consistency(np.ones(16), np.ones(16)))),
        change=lambda a, i: a.full_audit(np.ones(16) * (i + 1)), make_big=None, long_read=None), id="SelfAudit"),
    pytest.param(Case(
        cls=tessarin.Metacognition, make=_meta,
        read=lambda m: (len(m), m.success_rate(), m.avg_resonance(), tuple(m.recommend())),
        change=lambda m, i: m.record(0.9, 0.1 * (i % 10), 0.5, np.ones(8), i), make_big=None, long_read=None),
        id="Metacognition"),
    pytest.param(Case(
        cls=tessarin.Scheduler, make=_scheduler,
        read=lambda s: (len(s), s.recall("task1-1"), s.feedback_strength(), _arr(s.export_holographic_state())),
        change=lambda s, i: s.store_memory(f"more{i}"), make_big=None, long_read=None), id="Scheduler"),
    pytest.param(Case(
        cls=tessarin.AttentionHead, make=lambda seed: tessarin.AttentionHead(8, 2),
        read=lambda h: repr(h), change=lambda h, i: h.compute(np.ones(8), [np.ones(8)], [np.ones(8)]),
        make_big=None, long_read=None, stateful=False), id="AttentionHead"),
    pytest.param(Case(
        cls=tessarin.GenEngine, make=lambda seed: tessarin.GenEngine(64),
        read=lambda g: _arr(g.generate_pixel_geometry(1, 2)), change=lambda g, i: None,
        make_big=None, long_read=None, stateful=False), id="GenEngine"),
]


def _case(name):
    return next(p.values[0] for p in CASES if p.id == name)


def _big_cache():
    # Every entry stored under the key is phase-checked by a lookup of it.
    c = tessarin.KeyValueCache(10**6)
    for i in range(16):
        c.store("k", f"v{i}", i)
    return c


def _long_facts():
    r = tessarin.MultiHopReasoner(8)
    fact = _bipolar(5, 10**6)
    for _ in range(800):
        r.add_fact(fact)
    return r


_LONG_QUERY = np.full(10**6, 0.5, dtype=np.float32)

# Reads made long by a large dim or by lengths beyond it, checked to let go of
# the interpreter lock (each takes some 30 ms).
LONG_READS = CASES + [
    pytest.param(replace(_case("KeyValueCache"), make_big=_big_cache, long_read=lambda c: c.get("k")),
                 id="KeyValueCache.get"),
    pytest.param(replace(_case("KeyValueCache"), make_big=_big_cache, long_read=lambda c: "k" in c),
                 id="KeyValueCache-in"),
    pytest.param(replace(_case("MultiHopReasoner"), make_big=_long_facts,
                         long_read=lambda r: r.reason(_LONG_QUERY, 0)), id="MultiHopReasoner-long-facts"),
]


def _continues_alike(case, a, b):
    """a and b answer alike now and after the same further changes."""
    assert case.read(a) == case.read(b)
    for i in range(3):
        case.change(a, i)
        case.change(b, i)
    assert case.read(a) == case.read(b)


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
@pytest.mark.parametrize("case", CASES)
def test_pickle_round_trip(case, protocol):
    original = case.make(1)
    restored = pickle.loads(pickle.dumps(original, protocol=protocol))
    assert type(restored) is case.cls and restored is not original
    _continues_alike(case, restored, original)


@pytest.mark.parametrize("case", CASES)
def test_pickle_protocol_5_passes_the_snapshot_out_of_band(case):
    original = case.make(2)
    buffers = []
    data = pickle.dumps(original, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and bytes(buffers[0].raw()) not in data  # small engines' too
    _continues_alike(case, pickle.loads(data, buffers=buffers), original)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
@pytest.mark.parametrize("case", CASES)
def test_copies_are_independent(case, clone):
    if not case.stateful:
        pytest.skip("no call changes this engine")
    original = case.make(3)
    before = case.read(original)
    twin = clone(original)
    assert type(twin) is case.cls and twin is not original
    assert case.read(twin) == before
    case.change(twin, 0)
    assert case.read(original) == before and case.read(twin) != before
    case.change(original, 0)
    assert case.read(original) == case.read(twin)


@pytest.mark.parametrize("as_path", [str, os.fsencode, lambda p: p], ids=["str", "bytes", "PathLike"])
@pytest.mark.parametrize("case", CASES)
def test_save_replaces_the_file_and_load_rebuilds(case, tmp_path, as_path):
    target = tmp_path / "engine.snap"
    case.make(4).save(as_path(target))
    original = case.make(5)
    original.save(as_path(target))  # over the previous file
    assert os.listdir(tmp_path) == ["engine.snap"]  # no temporary file left behind
    _continues_alike(case, case.cls.load(as_path(target)), original)


@pytest.mark.parametrize("case", CASES)
def test_file_errors_are_os_errors_naming_the_file(case, tmp_path):
    missing = str(tmp_path / "no such folder" / "engine.snap")
    with pytest.raises(FileNotFoundError) as raised:
        case.make(6).save(missing)
    assert raised.value.filename == missing
    with pytest.raises(FileNotFoundError) as raised:
        case.cls.load(missing)
    assert raised.value.filename == missing
    with pytest.raises(IsADirectoryError):
        case.cls.load(str(tmp_path))
    assert os.listdir(tmp_path) == []


def _damaged(good: bytes):
    flipped = bytearray(good)
    flipped[len(good) // 2] ^= 0x10
    early = bytearray(good)  # in the first fields of the state
    early[40] ^= 0x81
    newer = bytearray(good)
    newer[8] = 0x7F
    return [
        (b"", "truncated"),
        (good[: len(good) // 2], "truncated"),
        (good[:-1], "truncated"),
        (good + b"\0", "after its checksum"),
        (bytes(flipped), "checksum mismatch"),
        (bytes(early), "checksum mismatch"),
        (bytes(newer), "newer than this build reads"),
        (b"PK\3\4" + good[4:], "not a snapshot"),
    ]


# A large file is read through a window of about a mebibyte and its checksum
# checked at the end: damage anywhere in it is named as in a small one.
@pytest.mark.parametrize("big", [False, True], ids=["small", "big"])
@pytest.mark.parametrize("case", CASES)
def test_damaged_snapshots_are_value_errors_saying_what_is_wrong(case, big, tmp_path):
    if big and case.make_big is None:
        pytest.skip("no large instance of this engine")
    original = case.make_big() if big else case.make(7)
    target = tmp_path / "engine.snap"
    original.save(str(target))
    good = target.read_bytes()
    assert pickle.loads(pickle.dumps(original)) is not None
    for data, fragment in _damaged(good):
        target.write_bytes(data)
        with pytest.raises(ValueError, match=fragment):
            case.cls.load(str(target))
        with pytest.raises(ValueError, match=fragment):
            case.cls._from_snapshot(data)


@pytest.mark.parametrize(
    "first, second",
    [(a, b) for a in CASES for b in CASES if a.id != b.id],
)
def test_another_class_snapshot_is_refused(first, second, tmp_path):
    target = tmp_path / "engine.snap"
    first.values[0].make(8).save(str(target))
    with pytest.raises(ValueError, match="snapshot of .*, not of"):
        second.values[0].cls.load(str(target))


# The child saves a large engine over `target` again and again until it is
# killed; the file must always be a whole snapshot, old or new.
_SAVER = """
import sys, tessarin
m = tessarin.ItemMemory(1024)
m.add(tessarin.random_bipolar(200_000, 1024, seed=11))
print("ready", flush=True)
while True:
    m.save(sys.argv[1])
"""


def test_a_save_killed_part_way_leaves_a_loadable_file(tmp_path):
    target = tmp_path / "memory.snap"
    _memory(12).save(str(target))
    child = subprocess.Popen([sys.executable, "-c", _SAVER, str(target)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        # Let it get well into a save (a few of them, each of ~26 MB).
        threading.Event().wait(0.3)
    finally:
        child.kill()
        child.wait()
    loaded = tessarin.ItemMemory.load(str(target))
    assert len(loaded) in (43, 200_000)


@pytest.mark.parametrize("case", CASES)
def test_readers_and_a_writer_on_several_threads_see_whole_states(case):
    """Each reader's answers are, in order, answers of the single-threaded
    run after some prefix of the writer's changes."""
    if not case.stateful:
        pytest.skip("no call changes this engine")
    changes = 30
    reference = case.make(13)
    after = [case.read(reference)]
    for i in range(changes):
        case.change(reference, i)
        after.append(case.read(reference))
    index = {answer: k for k, answer in enumerate(after)}
    assert len(index) == len(after)  # every change shows

    shared = case.make(13)
    start = threading.Barrier(5)

    def reader():
        start.wait()
        seen = []
        for _ in range(60):
            seen.append(index[case.read(shared)])
        return seen

    def writer():
        start.wait()
        for i in range(changes):
            case.change(shared, i)

    with ThreadPoolExecutor(5) as pool:
        readers = [pool.submit(reader) for _ in range(4)]
        pool.submit(writer).result()
        for r in readers:
            seen = r.result()
            assert seen == sorted(seen)
    assert case.read(shared) == after[-1]


@pytest.mark.parametrize("case", CASES)
def test_made_on_one_thread_used_on_another_dropped_on_a_third(case):
    unraisable = []
    previous_hook = sys.unraisablehook
    sys.unraisablehook = unraisable.append
    try:
        with ThreadPoolExecutor(1) as pool:
            engine = pool.submit(case.make, 14).result()
        assert case.read(engine) == case.read(case.make(14))
        box = [engine]
        del engine
        with ThreadPoolExecutor(1) as pool:
            pool.submit(box.clear).result()
    finally:
        sys.unraisablehook = previous_hook
    assert unraisable == []


def _with_timer(handler, call):
    """call() with SIGALRM going to handler 20 ms in."""
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        return call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("case", CASES)
def test_a_handler_changing_the_engine_during_a_long_read_is_refused(case):
    if case.long_read is None:
        pytest.skip("no read of this engine is long")
    engine = case.make_big()
    before = pickle.dumps(engine)
    refused = []

    def handler(signum, frame):
        try:
            case.change(engine, 0)
        except RuntimeError as e:
            refused.append(str(e))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _with_timer(handler, lambda: case.long_read(engine))
    assert refused == ["Already borrowed"]
    assert pickle.dumps(engine) == before
    # Not left held: the same change now goes through.
    case.change(engine, 0)


@pytest.mark.parametrize("case", CASES)
def test_ctrl_c_ends_a_wait_for_the_lock(case):
    if case.long_read is None:
        pytest.skip("no read of this engine is long")
    engine = case.make_big()
    before = pickle.dumps(engine)
    holding = threading.Event()

    def hold():
        holding.set()
        case.long_read(engine)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    with ThreadPoolExecutor(1) as pool:
        reading = pool.submit(hold)
        holding.wait()
        threading.Event().wait(0.01)
        with pytest.raises(KeyboardInterrupt):
            _with_timer(interrupt, lambda: case.change(engine, 0))
        reading.result()
    assert pickle.dumps(engine) == before  # the interrupted change did nothing


@pytest.mark.parametrize("case", LONG_READS)
def test_a_long_read_lets_other_threads_run_python(case):
    """Held through the call, the interpreter lock would stop this thread's
    loop for the whole read, every time; let go, the loop only pauses for
    thread switches (and, on a busy machine, now and then for longer: a read
    of a few milliseconds gets three tries). The loop runs before the read
    begins, and threads switch often, so that a pause covers a held read."""
    if case.long_read is None:
        pytest.skip("no read of this engine is long")
    engine = case.make_big()

    def pause_and_read_time():
        started, go = threading.Event(), threading.Event()

        def read():
            started.set()
            go.wait()
            began = time.perf_counter()
            case.long_read(engine)
            return time.perf_counter() - began

        with ThreadPoolExecutor(1) as pool:
            future = pool.submit(read)
            started.wait()
            last = time.perf_counter()
            longest_pause = 0.0
            go.set()
            while not future.done():
                now = time.perf_counter()
                longest_pause = max(longest_pause, now - last)
                last = now
            return longest_pause, future.result()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        tries = [pause_and_read_time() for _ in range(3)]
    finally:
        sys.setswitchinterval(interval)
    assert any(pause < took / 2 for pause, took in tries), tries


# A call whose count of iterations is too large ever to end: a worker runs it,
# and the child's main thread must still get to print and leave.
_ENDLESS = """
import os, threading, time, tessarin
s = tessarin.Swarm(64)
s.add_agent("r", [1.0] * 64, "p", [1.0] * 64, "s", [1.0] * 64)
threading.Thread(target=s.resonate, args=("r", [1.0] * 64, [], 2**63), daemon=True).start()
time.sleep(0.05)
print("alive", flush=True)
os._exit(0)
"""


def test_an_endless_read_on_a_worker_leaves_the_interpreter_lock_to_others():
    child = subprocess.run([sys.executable, "-c", _ENDLESS], capture_output=True, text=True, timeout=60)
    assert child.stdout == "alive\n"
