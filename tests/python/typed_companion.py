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
