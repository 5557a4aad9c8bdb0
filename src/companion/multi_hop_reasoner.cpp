#include "engines/multi_hop_reasoner.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = MultiHopReasoner;
using C = ClassBuilder<E, "MultiHopReasoner(dim)",
                       "Facts linked into a graph and reached by hops: tessarin_hdc.PyMultiHopReasoner with len()\n"
                       "and its faults as ordinary exceptions.",
                       Threading::Shared, "tessarin">;

// reason() changes nothing, so its faults can be named after the fact: a
// followed link to a fact that does not exist, or scores with no order.
std::vector<E::Result> reason(const E& r, HvView query, std::uint64_t hops) {
    try {
        return r.reason(query, hops);
    } catch (const Fault& f) {
        if (std::string_view(f.what()) == kUnwrapNone) {
            refuse("reason: the results cannot be ordered, a score is NaN (a fact or the query reached holds "
                   "NaN or infinite components)");
        }
        throw std::out_of_range("reason: a link leads to a fact that does not exist (" +
                                std::to_string(r.fact_count()) + " facts): " + f.what());
    }
}

// Every fact scored against the query.
std::uint64_t scan_units(const E& r) { return (r.fact_count() + 1) * r.dim(); }

}  // namespace

const ClassDef multi_hop_reasoner_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"add_fact($self, fact)", &E::add_fact, "Registers a fact and returns its index.">(),
    C::method<"add_link($self, a, b)", &E::add_link,
              "Links facts a and b (either may be added later; reason() refuses a link it follows to a fact\n"
              "that does not exist by then).">(),
    C::long_method<"reason($self, query, hops)", &reason,
                   "[(fact index, score)]: the facts resonating with the query and those reached within `hops`\n"
                   "links, best first.",
                   WorkOf<&scan_units>{}>(),
    C::method<"reset($self)", &E::reset, "Forgets every fact and link.">(),
    C::length<&E::fact_count>(),
    C::repr<+[](const E& e) { return engine_repr("MultiHopReasoner", e.dim(), "facts", e.fact_count()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
