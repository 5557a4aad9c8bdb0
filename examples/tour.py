"""A short tour of tessarin_hdc: the algebra, the generators and the engines."""
import tessarin_hdc as hdc


def section(title):
    print(f"\n== {title} ==")


def show(label, value):
    print(f"{label:<44} {value}")


def algebra():
    section("Hypervector algebra")
    dim = 1000
    king, crown = hdc.hv_hash_string("king", dim), hdc.hv_hash_string("crown", dim)
    pair = hdc.hdc_bind(king, crown)
    show("resonance(king, crown)  (unrelated ~ 0.5)", round(hdc.resonance(king, crown), 3))
    show("unbind(king*crown, king) == crown", hdc.hdc_unbind(pair, king) == crown)
    show("bundle keeps both: resonance with king", round(hdc.resonance(hdc.hdc_bundle(king, crown), king), 3))
    show("permute([a,b,c,d], 1)", hdc.hdc_permute([1.0, 2.0, 3.0, 4.0], 1))
    show("normalise_bipolar([2, -4, 1])", hdc.normalise_bipolar([2.0, -4.0, 1.0]))


def generators():
    section("Generators and fingerprints")
    show("hv_hash_string('abc', 8)", hdc.hv_hash_string("abc", 8))
    show("same text, same vector, every process", hdc.hv_hash_string("abc", 64) == hdc.hv_hash_string("abc", 64))
    show("hv_hash([1, -1, 1])", hdc.hv_hash([1.0, -1.0, 1.0]))
    show("rand_bipolar(8)", hdc.rand_bipolar(8))


def diagnostics():
    section("System-state diagnostics riding on a payload")
    dim = 2048
    payload = hdc.hv_hash_string("the payload", dim)
    encoding = hdc.encode_system_state(dim, 50.0, 25.0, 3, 1500)
    carried = hdc.bundle_diagnostics(payload, 50.0, 25.0, 3, 1500)
    recovered = hdc.extract_system_state(carried)
    other = hdc.encode_system_state(dim, 90.0, 5.0, 0, 20)
    zeros = [0.0] * dim

    def sign(v):  # bundling with zeros keeps only the signs
        return hdc.hdc_bundle(v, zeros)

    show("sign agreement, recovered vs true state", round(hdc.resonance(sign(recovered), sign(encoding)), 3))
    show("sign agreement, recovered vs another state", round(hdc.resonance(sign(recovered), sign(other)), 3))


def hebbian():
    section("Sparse Hebbian update")
    w = hdc.hebbian([0.0] * 16, [1.0] * 4, [1.0, 0.5, -1.0, 2.0], 0.5, 4)
    for row in range(4):
        show(f"row {row}", w[row * 4:(row + 1) * 4])


# Each engine's demonstration lives beside this file as tour_<topic>.py with a
# demo(section, show) function; they run in this order.
ENGINE_TOURS = ["memory", "swarm", "regulation", "scheduler", "generation"]


def engines():
    import importlib
    import pathlib
    import sys

    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    for topic in ENGINE_TOURS:
        if (here / f"tour_{topic}.py").exists():
            importlib.import_module(f"tour_{topic}").demo(section, show)


if __name__ == "__main__":
    algebra()
    generators()
    diagnostics()
    hebbian()
    engines()
