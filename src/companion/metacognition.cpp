#include "engines/metacognition.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = Metacognition;
using C = ClassBuilder<E, "Metacognition(dim)", "The metacognition record of tessarin_hdc.PyMetacognition, with len().",
                       Threading::Shared, "tessarin">;

}  // namespace

const ClassDef metacognition_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"record($self, res, coh, acc, context, hash)",
              static_cast<void (E::*)(float, float, float, Hypervector, std::uint64_t)>(&E::record),
              "Logs one observation (a context of another length than dim is ignored).">(),
    C::method<"success_rate($self)", &E::success_rate>(),
    C::method<"avg_resonance($self)", &E::avg_resonance>(),
    C::method<"recommend($self)", &E::recommend>(),
    C::length<&E::record_count>(),
    C::repr<+[](const E& e) { return engine_repr("Metacognition", e.dim(), "records", e.record_count()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
