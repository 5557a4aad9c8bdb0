#include "engines/holo_cpu_scheduler.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = HoloCPUScheduler;
using C = ClassBuilder<E, "Scheduler(dim, quantum_capacity)",
                       "A holographic scheduler memory: tessarin_hdc.PyHoloCPUScheduler with arrays out, len() and\n"
                       "empty or unequal keys and values refused as ValueError.",
                       Threading::Shared, "tessarin">;

FloatArray grover(E& s, HvView query, std::span<const Hypervector> keys, std::span<const Hypervector> values) {
    require_keys_and_values("quantum_grover_search", keys.size(), values.size());
    return as_array(s.quantum_grover_search(query, keys, values));
}

}  // namespace

const ClassDef scheduler_class = C::define(
    C::constructor<&sized_engine<E, std::uint64_t>>(),
    C::method<"dimension($self)", &E::dimension>(),
    C::method<"quantum_capacity($self)", &E::quantum_capacity>(),
    C::method<"store_memory($self, target)", &E::store_memory, "Stores a concept.">(),
    C::method<"recall($self, target)", &E::recall, "Whether a concept is recalled.">(),
    C::method<"export_holographic_state($self)", +[](const E& s) { return as_array(s.export_holographic_state()); },
              "The holographic state, as a float32 array.">(),
    C::method<"process_feedback($self, signal)", &E::process_feedback>(),
    C::method<"feedback_strength($self)", &E::feedback_strength>(),
    C::method<"quantum_grover_search($self, query, keys, values)", &grover,
              "The attention read-out of values by the keys' resonance with the query, as a float32 array.">(),
    C::method<"run_audit_integrity_check($self)", &E::run_audit_integrity_check>(),
    C::method<"generate_role($self, label)", +[](const E& s, std::string_view label) {
                  return as_array(s.generate_role(label));
              }, "A label's +-1 role vector, as a float32 array.">(),
    C::property<"dim", &E::dimension>(),
    C::property<"qc", &E::quantum_capacity>(),
    C::length<&E::concept_count>(),
    C::repr<+[](const E& e) { return engine_repr("Scheduler", e.dimension(), "concepts", e.concept_count()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
