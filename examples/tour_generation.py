"""The generation engine: graphics primitives as deterministic sign vectors."""
import tessarin_hdc as hdc

DIM = 1024


def agreement(a, b):
    """Fraction of components on which two sign vectors agree."""
    return sum(x == y for x, y in zip(a, b)) / len(a)


def brief(v, n=12):
    return "".join("+" if x > 0 else "-" for x in v[:n]) + "..."


def demo(section, show):
    section("Generation engine: pixels, materials, photons, BVH nodes")
    gen = hdc.PyHoloGenEngine(DIM)

    pixel = gen.generate_pixel_geometry(640, 360, 7)
    show("pixel (640, 360) in frame 7", brief(pixel))
    show("same pixel from (360, 640): symmetric", gen.generate_pixel_geometry(360, 640, 7) == pixel)
    show("agreement with the next frame (~0.5)", round(agreement(pixel, gen.generate_pixel_geometry(640, 360, 8)), 3))

    # A material code only sees the parity of the coarse position and normal
    # buckets: moving a little keeps it, crossing one bucket negates it.
    brick = gen.generate_material_mapping([1.0, 2.0, 0.0], [0.0, 1.0, 0.0], 12)
    show("material 12 at (1, 2, 0)", brief(brick))
    moved = gen.generate_material_mapping([2.3, 2.0, 0.0], [0.0, 1.0, 0.0], 12)
    show("material 12 at (2.3, 2, 0): same code", moved == brick)
    shifted = gen.generate_material_mapping([1.7, 2.0, 0.0], [0.0, 1.0, 0.0], 12)
    show("material 12 one bucket over: negated", shifted == [-x for x in brick])

    red = gen.generate_photon("red")
    show("photon 'red'", brief(red))
    show("= origin, +x, 650 nm given explicitly", gen.generate_photon([0, 0, 0], [1, 0, 0], 650.0) == red)
    show("' Orange ' names the amber photon", gen.generate_photon(" Orange ") == gen.generate_photon("amber"))
    try:
        gen.generate_photon("magenta")
    except ValueError as exc:
        show("photon 'magenta'", exc)

    # Binding is its own inverse, so a node built with an all-ones right child
    # hands back the left child once the sibling leaf's code is bound in again.
    leaf_a = gen.generate_pixel_geometry(1, 2)
    leaf_b = gen.generate_pixel_geometry(3, 4)
    box = ([-1.0, -1.0, -1.0], [1.0, 1.0, 1.0])
    node = gen.encode_bvh_node(*box, leaf_a, leaf_b)
    show("BVH node over two leaves", brief(node))
    probe = gen.encode_bvh_node(*box, [1] * DIM, leaf_b)
    show("node * node(ones, right) recovers left", gen.simulate_counterfactual(node, probe) == leaf_a)

    after = gen.simulate_counterfactual("scene with the lamp on", "switch the lamp off")
    show("counterfactual of two texts", brief(after))
