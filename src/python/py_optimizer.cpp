#include "engines/optimizer.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<Optimizer, "PyOptimizer()">;

}  // namespace

const ClassDef optimizer_class = C::define(
    C::init<>(),
    C::method<"apply($self, action, delta, reason)", &Optimizer::apply>(),
    C::method<"rollback($self)", &Optimizer::rollback>(),
    C::method<"get($self, name)", &Optimizer::get,
              "Get a cognitive parameter value by name.\n\n"
              "Valid names: \"learning_rate\", \"attention_weight\", \"momentum\", \"excitation_bias\",\n"
              "\"inhibition_bias\", \"identity_lr\", \"exploration_rate\".\n"
              "Returns None if the parameter is not set.">(),
    C::method<"get_params($self)", +[](const Optimizer& o) { return as_dict(o.get_params()); }>());

}  // namespace tessarin::py
