"""The module object: its names, their order, docstrings and signatures."""
import inspect
import subprocess
import sys

import pytest

import tessarin_hdc as hdc

FUNCTIONS = [
    "rand_bipolar", "resonance", "hdc_bind", "hdc_bundle", "hdc_unbind", "hebbian",
    "hdc_permute", "normalise_bipolar", "hv_hash", "hv_hash_string", "diagnostic_role",
    "encode_system_state", "bundle_diagnostics", "extract_system_state",
]
CLASSES = [
    "PyCausalMemory", "PyMultiHopReasoner", "PyMetacognition", "PySelfAudit", "PyOptimizer",
    "PyQuantumAttentionHead", "PyHoloCPUScheduler", "PyHoloGenEngine", "PyHoloSwarm", "PyHKVC",
]

SIGNATURES = {
    "rand_bipolar": "(dim)",
    "resonance": "(a, b)",
    "hdc_bind": "(a, b)",
    "hdc_bundle": "(a, b)",
    "hdc_unbind": "(compound, key)",
    "hebbian": "(weights, pre, post, lr, dim)",
    "hdc_permute": "(v, n)",
    "normalise_bipolar": "(v)",
    "hv_hash": "(v)",
    "hv_hash_string": "(s, dim)",
    "diagnostic_role": "(dim)",
    "encode_system_state": "(dim, ram_pct, cpu_pct, error_count, latency_us)",
    "bundle_diagnostics": "(payload, ram_pct, cpu_pct, error_count, latency_us)",
    "extract_system_state": "(bundled)",
}


def test_all_lists_functions_then_classes_in_order():
    assert hdc.__all__ == FUNCTIONS + CLASSES


def test_no_public_names_beyond_all():
    public = {name for name in vars(hdc) if not name.startswith("_")}
    assert public == set(hdc.__all__)
    assert hdc.__doc__ == ""


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature_and_module(name):
    fn = getattr(hdc, name)
    assert fn.__module__ == "tessarin_hdc"
    assert fn.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


def test_documented_docstrings_are_exact():
    assert hdc.resonance.__doc__ in ("", None)
    assert hdc.hdc_permute.__doc__.endswith("Example: [a,b,c,d] rotated right by 1 → [d,a,b,c]")
    assert hdc.hdc_bind.__doc__.startswith("Bind: element-wise multiplication (Patent §Definition 2")
    assert hdc.hebbian.__doc__.splitlines()[0] == "Hebbian weight update: W' = W + η · (pre ⊗ post)"
    assert "* `dim` — hypervector dimension" in hdc.hebbian.__doc__


def test_only_the_init_symbol_is_exported():
    so = hdc.__file__
    assert so.endswith("tessarin_hdc.abi3.so")
    nm = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_tessarin_hdc"]


def test_reimport_in_fresh_interpreter_is_deterministic():
    code = "import tessarin_hdc as h; print(h.hv_hash_string('abc', 8), h.diagnostic_role(4))"
    runs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
            for _ in range(2)}
    assert runs == {"[1.0, 1.0, -1.0, 1.0, -1.0, 1.0, 1.0, 1.0] [-1.0, 1.0, -1.0, -1.0]\n"}
