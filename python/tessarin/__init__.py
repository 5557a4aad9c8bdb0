"""Arrays in, arrays out: codebooks, exact bundles and an exact item memory
over the same C++ core as tessarin_hdc.

The engine classes (KeyValueCache, Swarm, CausalMemory, MultiHopReasoner,
Optimizer, SelfAudit, Metacognition, Scheduler, AttentionHead, GenEngine)
run the same engines as the classes of tessarin_hdc, answer the same calls
alike, and refuse bad input with ordinary exceptions.

Every result is an :class:`Array` sharing its memory with numpy
(``np.asarray(result)`` copies nothing); every number equals what
tessarin_hdc gives for the same row, bit for bit.
"""

from tessarin._native import (
    Array,
    __version__,
    AttentionHead,
    CausalMemory,
    GenEngine,
    ItemMemory,
    KeyValueCache,
    Metacognition,
    MultiHopReasoner,
    Optimizer,
    Scheduler,
    SelfAudit,
    Swarm,
    bind_bundle,
    bundle,
    hash_strings,
    random_bipolar,
    resonances,
)

__all__ = [
    "Array",
    "AttentionHead",
    "CausalMemory",
    "GenEngine",
    "ItemMemory",
    "KeyValueCache",
    "Metacognition",
    "MultiHopReasoner",
    "Optimizer",
    "Scheduler",
    "SelfAudit",
    "Swarm",
    "bind_bundle",
    "bundle",
    "hash_strings",
    "random_bipolar",
    "resonances",
]
