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
template <class Step>
auto refusing_reason_faults(std::uint64_t facts, Step&& step) {
    try {
        return step();
    } catch (const Fault& f) {
        if (std::string_view(f.what()) == kUnwrapNone) {
            refuse("reason: the results cannot be ordered, a score is NaN (a fact or the query reached holds "
                   "NaN or infinite components)");
        }
        throw std::out_of_range("reason: a link leads to a fact that does not exist (" + std::to_string(facts) +
                                " facts): " + f.what());
    }
}

std::vector<E::Result> reason(const E& r, HvView query, std::uint64_t hops) {
    return refusing_reason_faults(r.fact_count(), [&] { return r.reason(query, hops); });
}

// Every fact scored against the query (facts may have any length; none is
// scored past the query's), then, when there are hops, the link list scanned
// once per fact reached.
std::uint64_t scan_units(const E& r, HvView query) {
    return saturating_product(r.fact_count() + 1, query.size() + 1);
}
std::uint64_t reason_units(const E& r, HvView query, std::uint64_t hops) {
    const std::uint64_t links = hops == 0 ? 0 : saturating_product(r.fact_count(), r.link_count());
    return saturating_sum(scan_units(r, query), links);
}

// ---- a reasoner split over processes (tessarin.dask) ----
// One object keeps the links and no fact and runs the rounds and the final
// order; shards keep facts and score them. Facts and queries are converted
// once, by the links' object, and travel as float32 arrays. Private, and
// reported under this module's own name (not the package's) so that pickle
// finds them when a shard is made on a worker.

using Links = ClassBuilder<E, "_ReasonerLinks(dim)", "The links of a reasoner whose facts live elsewhere.",
                          Threading::Shared, "tessarin._native">;
using Facts = ClassBuilder<E, "_ReasonerFacts(dim)", "Facts of a reasoner whose links live elsewhere.",
                          Threading::Shared, "tessarin._native">;

std::vector<std::uint64_t> fact_indices(const IndexTable& t, std::uint64_t facts) {
    std::vector<std::uint64_t> out;
    out.reserve(t.values.size());
    for (const std::int64_t k : t.values) {
        if (k < 0 || static_cast<std::uint64_t>(k) >= facts) {
            throw std::out_of_range("fact " + std::to_string(k) + " out of range for " + std::to_string(facts));
        }
        out.push_back(static_cast<std::uint64_t>(k));
    }
    return out;
}

// One round from the facts reached so far (the last ones, from
// `frontier_start` on, being the frontier), of `facts` facts in all: the
// neighbours it reaches, in order. The visited flags are made again from the
// facts reached, so that nothing of a search is kept here between rounds.
std::vector<std::uint64_t> links_round(const E& r, const IndexTable& reached, Count frontier_start, Count facts) {
    const std::vector<std::uint64_t> seen = fact_indices(reached, facts.value);
    if (frontier_start.value > seen.size()) throw std::out_of_range("frontier_start beyond the facts reached");
    std::vector<char> visited(static_cast<std::size_t>(facts.value), 0);
    for (const std::uint64_t k : seen) visited[static_cast<std::size_t>(k)] = 1;
    const auto frontier = std::span(seen).subspan(static_cast<std::size_t>(frontier_start.value));
    return refusing_reason_faults(facts.value, [&] { return r.follow_links(frontier, visited); });
}

// The facts reached, with their scores, in reason()'s order.
std::vector<E::Result> ranked(const E&, const IndexTable& reached, const FloatTable& scores, Count facts) {
    const std::vector<std::uint64_t> seen = fact_indices(reached, facts.value);
    if (scores.values.size() != seen.size()) throw InputError("one score per fact reached");
    std::vector<E::Result> results;
    for (std::size_t i = 0; i < seen.size(); ++i) results.emplace_back(seen[i], scores.values[i]);
    refusing_reason_faults(facts.value, [&] {
        E::rank_results(results);
        return 0;
    });
    return results;
}

// (the query as the shards are to read it, hops)
Ref reason_arguments(const E&, Hypervector query, std::uint64_t hops) {
    return make_tuple(to_python(as_array(std::move(query))), to_python(hops));
}

std::vector<E::Result> direct_matches(const E& r, HvView query) { return E::direct_matches(r.scores(query)); }

FloatArray fact_scores(const E& r, HvView query, const IndexTable& facts) {
    return as_array(r.scores(query, fact_indices(facts, r.fact_count())));
}

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
                   &reason_units>(),
    C::method<"reset($self)", &E::reset, "Forgets every fact and link.">(),
    C::length<&E::fact_count>(),
    C::repr<+[](const E& e) { return engine_repr("MultiHopReasoner", e.dim(), "facts", e.fact_count()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

const ClassDef reasoner_links_class = Links::define(
    Links::init<std::uint64_t>(),
    Links::method<"add_link($self, a, b)", &E::add_link, "Links facts a and b.">(),
    Links::method<"fact($self, fact)", +[](const E&, Hypervector fact) { return as_array(std::move(fact)); },
                  "A fact as the shards are to keep it.">(),
    Links::method<"reason_arguments($self, query, hops)", &reason_arguments, "(query, hops)">(),
    Links::method<"round($self, reached, frontier_start, facts)", &links_round,
                  "The neighbours one round reaches, in order.">(),
    Links::method<"ranked($self, reached, scores, facts)", &ranked, "[(fact index, score)], best first.">(),
    Links::method<"reset($self)", &E::reset, "Forgets every link.">(),
    Links::length<&E::link_count>());

const ClassDef reasoner_facts_class = Facts::define(
    Facts::init<std::uint64_t>(),
    Facts::method<"add_fact($self, fact)", &E::add_fact, "Keeps a fact; returns its index here.">(),
    Facts::long_method<"direct($self, query)", &direct_matches, "[(fact index, score)] admitted at hop 0.",
                       &scan_units>(),
    Facts::method<"scores($self, query, facts)", &fact_scores, "The scores of the given facts.">(),
    Facts::method<"reset($self)", &E::reset, "Forgets every fact.">(),
    Facts::length<&E::fact_count>());

}  // namespace tessarin::py
