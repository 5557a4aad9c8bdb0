// Multi-hop reasoner: resonance search over facts joined by undirected links.
//
// Hop 0 admits the facts that resonate strongly with the query; every further
// hop follows the links out of the facts reached in the previous hop to
// neighbours not reached yet, whatever their own resonance, so that facts
// associated with a strong match come back too.
//
// Costs, for f facts of length d and l links: add_fact is amortised O(d)
// (1 bit per component when the fact is exactly bipolar, 4 bytes otherwise),
// add_link amortised O(1). reason scores every fact once, O(f * d) with many
// facts per pass (core/scan.hpp), then each hop scans the whole link list
// once per frontier fact, O(frontier * l) (links are not indexed); it
// allocates one score and one flag per fact. Both adds leave the reasoner
// unchanged on std::bad_alloc; add_fact faults "capacity overflow" for a fact
// no address space could hold.
//
// reason() is also offered in its parts, for facts kept apart from the links
// (shards holding facts, one object holding the links): a fact's score
// depends only on the fact and the query, and the rounds only on the links,
// the facts reached and how many facts there are.
//
// Threads: a plain object without locks. `reason` changes nothing and may run
// concurrently with itself; the adds and reset need every other use excluded.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/algebra.hpp"
#include "core/row_store.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

class MultiHopReasoner {
public:
    // (fact index, resonance with the query)
    using Result = std::pair<std::uint64_t, float>;

    // `dim` is only recorded: facts and queries of any length are accepted.
    explicit MultiHopReasoner(std::uint64_t dim) : dim_(dim) {}

    // Keeps a copy of the fact; returns its index (the number of facts before).
    std::uint64_t add_fact(Hypervector fact);

    // Links are not validated here: an end may name a fact that does not exist
    // (yet); `reason` faults only if it ever follows such a link.
    void add_link(std::uint64_t a, std::uint64_t b);

    // Every fact reached within `hops` expansion rounds, strongest first (ties
    // in the order reached). Stops as soon as a round reaches nothing new.
    // Faults: a followed link naming a missing fact is "index out of bounds:
    // the len is <facts> but the index is <end>"; a NaN score among the facts
    // reached is "called `Option::unwrap()` on a `None` value". May unwind
    // with Cancelled (scoring and each hop poll).
    std::vector<Result> reason(HvView query, std::uint64_t hops) const;

    // ---- the parts of reason ----
    // Hop 0 over every fact's score (fact k scoring scores[k]): the facts
    // admitted, in index order.
    static std::vector<Result> direct_matches(std::span<const float> scores);
    // Every fact's score for the query, and the score of the given facts
    // alone (std::out_of_range for an index that names no fact).
    std::vector<float> scores(HvView query) const;
    std::vector<float> scores(HvView query, std::span<const std::uint64_t> facts) const;
    // One expansion round over this reasoner's links: the neighbours of the
    // frontier not yet visited, in the order reached, marked visited now.
    // `visited` holds one flag per fact of the whole reasoner; a neighbour
    // beyond it faults as reason() does. May unwind with Cancelled.
    std::vector<std::uint64_t> follow_links(std::span<const std::uint64_t> frontier, std::vector<char>& visited) const;
    // The final order of reason(): best first, ties in the order reached;
    // faults as reason() does when a score is NaN.
    static void rank_results(std::vector<Result>& results);

    // Forgets every fact and link; `dim` stays.
    void reset();

    std::uint64_t dim() const { return dim_; }
    std::uint64_t fact_count() const { return facts_.size(); }
    std::uint64_t link_count() const { return links_.size(); }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::multi_hop_reasoner;
    static MultiHopReasoner from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static MultiHopReasoner read_state(SnapshotReader& r, std::uint64_t dim);

private:
    RowStore facts_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> links_;
    std::uint64_t dim_;
};

}  // namespace tessarin
