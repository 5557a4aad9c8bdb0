"""Long calls answer Ctrl-C. A child process builds an object, runs one call
that would take far longer than the test, and gets a SIGINT from this process
0.3 s into it: KeyboardInterrupt must arrive within a second, the object must
answer exactly as before the call, and a changing call must work afterwards
(the interrupted call released its borrow)."""
import textwrap

import pytest

import tessarin_hdc as hdc

from conftest import interrupt_child

# SETUP defines the object, answers() (what must not change) and follow_up()
# (a changing call); LONG_CALL is the call to interrupt.
CHILD = """
import json, time
import tessarin_hdc as hdc
SETUP
before = answers()
print("ready", flush=True)
try:
    LONG_CALL
    outcome = "completed"
except BaseException as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
arrived = time.monotonic()
same = answers() == before
follow_up()
print(json.dumps({"outcome": outcome, "arrived": arrived, "same": same}), flush=True)
"""

CASES = {
    # A read-only call whose iteration count the caller chooses.
    "resonate": (
        """
        dim = 4096
        swarm = hdc.PyHoloSwarm(dim)
        for i in range(48):
            r, p, s = (hdc.hv_hash_string(t + str(i), dim) for t in "rps")
            swarm.add_agent("r" + str(i), r, "p" + str(i), p, "s" + str(i), s)
        guess = hdc.hv_hash_string("p3", dim)
        def answers():
            return swarm.resonate("r3", guess, guess, 2), swarm.swarm_vector
        def follow_up():
            swarm.add_agent("x", guess, "y", guess, "z", guess)
        """,
        "swarm.resonate('r3', guess, guess, 10**12)",
    ),
    # A chain of facts, one hop per round, each round comparing every link.
    "reason": (
        """
        dim = 256
        reasoner = hdc.PyMultiHopReasoner(dim)
        for i in range(6000):
            reasoner.add_fact(hdc.hv_hash_string("f" + str(i), dim))
        for i in range(5999):
            reasoner.add_link(i, i + 1)
        for _ in range(500_000):
            reasoner.add_link(10**9, 10**9 + 1)  # never followed, always compared
        query = hdc.hv_hash_string("f0", dim)
        def answers():
            return reasoner.reason(query, 3)
        def follow_up():
            reasoner.add_fact(query)
        """,
        "reasoner.reason(query, 10**9)",
    ),
    # A changing call stopped while its huge argument is read.
    "store": (
        """
        dim = 64
        swarm = hdc.PyHoloSwarm(dim)
        v = hdc.hv_hash_string("v", dim)
        swarm.add_agent("a", v, "b", v, "c", v)
        def answers():
            return swarm.swarm_vector, swarm.resonate("a", v, v, 1)
        def follow_up():
            swarm.add_agent("x", v, "y", v, "z", v)
        """,
        "swarm.add_agent('x', range(2 * 10**8), 'y', v, 'z', v)",
    ),
    # A load from a pipe whose writer stalls part way: the read waits in the
    # system, and Ctrl-C must end it all the same.
    "load from a stalled pipe": (
        """
        import os, signal, tempfile, threading, tessarin
        memory = tessarin.ItemMemory(64)
        memory.add(tessarin.random_bipolar(10, 64, seed=1))
        whole = os.path.join(tempfile.mkdtemp(), "memory.snap")
        memory.save(whole)
        data = open(whole, "rb").read()
        fifo = whole + ".pipe"
        os.mkfifo(fifo)
        def feed():
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            with open(fifo, "wb") as f:
                f.write(data[: len(data) // 2])
                f.flush()
                threading.Event().wait()
        threading.Thread(target=feed, daemon=True).start()
        def answers():
            return memory.get(3).tolist(), len(memory)
        def follow_up():
            memory.add(tessarin.random_bipolar(1, 64, seed=2))
        """,
        "tessarin.ItemMemory.load(fifo)",
    ),
}


# Signal handlers run in the middle of the call, while it holds its borrow: a
# handler that tries to change the object is refused, and its error ends the call.
CASES["resonate, handler changes the swarm"] = (
    CASES["resonate"][0]
    + """
        import signal
        signal.signal(signal.SIGINT, lambda signum, frame: follow_up())
        """,
    CASES["resonate"][1],
)
OUTCOME = {"resonate, handler changes the swarm": "RuntimeError: Already borrowed"}


@pytest.mark.parametrize("case", sorted(CASES))
def test_sigint_stops_a_long_call_and_leaves_the_object_as_it_was(case):
    setup, long_call = CASES[case]
    script = CHILD.replace("SETUP", textwrap.dedent(setup)).replace("LONG_CALL", long_call)
    status, report, sent = interrupt_child(script, 0.3)
    assert status == 0
    assert report["outcome"] == OUTCOME.get(case, "KeyboardInterrupt: ")
    assert report["arrived"] - sent < 1.0
    assert report["same"]


# The scans over stored vectors are fast enough that no store a test can build
# keeps one busy for 0.3 s, so a timer signal is set to go off 3 ms into a
# recall scan over a few thousand entries (tens of milliseconds on any machine).
def test_timer_signal_stops_a_recall_scan_and_leaves_the_cache_as_it_was():
    import signal

    cache = hdc.PyHKVC(1024)
    for i in range(6000):
        cache.store(f"key-{i}", f"value-{i}", i)
    before = cache.query("a key never stored"), cache.accumulator_magnitude()

    def stop(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        with pytest.raises(KeyboardInterrupt):
            signal.setitimer(signal.ITIMER_REAL, 0.003)
            cache.query("a key never stored")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert (cache.query("a key never stored"), cache.accumulator_magnitude()) == before
    cache.store("after", "works", 0)
