// Causal memory: cause -> effect relations stamped with a time vector.
//
// Every relation is kept twice: exactly, as a record holding full copies of
// the three vectors and reachable through sign-fingerprint indexes of its cause
// and effect; and holographically, in one trace vector to which every relation
// adds cause, effect and time, each bound with its own fixed role vector. A
// query tries the exact path first and, when that finds nothing with a
// positive score, unbinds the trace with the query and scans every record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/algebra.hpp"
#include "core/row_store.hpp"

namespace tessarin {

// n components of +-1.0: the xorshift sign stream seeded by the digest of
// `label` under the counted framing (byte length, then bytes).
Hypervector role_hypervector(std::string_view label, std::uint64_t n);

class CausalMemory {
public:
    // An empty memory with a zero trace of `dim` components.
    explicit CausalMemory(std::uint64_t dim);

    // Records the relation. Each vector needs at least `dim` components (a
    // shorter one is a Fault and changes nothing); longer ones are kept whole
    // and only their first `dim` components enter the trace.
    void store(Hypervector cause, Hypervector effect, Hypervector time);

    // The effect of the best-matching record for this cause, or none.
    std::optional<Hypervector> query_effect(HvView cause) const;
    // The causes of every record matching this effect, best first.
    std::vector<Hypervector> query_cause(HvView effect) const;
    // The effect of the record whose time best matches, or none.
    std::optional<Hypervector> query_by_time(HvView time) const;

    std::uint64_t dim() const { return dim_; }
    std::uint64_t size() const { return causes_.size(); }

private:
    using Index = std::unordered_map<std::uint64_t, std::vector<std::uint64_t>>;

    // The trace unbound by role and query: (role[i] * query[i]) * trace[i].
    Hypervector holographic_probe(HvView role, HvView query) const;

    // Record j is row j of each store, kept whole (exactly bipolar rows as
    // sign bits); the three grow and shrink together.
    RowStore causes_;
    RowStore effects_;
    RowStore times_;
    Hypervector trace_;
    Hypervector cause_role_;
    Hypervector effect_role_;
    Hypervector temporal_role_;
    Index cause_index_;
    Index effect_index_;
    std::uint64_t dim_;
};

}  // namespace tessarin
