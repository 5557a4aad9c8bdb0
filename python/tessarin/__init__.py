"""Arrays in, arrays out: codebooks, exact bundles and an exact item memory
over the same C++ core as tessarin_hdc.

Every result is an :class:`Array` sharing its memory with numpy
(``np.asarray(result)`` copies nothing); every number equals what
tessarin_hdc gives for the same row, bit for bit.
"""

from tessarin._native import (
    Array,
    ItemMemory,
    __version__,
    bind_bundle,
    bundle,
    hash_strings,
    random_bipolar,
    resonances,
)

__all__ = ["Array", "ItemMemory", "bind_bundle", "bundle", "hash_strings", "random_bipolar", "resonances"]
