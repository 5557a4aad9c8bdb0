"""End-to-end timings of the module functions through the Python API.

Each figure is printed as a ratio against a baseline measured in the same run:
`list(v)` for the same vector length (the least any call that takes a list and
returns a list can cost). Usage: python bench/bench_python.py [dim ...]
"""
import sys
import timeit

import tessarin_hdc as hdc


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


if __name__ == "__main__":
    for dim in [int(x) for x in sys.argv[1:]] or [1024, 10000]:
        run(dim)
