"""Self-regulation: a log of outcomes recommends parameter changes, the
optimizer applies and undoes them, and audits watch vectors for decay."""
import tessarin_hdc as hdc

DIM = 256


def demo(section, show):
    section("Metacognition: outcomes become recommended actions")
    meta = hdc.PyMetacognition(DIM)
    context = hdc.hv_hash_string("the task", DIM)
    for res, acc in [(0.9, 0.4), (0.3, 0.2), (0.8, 0.9), (0.35, 0.6)]:
        meta.record(res, 0.5, acc, context, 1)
    meta.record(0.99, 0.99, 0.99, context[:10], 2)  # wrong context length: not logged
    show("success rate, avg resonance", f"{meta.success_rate():.2f}, {meta.avg_resonance():.3f}")
    advice = meta.recommend()
    for action, delta, reason in advice:
        show(f"  recommend {action}", f"{delta:+.3f}  ({reason})")

    section("Optimizer: apply the advice as it comes, then undo it")
    opt = hdc.PyOptimizer()
    names = ["learning_rate", "attention_weight", "identity_lr"]

    def params():
        return ", ".join(f"{n}={opt.get(n):.3f}" for n in names)

    show("before", params())
    for triple in advice:
        opt.apply(*triple)
    show(f"after {len(advice)} recommendations", params())
    opt.rollback()
    show("one rollback undoes the last action", params())
    for _ in advice:
        opt.rollback()
    show("further rollbacks stop at the start", params())

    section("Self-audit: drift and history consistency")
    audit = hdc.PySelfAudit(DIM)
    healthy = hdc.hv_hash_string("a healthy state", DIM)
    show("first audit", audit.full_audit(healthy))
    faded = [x if i % 4 else 0.0 for i, x in enumerate(healthy)]  # a quarter of the components lost
    show("a faded copy", audit.full_audit(faded))
    show("its negation", audit.full_audit([-x for x in healthy]))
    show("check_consistency(healthy, faded)", audit.check_consistency(healthy, faded))
