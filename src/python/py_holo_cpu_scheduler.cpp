#include "engines/holo_cpu_scheduler.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<HoloCPUScheduler, "PyHoloCPUScheduler(dim, quantum_capacity)">;

}  // namespace

const ClassDef holo_cpu_scheduler_class = C::define(
    C::init<std::uint64_t, std::uint64_t>(),
    C::method<"dimension($self)", &HoloCPUScheduler::dimension>(),
    C::method<"quantum_capacity($self)", &HoloCPUScheduler::quantum_capacity>(),
    C::method<"store_memory($self, target)", &HoloCPUScheduler::store_memory,
              "Store a concept via RSM (Patent §6.2):\n"
              "key_hv = encode(target), value_hv = encode(target)\n"
              "WV ⊕= bind(key_hv, value_hv)">(),
    C::method<"recall($self, target)", &HoloCPUScheduler::recall,
              "O(1) holographic associative recall (Patent §6.2):\n"
              "query_hv = encode(target), recalled = WV ⊗ query_hv\n"
              "Then find best match in value codebook via resonance">(),
    C::method<"export_holographic_state($self)", &HoloCPUScheduler::export_holographic_state>(),
    C::method<"process_feedback($self, signal)", &HoloCPUScheduler::process_feedback>(),
    C::method<"feedback_strength($self)", &HoloCPUScheduler::feedback_strength>(),
    C::method<"quantum_grover_search($self, query, keys, values)", &HoloCPUScheduler::quantum_grover_search>(),
    C::method<"run_audit_integrity_check($self)", &HoloCPUScheduler::run_audit_integrity_check>(),
    C::method<"generate_role($self, label)", &HoloCPUScheduler::generate_role>(),
    C::property<"dim", &HoloCPUScheduler::dimension>(),
    C::property<"qc", &HoloCPUScheduler::quantum_capacity>());

}  // namespace tessarin::py
