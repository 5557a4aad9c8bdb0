"""Interrupt latency of long calls, measured from the parent process.

For each call a child process builds its inputs, says it is ready, and starts
the call; the parent sends SIGINT after a short delay and the child reports
when KeyboardInterrupt arrived. The latency is that moment minus the moment
the signal was sent (both on the system-wide monotonic clock).

    PYTHONPATH=build/dev python3 bench/interrupt_latency.py
"""
import pathlib
import sys
import textwrap

# The child launcher is the one the interruption tests use.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from conftest import interrupt_child  # noqa: E402
from test_interrupt import CASES as TEST_CASES  # noqa: E402

CHILD = """
import json, time
import tessarin_hdc as hdc
SETUP
print("ready", flush=True)
try:
    CALL
    outcome = "completed"
except KeyboardInterrupt:
    outcome = "interrupted"
print(json.dumps({"outcome": outcome, "arrived": time.monotonic()}), flush=True)
"""

# name, set-up, call, delay before the signal (shorter for calls that fill memory fast)
CASES = [
    ("resonate, 48 agents, dim 4096", *TEST_CASES["resonate"], 0.3),
    ("reason, 6000-fact chain, 500k links", *TEST_CASES["reason"], 0.3),
    ("argument conversion, range(10**9)", "", "hdc.hv_hash(range(10**9))", 0.3),
    ("argument conversion, list of 10**8 floats", "big = [0.5] * 10**8", "hdc.hv_hash(big)", 0.05),
    ("argument conversion, buffer of 10**8 floats", "import array\nbig = array.array('f', bytes(4 * 10**8))",
     "hdc.hv_hash(big)", 0.05),
    ("result conversion, swarm vector of 10**8", "swarm = hdc.PyHoloSwarm(10**8)", "swarm.swarm_vector", 0.1),
    ("rand_bipolar(10**9)", "", "hdc.rand_bipolar(10**9)", 0.1),
    ("hv_hash_string(s, 10**9)", "", "hdc.hv_hash_string('s', 10**9)", 0.1),
    ("hebbian, 10**8 weights (mostly the result list)",
     """
     import array
     w = array.array("f", bytes(4 * 10**8))
     v = [1.0] * 10**5
     """,
     "hdc.hebbian(w, v, v, 0.5, 10**5)", 0.3),
    ("PyHoloGenEngine(10**9)", "", "hdc.PyHoloGenEngine(10**9)", 0.1),
]


def measure(setup, call, delay):
    script = CHILD.replace("SETUP", textwrap.dedent(setup)).replace("CALL", call)
    _, report, sent = interrupt_child(script, delay)
    return report["outcome"], (report["arrived"] - sent) * 1000.0


def main():
    for name, setup, call, delay in CASES:
        outcome, latency_ms = measure(setup, call, delay)
        print(f"{name:45s}  {outcome:11s}  {latency_ms:8.1f} ms")


if __name__ == "__main__":
    main()
