#include "engines/multi_hop_reasoner.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<MultiHopReasoner, "PyMultiHopReasoner(dim)">;

}  // namespace

const ClassDef multi_hop_reasoner_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"add_fact($self, fact)", &MultiHopReasoner::add_fact, "Register a fact and return its index.">(),
    C::method<"add_link($self, a, b)", &MultiHopReasoner::add_link,
              "Register a link between two fact indices (undirected association).">(),
    C::method<"reason($self, query, hops)", &MultiHopReasoner::reason,
              "Query for facts resonating with `query`, exploring up to `hops` hops.\n\n"
              "Returns a list of (fact_index, resonance_score) sorted by resonance descending.\n"
              "Hop-0: direct resonance with all facts.\n"
              "Each subsequent hop follows links to associated facts.">(),
    C::method<"reset($self)", &MultiHopReasoner::reset, "Reset all facts and associations.">());

}  // namespace tessarin::py
