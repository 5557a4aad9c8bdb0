"""The memory engines: a key-value cache, a cause-effect memory and a reasoner
that follows associations."""
import tessarin_hdc as hdc


def named(vector, codebook):
    """The codebook entry that resonates best with `vector`."""
    return max(codebook, key=lambda name: hdc.resonance(vector, codebook[name]))


def cache(section, show):
    section("Holographic key-value cache")
    c = hdc.PyHKVC(512)
    capitals = {"France": "Paris", "Japan": "Tokyo", "Peru": "Lima", "Kenya": "Nairobi"}
    for position, (country, city) in enumerate(capitals.items()):
        c.store(country, city, position)
    value, score = c.query("Japan")
    show("entries stored", c.count())
    show("query('Japan')  (exact path, score ~ 1/4)", (value, round(score, 3)))
    value, score = c.query("Narnia")
    show("query('Narnia')  (never stored: recall)", (value, round(score, 3)))
    c.store("Japan", "Kyoto", 9)
    show("'Japan' stored again: first store wins", c.query("Japan")[0])
    show(f"largest accumulator magnitude (<= {c.count()} entries)", round(max(c.accumulator_magnitude()), 3))


def causal(section, show):
    section("Causal memory")
    dim = 1024
    words = ["rain", "sprinkler", "sun", "wet street", "dry street", "monday", "tuesday", "wednesday"]
    hv = {w: hdc.hv_hash_string(w, dim) for w in words}
    m = hdc.PyCausalMemory(dim)
    m.store(hv["rain"], hv["wet street"], hv["monday"])
    m.store(hv["sprinkler"], hv["wet street"], hv["tuesday"])
    m.record(hv["sun"], hv["dry street"], hv["wednesday"])
    show("effect of rain", named(m.query_effect(hv["rain"]), hv))
    show("causes of a wet street", [named(v, hv) for v in m.query_cause(hv["wet street"])])
    show("what happened on wednesday", named(m.query_by_time(hv["wednesday"]), hv))
    # An unknown cause misses the index; the trace then answers by resonance.
    guess = m.recall_effect(hdc.hv_hash_string("hail", dim))
    show("effect of an unseen cause (hail)", named(guess, hv) if guess else "nothing")


def reasoner(section, show):
    section("Multi-hop reasoner")
    dim = 256
    concepts = ["socrates", "man", "mortal", "athens", "teacher"]
    hv = [hdc.hv_hash_string(c, dim) for c in concepts]
    r = hdc.PyMultiHopReasoner(dim)
    for v in hv:
        r.add_fact(v)
    for a, b in [("socrates", "man"), ("man", "mortal"), ("socrates", "athens")]:
        r.add_link(concepts.index(a), concepts.index(b))
    # A noisy recollection of "socrates": a tenth of its components flipped.
    probe = [-x if i % 10 == 0 else x for i, x in enumerate(hv[0])]
    for hops in (0, 1, 2):
        found = [(concepts[k], round(s, 3)) for k, s in r.reason(probe, hops)]
        show(f"reason(noisy socrates, hops={hops})", found)


def demo(section, show):
    cache(section, show)
    causal(section, show)
    reasoner(section, show)


if __name__ == "__main__":
    demo(lambda title: print(f"\n== {title} =="), lambda label, value: print(f"{label:<44} {value}"))
