#include "engines/optimizer.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = Optimizer;
using C = ClassBuilder<E, "Optimizer()", "The cognitive-parameter optimizer of tessarin_hdc.PyOptimizer.",
                       Threading::Shared, "tessarin">;

}  // namespace

const ClassDef optimizer_class = C::define(
    C::init<>(),
    C::method<"apply($self, action, delta, reason)", &E::apply, "Applies an action to the parameters.">(),
    C::method<"rollback($self)", &E::rollback, "Undoes the last applied action.">(),
    C::method<"get($self, name)", &E::get, "A parameter's value, or None for an unknown name.">(),
    C::method<"get_params($self)", +[](const E& o) { return as_dict(o.get_params()); }, "Every parameter by name.">(),
    C::repr<+[](const E& e) { return "<tessarin.Optimizer history=" + std::to_string(e.history_size()) + ">"; }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
