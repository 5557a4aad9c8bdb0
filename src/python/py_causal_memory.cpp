#include "engines/causal_memory.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<CausalMemory, "PyCausalMemory(dim)">;

}  // namespace

// Each alias is a second table line with the same target, so it converts,
// borrows and fails exactly as the method it names.
const ClassDef causal_memory_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"store($self, cause, effect, time)", &CausalMemory::store,
              "Record a causal relationship.\n\n"
              "# Arguments\n"
              "* `cause` — cause hypervector\n"
              "* `effect` — effect hypervector\n"
              "* `time` — time-role hypervector">(),
    C::method<"record($self, cause, effect, time)", &CausalMemory::store,
              "Alias for store(), matching the Rust CausalMemory API.">(),
    C::method<"query_effect($self, cause)", &CausalMemory::query_effect,
              "Given a cause, retrieve the predicted effect.\n\n"
              "Returns the first recorded effect for this cause, if any.">(),
    C::method<"recall_effect($self, cause)", &CausalMemory::query_effect,
              "Alias for query_effect(), matching the Rust CausalMemory API.">(),
    C::method<"query_cause($self, effect)", &CausalMemory::query_cause,
              "Given an effect, retrieve all known causes.\n\n"
              "Returns a list of cause hypervectors that led to this effect.">(),
    C::method<"recall_cause($self, effect)", &CausalMemory::query_cause,
              "Alias for query_cause(), matching the Rust CausalMemory API.">(),
    C::method<"query_by_time($self, time)", &CausalMemory::query_by_time,
              "Given a time-role hypervector, retrieve the effect at that time.">(),
    C::method<"recall_by_time($self, time)", &CausalMemory::query_by_time,
              "Alias for query_by_time(), matching the Rust CausalMemory API.">());

}  // namespace tessarin::py
