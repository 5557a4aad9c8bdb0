#include "engines/self_audit.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = SelfAudit;
using C = ClassBuilder<E, "SelfAudit(dim)", "The self-audit of tessarin_hdc.PySelfAudit.", Threading::Shared,
                       "tessarin">;

}  // namespace

const ClassDef self_audit_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"full_audit($self, hv)", &E::full_audit, "Audits a hypervector and records the result.">(),
    C::method<"check_consistency($self, h1, h2)", &E::check_consistency, "Audits the agreement of two vectors.">(),
    C::repr<+[](const E& e) { return engine_repr("SelfAudit", e.dim(), "audits", e.history_size()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
