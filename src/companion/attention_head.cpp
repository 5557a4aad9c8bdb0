#include "engines/quantum_attention_head.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = QuantumAttentionHead;
using C = ClassBuilder<E, "AttentionHead(dim, nqubits)",
                       "tessarin_hdc.PyQuantumAttentionHead with an array out and empty or unequal keys and values\n"
                       "refused as ValueError.",
                       Threading::Shared, "tessarin">;

FloatArray compute(E& h, HvView query, std::span<const Hypervector> keys, std::span<const Hypervector> values) {
    require_keys_and_values("compute", keys.size(), values.size());
    // The head holds no state, so a fault leaves nothing to undo: only the
    // read-out of dim components can fail, when no address space holds it.
    try {
        return as_array(h.compute(query, keys, values));
    } catch (const Fault&) {
        refuse("compute: dim " + std::to_string(h.dim()) + " is too large: the read-out could never be held in memory");
    }
}

}  // namespace

const ClassDef attention_head_class = C::define(
    C::init<std::uint64_t, std::uint64_t>(),
    C::method<"compute($self, query, keys, values)", &compute,
              "The values weighted by the keys' amplitudes for the query, as a float32 array.">(),
    C::repr<+[](const E& e) {
        return "<tessarin.AttentionHead dim=" + std::to_string(e.dim()) + " nqubits=" + std::to_string(e.nqubits()) +
               ">";
    }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
