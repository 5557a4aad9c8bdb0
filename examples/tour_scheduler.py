"""The holographic scheduler: concepts superposed in one world vector,
recalled by resonance, with a feedback loop and an attention search."""
import tessarin_hdc as hdc

DIM = 1024


def demo(section, show):
    section("Holographic scheduler: store and recall concepts")
    sched = hdc.PyHoloCPUScheduler(DIM, 8)
    for concept in ["render frame", "decode audio", "flush cache"]:
        sched.store_memory(concept)
    for probe in ["decode audio", "flush cache", "compile shaders"]:
        show(f"recall({probe!r})", sched.recall(probe))
    state = sched.export_holographic_state()
    show("holographic state: components at +1, 0, -1",
         f"{state.count(1.0)}, {state.count(0.0)}, {state.count(-1.0)}")
    role = sched.generate_role("scheduler")
    show("generate_role('scheduler') starts", role[:8])
    show("integrity check", sched.run_audit_integrity_check())

    section("Feedback moves the learning rate")
    for signal in [0.9, 0.8, 0.2, 0.5]:
        sched.process_feedback(signal)
        show(f"after feedback {signal}", f"{sched.feedback_strength():.3f}")

    section("Grover search: attention over keys given with the call")
    keys = [hdc.hv_hash_string(name, DIM) for name in ["cpu", "gpu", "disk"]]
    values = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    # A query that is the "gpu" key with a tenth of its components flipped.
    query = [-x if i % 10 == 0 else x for i, x in enumerate(keys[1])]
    out = sched.quantum_grover_search(query, keys, values)
    show("read-out, first three components", [round(x, 3) for x in out[:3]])
    head = hdc.PyQuantumAttentionHead(DIM, 8)
    show("same as PyQuantumAttentionHead.compute", head.compute(query, keys, values) == out)
