"""A user's script for the companion package, checked with `mypy --strict`
against its stub: numpy arrays and sequences in, arrays out and into numpy."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import tessarin


def classify(images: npt.NDArray[np.float64], labels: list[int]) -> npt.NDArray[np.int64]:
    codebook = tessarin.random_bipolar(10, images.shape[1], seed=1)
    memory = tessarin.ItemMemory(images.shape[1])
    first: int = memory.add(codebook)
    prototypes = [tessarin.bundle(images[[i for i, c in enumerate(labels) if c == k]]) for k in set(labels)]
    memory.add([np.asarray(p) for p in prototypes])
    scores, indices = memory.search(images, 3)
    table: npt.NDArray[np.float32] = np.asarray(tessarin.resonances(images, [[1.0] * images.shape[1]]))
    shape: tuple[int, ...] = scores.shape + table.shape
    names = tessarin.hash_strings(["a", "b"], 8).tolist()
    pixels: npt.NDArray[np.intp] = np.zeros((len(labels), images.shape[1] // 8), dtype=np.intp)
    records = tessarin.bind_bundle(images[: images.shape[1] // 8], codebook, pixels, sign=False)
    assert records.shape == (len(labels), images.shape[1])
    assert first == 0 and len(memory) == 12 and memory.dim == images.shape[1] and shape and names
    return np.asarray(indices, dtype=np.int64) + len(memory.get(0))


def refused() -> None:
    tessarin.bundle([[1.0]], sign=1.5)  # type: ignore[arg-type]
    tessarin.bind_bundle([[1.0]], [[1.0]], [[0]])  # type: ignore[arg-type]


def engines(rows: npt.NDArray[np.float32]) -> tuple[int, str | None, bool]:
    cache = tessarin.KeyValueCache(64)
    cache.store("k", "v", 0)
    value: str | None = cache.get("k")
    memory = tessarin.CausalMemory(rows.shape[1])
    memory.store(rows[0], rows[1], rows[2])
    effect = memory.query_effect(rows[0])
    causes = memory.query_cause(rows[1])
    swarm = tessarin.Swarm(rows.shape[1])
    swarm.add_agent("r", rows[0], "p", rows[1], "s", rows[2])
    state: npt.NDArray[np.float32] = np.asarray(swarm.swarm_vector)
    gen = tessarin.GenEngine(64)
    pixel = gen.generate_pixel_geometry(1, 2)
    signs: npt.NDArray[np.int8] = np.asarray(gen.encode_bvh_node([0.0] * 3, [0.0] * 3, pixel, pixel))
    codebook = tessarin.random_bipolar(2, 64, seed=1)
    read = tessarin.AttentionHead(64, 1).compute(rows[0], codebook, codebook)
    found = "k" in cache and effect is not None and len(causes) == 1 and state.size + signs.size + len(read) > 0
    return len(memory) + len(swarm) + len(cache), value, found
