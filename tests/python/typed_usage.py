"""A user's script, checked with `mypy --strict` against the shipped stub.

Every vector parameter takes each kind of vector a user has at hand; the lines
marked `type: ignore[...]` must stay type errors (strict mode reports an ignore
that is no longer needed, so a stub that starts accepting them fails)."""
from __future__ import annotations

import array
from typing import Union

import numpy as np
import numpy.typing as npt

import tessarin_hdc as hdc

AnyVector = Union[
    list[float], list[int], tuple[float, ...], range, "array.array[float]", "array.array[int]",
    npt.NDArray[np.float32], npt.NDArray[np.float64],
]


def every_vector_parameter(v: AnyVector) -> list[object]:
    rows = [v, v]
    out: list[object] = [
        hdc.resonance(v, v), hdc.hdc_bind(v, v), hdc.hdc_bundle(v, v), hdc.hdc_unbind(v, v),
        hdc.hebbian(v, v, v, 0.5, 2), hdc.hdc_permute(v, 1), hdc.normalise_bipolar(v), hdc.hv_hash(v),
        hdc.bundle_diagnostics(v, 50.0, 25.0, 3, 1500), hdc.extract_system_state(v),
    ]
    memory = hdc.PyCausalMemory(3)
    memory.store(v, v, v)
    memory.record(v, v, v)
    out += [memory.query_effect(v), memory.recall_effect(v), memory.query_cause(v), memory.recall_cause(v),
            memory.query_by_time(v), memory.recall_by_time(v)]
    reasoner = hdc.PyMultiHopReasoner(3)
    reasoner.add_fact(v)
    out.append(reasoner.reason(v, 1))
    meta = hdc.PyMetacognition(3)
    meta.record(0.9, 0.5, 0.9, v, 1)
    audit = hdc.PySelfAudit(3)
    out += [audit.full_audit(v), audit.check_consistency(v, v)]
    out.append(hdc.PyQuantumAttentionHead(3, 1).compute(v, rows, rows))
    scheduler = hdc.PyHoloCPUScheduler(3, 1)
    out.append(scheduler.quantum_grover_search(v, rows, rows))
    gen = hdc.PyHoloGenEngine(32)
    out += [gen.generate_material_mapping(v, v, 1), gen.generate_photon(v, v, 500.0),
            gen.encode_bvh_node(v, v, [1] * 32, np.ones(32, dtype=np.int8))]
    swarm = hdc.PyHoloSwarm(3)
    swarm.add_agent("r", v, "p", v, "s", v)
    swarm.add_paradox_trap(["a", "b"], rows, rows)
    swarm.swarm_vector = v
    out += [swarm.resonate("r", v, v, 1), swarm.materialize(v, 0.5)]
    return out


def kinds() -> list[AnyVector]:
    return [
        [1.0, -1.0, 1.0], [1, -1, 1], (1.0, -1.0, 1.0), range(3), array.array("d", [1.0, -1.0, 1.0]),
        array.array("i", [1, -1, 1]), np.ones(3, dtype=np.float32), np.ones(3, dtype=np.float64),
    ]


def matrices() -> list[object]:
    m = np.ones((2, 3), dtype=np.float32)
    return [hdc.PyQuantumAttentionHead(3, 1).compute(m[0], m, m), hdc.hdc_bind(m[0], m[1])]


def refused() -> None:
    hdc.hdc_bind("abc", [1.0])  # type: ignore[arg-type]
    hdc.resonance([1.0], {0: 1.0})  # type: ignore[arg-type]
    hdc.hv_hash({"a": 1.0})  # type: ignore[arg-type]
    hdc.PyCausalMemory(3).store("abc", [1.0], [1.0])  # type: ignore[arg-type]
    hdc.PyQuantumAttentionHead(3, 1).compute([1.0], "ab", [[1.0]])  # type: ignore[arg-type]
    hdc.PyHoloGenEngine(3).generate_material_mapping({0: 1.0}, [0, 0, 0], 1)  # type: ignore[arg-type]
    hdc.PyHoloGenEngine(3).encode_bvh_node([0, 0, 0], [0, 0, 0], [1.5, 2.0], [1, 1])  # type: ignore[list-item]
    hdc.rand_bipolar(2.0)  # type: ignore[arg-type]
    hdc.hv_hash_string(b"abc", 8)  # type: ignore[arg-type]


if __name__ == "__main__":
    for kind in kinds():
        every_vector_parameter(kind)
    matrices()
