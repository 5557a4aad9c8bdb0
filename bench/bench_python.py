"""End-to-end timings of the module functions through the Python API.

Each figure is printed as a ratio against a baseline measured in the same run:
`list(v)` for the same vector length (the least any call that takes a list and
returns a list can cost), and for the buffer layouts `hdc_bind` on a contiguous
float32 array. Usage: python bench/bench_python.py [dim ...]
"""
import array
import sys
import timeit

import tessarin_hdc as hdc

try:
    import numpy as np
except ImportError:
    np = None


def best_of(fn, repeat=5, number=None):
    timer = timeit.Timer(fn)
    if number is None:
        number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def run(dim):
    a = hdc.hv_hash_string("a", dim)
    b = hdc.hv_hash_string("b", dim)
    baseline = best_of(lambda: list(a))
    cases = {
        "hdc_bind": lambda: hdc.hdc_bind(a, b),
        "hdc_bundle": lambda: hdc.hdc_bundle(a, b),
        "resonance": lambda: hdc.resonance(a, b),
        "hdc_permute": lambda: hdc.hdc_permute(a, 7),
        "normalise_bipolar": lambda: hdc.normalise_bipolar(a),
        "hv_hash": lambda: hdc.hv_hash(a),
        "hv_hash_string": lambda: hdc.hv_hash_string("abc", dim),
        "rand_bipolar": lambda: hdc.rand_bipolar(dim),
        "encode_system_state": lambda: hdc.encode_system_state(dim, 50.0, 25.0, 3, 1500),
        "bundle_diagnostics": lambda: hdc.bundle_diagnostics(a, 50.0, 25.0, 3, 1500),
        "pure-Python bind (reference)": lambda: [x * y for x, y in zip(a, b)],
    }
    print(f"dim {dim}: baseline list(v) = {baseline * 1e6:.1f} us")
    for name, fn in cases.items():
        t = best_of(fn)
        print(f"  {name:<30} {t * 1e6:10.1f} us  {t / baseline:7.1f}x baseline")
    run_buffers(a)


def buffer_layouts(v):
    """The same bipolar components in every buffer layout an argument can have
    (ones where the type is unsigned, so that every product is still 1)."""
    layouts = {"array('f')": array.array("f", v), "array('d')": array.array("d", v)}
    layouts["array('i')"] = array.array("i", map(int, v))
    layouts["memoryview[::2]"] = memoryview(array.array("f", [x for x in v for _ in (0, 1)]))[::2]
    if np is not None:
        f32 = np.array(v, dtype=np.float32)
        layouts.update(
            {
                "numpy float32": f32,
                "numpy float32 [::2]": np.repeat(f32, 2)[::2],
                "numpy float32 [::-1]": f32[::-1],
                "numpy >f4 (big-endian)": f32.astype(">f4"),
                "numpy float16": f32.astype(np.float16),
                "numpy float64": f32.astype(np.float64),
                "numpy >f8 (big-endian)": f32.astype(">f8"),
                "numpy int8": f32.astype(np.int8),
                "numpy int64": f32.astype(np.int64),
                "numpy >i8 (big-endian)": f32.astype(">i8"),
                "numpy uint64 [::3]": np.ones(3 * len(v), dtype=np.uint64)[::3],
            }
        )
    return layouts


def ratios_to_baseline(calls, baseline):
    """Each call's time over the baseline's, the baseline timed just before and
    just after it (best of both), so that a slow spell on a shared machine
    moves both sides of a ratio alike."""
    base = [best_of(baseline)]
    out = {}
    for name, call in calls.items():
        t = best_of(call)
        base.append(best_of(baseline))
        out[name] = t / min(base[-2:])
    return out, min(base)


def run_buffers(v):
    """hdc_bind(x, x) and hv_hash(x) (whose time is mostly the conversion) for
    every layout, against the same call on a contiguous float32 buffer."""
    layouts = buffer_layouts(v)
    layouts["list of floats"] = v
    base = layouts["numpy float32" if np is not None else "array('f')"]
    bind, bind_base = ratios_to_baseline(
        {name: (lambda x=x: hdc.hdc_bind(x, x)) for name, x in layouts.items()}, lambda: hdc.hdc_bind(base, base)
    )
    hash_, hash_base = ratios_to_baseline(
        {name: (lambda x=x: hdc.hv_hash(x)) for name, x in layouts.items()}, lambda: hdc.hv_hash(base)
    )
    print(f"  buffers: contiguous float32 baseline hdc_bind {bind_base * 1e6:.1f} us, hv_hash {hash_base * 1e6:.1f} us")
    for name in layouts:
        print(f"    {name:<28} hdc_bind {bind[name]:6.2f}x   hv_hash {hash_[name]:6.2f}x baseline")


if __name__ == "__main__":
    for dim in [int(x) for x in sys.argv[1:]] or [1024, 10000]:
        run(dim)
