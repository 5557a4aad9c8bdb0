import json
import math
import os
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest

# Under AddressSanitizer a failed allocation aborts the process instead of
# throwing, so the MemoryError path can only be exercised in normal builds.
needs_real_allocator = pytest.mark.skipif(
    os.environ.get("TESSARIN_SANITIZED") == "1", reason="the sanitizer allocator aborts on exhaustion"
)


def f32(x: float) -> float:
    """The value of x rounded to the nearest 32-bit float (overflow gives infinity)."""
    if math.isnan(x) or math.isinf(x):
        return x
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        # pack refuses magnitudes past the float range; round-to-nearest makes them infinite
        # unless they round down to the largest finite float.
        largest = struct.unpack("<f", struct.pack("<I", 0x7F7FFFFF))[0]
        half_ulp = 2.0 ** 103
        if abs(x) < largest + half_ulp:
            return math.copysign(largest, x)
        return math.copysign(math.inf, x)


def same_floats(got, want) -> bool:
    """Element-wise identity, so that -0.0 differs from 0.0 and NaN equals NaN."""
    if len(got) != len(want):
        return False
    return all(
        (math.isnan(g) and math.isnan(w)) or (g == w and math.copysign(1, g) == math.copysign(1, w))
        for g, w in zip(got, want)
    )


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what the interpreter reports through sys.unraisablehook."""
    import sys

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info))
    return seen


class Reentry:
    """An argument whose conversion calls `inner` on the object being called,
    whether it is read as a float, an integer or a sequence of `items`.
    `outcome` is "ok" or the message of the RuntimeError the inner call met."""

    def __init__(self, inner, items=()):
        self.inner = inner
        self.items = list(items)
        self.outcome = None

    def _reenter(self):
        try:
            self.inner()
            self.outcome = "ok"
        except RuntimeError as exc:
            self.outcome = str(exc)

    def __float__(self):
        self._reenter()
        return 0.0

    def __index__(self):
        self._reenter()
        return 0

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self._reenter()
        return iter(self.items)


def raised(call):
    """The exception `call` raises, whatever its base (the panic is no Exception)."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError("the call did not raise")


def run_in_thread(fn):
    """Runs fn on a new thread; returns {"value": result} or {"error": exception}."""
    box = {}

    def target():
        try:
            box["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - the panic is a BaseException
            box["error"] = exc

    t = threading.Thread(target=target)
    t.start()
    t.join()
    return box


# A process started with SIGINT ignored (a background job, nohup) passes that
# on, and an interpreter that starts so leaves it ignored: the child puts
# Python's KeyboardInterrupt handler in place itself, before it can say ready.
SIGINT_RAISES = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"


def interrupt_child(script, delay):
    """Runs `script` in a new interpreter, sends it SIGINT `delay` seconds after
    it prints "ready", and returns (its exit status, the JSON object it prints
    last, the time the signal was sent on the system-wide monotonic clock).
    The child always starts with SIGINT ignored, as under a background job, so
    that every run meets the case however the tests themselves were started."""
    child = subprocess.Popen([sys.executable, "-c", SIGINT_RAISES + script], stdout=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, json.loads(out), sent
