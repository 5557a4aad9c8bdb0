#include "engines/causal_memory.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = CausalMemory;
using C = ClassBuilder<E, "CausalMemory(dim)",
                       "Cause -> effect relations stamped with a time vector: tessarin_hdc.PyCausalMemory with\n"
                       "arrays out, len() and a short vector refused as ValueError.",
                       Threading::Shared, "tessarin">;

void store(E& m, Hypervector cause, Hypervector effect, Hypervector time) {
    require_components("store", "cause", cause.size(), m.dim());
    require_components("store", "effect", effect.size(), m.dim());
    require_components("store", "time", time.size(), m.dim());
    m.store(std::move(cause), std::move(effect), std::move(time));
}

std::optional<FloatArray> query_effect(const E& m, HvView cause) { return as_array(m.query_effect(cause)); }
RowsResult query_cause(const E& m, HvView effect) { return {m.query_cause(effect), m.dim()}; }
std::optional<FloatArray> query_by_time(const E& m, HvView time) { return as_array(m.query_by_time(time)); }

// A query may scan every record (the holographic fallback, or by time).
std::uint64_t scan_units(const E& m) { return (m.size() + 1) * m.dim(); }

}  // namespace

const ClassDef causal_memory_class = C::define(
    C::constructor<&sized_engine<E>>(),
    C::method<"store($self, cause, effect, time)", &store,
              "Records a relation; each vector needs at least dim components.">(),
    C::method<"record($self, cause, effect, time)", &store, "Alias for store().">(),
    C::long_method<"query_effect($self, cause)", &query_effect, "The effect recorded for this cause, or None.",
                   WorkOf<&scan_units>{}>(),
    C::long_method<"recall_effect($self, cause)", &query_effect, "Alias for query_effect().",
                   WorkOf<&scan_units>{}>(),
    C::long_method<"query_cause($self, effect)", &query_cause,
                   "Every known cause of this effect, best first: an (n, length) array, or a list of arrays when\n"
                   "the causes differ in length.",
                   WorkOf<&scan_units>{}>(),
    C::long_method<"recall_cause($self, effect)", &query_cause, "Alias for query_cause().",
                   WorkOf<&scan_units>{}>(),
    C::long_method<"query_by_time($self, time)", &query_by_time, "The effect recorded at this time, or None.",
                   WorkOf<&scan_units>{}>(),
    C::long_method<"recall_by_time($self, time)", &query_by_time, "Alias for query_by_time().",
                   WorkOf<&scan_units>{}>(),
    C::length<&E::size>(),
    C::repr<+[](const E& e) { return engine_repr("CausalMemory", e.dim(), "records", e.size()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
