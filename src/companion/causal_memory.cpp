#include "engines/causal_memory.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = CausalMemory;
using C = ClassBuilder<E, "CausalMemory(dim)",
                       "Cause -> effect relations stamped with a time vector: tessarin_hdc.PyCausalMemory with\n"
                       "arrays out, len() and a short vector refused as ValueError.",
                       Threading::Shared, "tessarin">;

void require_store_lengths(const E& m, HvView cause, HvView effect, HvView time) {
    require_components("store", "cause", cause.size(), m.dim());
    require_components("store", "effect", effect.size(), m.dim());
    require_components("store", "time", time.size(), m.dim());
}

void store(E& m, Hypervector cause, Hypervector effect, Hypervector time) {
    require_store_lengths(m, cause, effect, time);
    m.store(std::move(cause), std::move(effect), std::move(time));
}

std::optional<FloatArray> query_effect(const E& m, HvView cause) { return as_array(m.query_effect(cause)); }
RowsResult query_cause(const E& m, HvView effect) { return {m.query_cause(effect), m.dim()}; }
std::optional<FloatArray> query_by_time(const E& m, HvView time) { return as_array(m.query_by_time(time)); }

// A query hashes itself, may make a probe of dim and scan every record twice
// (by the query, then by the probe; neither scores past the query's length),
// and copies its answer out of the records.
std::uint64_t scan_units(const E& m, HvView query) {
    const std::uint64_t scans = saturating_product(2 * (m.size() + 1), query.size() + 1);
    return saturating_sum(saturating_sum(scans, m.dim()), m.record_components());
}

// ---- a memory split over processes (tessarin.dask) ----
// One object keeps the trace and no record; shards keep records and leave
// their trace alone. Vectors are converted once, by the trace's object, and
// travel to the shards as float32 arrays, which every later conversion reads
// unchanged; answers come back to it to leave in this class's forms. Private,
// and reported under this module's own name (not the package's) so that
// pickle finds them when a shard is made on a worker.

using Trace = ClassBuilder<E, "_CausalTrace(dim)", "The trace of a causal memory whose records live elsewhere.",
                           Threading::Shared, "tessarin._native">;
using Records = ClassBuilder<E, "_CausalRecords(dim)",
                             "Records of a causal memory whose trace lives elsewhere, scored where they live.",
                             Threading::Shared, "tessarin._native">;

// Refused as store() refuses, changing nothing: the vectors as the trace and
// the records are to take them.
Ref checked_relation(const E& m, Hypervector cause, Hypervector effect, Hypervector time) {
    require_store_lengths(m, cause, effect, time);
    return make_tuple(to_python(as_array(std::move(cause))), to_python(as_array(std::move(effect))),
                      to_python(as_array(std::move(time))));
}

void add_to_trace(E& m, Hypervector cause, Hypervector effect, Hypervector time) {
    require_store_lengths(m, cause, effect, time);
    m.add_to_trace(cause, effect, time);
}

// (the query as the shards are to read it, the trace's probe for it)
template <CausalRole Role>
Ref query_and_probe(const E& m, Hypervector query) {
    Hypervector probe = m.holographic_probe(Role, query);
    return make_tuple(to_python(as_array(std::move(query))), to_python(as_array(std::move(probe))));
}

using Found = std::optional<std::pair<std::uint64_t, float>>;
using AllFound = std::vector<std::pair<std::uint64_t, float>>;

template <std::optional<CausalMatch> (E::*Step)(HvView) const>
Found best_of(const E& m, HvView query) {
    const auto found = (m.*Step)(query);
    if (!found) return std::nullopt;
    return std::pair{found->record, found->score};
}

template <std::vector<CausalMatch> (E::*Step)(HvView) const>
AllFound all_of(const E& m, HvView query) {
    AllFound all;
    for (const CausalMatch& c : (m.*Step)(query)) all.emplace_back(c.record, c.score);
    return all;
}

template <Hypervector (E::*Part)(std::uint64_t) const>
FloatArray record_part(const E& m, std::uint64_t record) {
    if (record >= m.size()) {
        throw std::out_of_range("record " + std::to_string(record) + " out of range for " +
                                std::to_string(m.size()) + " records");
    }
    return as_array((m.*Part)(record));
}

std::uint64_t add_record(E& m, Hypervector cause, Hypervector effect, Hypervector time) {
    m.add_record(cause, effect, time);
    return m.size();
}

}  // namespace

const ClassDef causal_memory_class = C::define(
    C::constructor<&sized_engine<E>>(),
    C::method<"store($self, cause, effect, time)", &store,
              "Records a relation; each vector needs at least dim components.">(),
    C::method<"record($self, cause, effect, time)", &store, "Alias for store().">(),
    C::long_method<"query_effect($self, cause)", &query_effect, "The effect recorded for this cause, or None.",
                   &scan_units>(),
    C::long_method<"recall_effect($self, cause)", &query_effect, "Alias for query_effect().",
                   &scan_units>(),
    C::long_method<"query_cause($self, effect)", &query_cause,
                   "Every known cause of this effect, best first: an (n, length) array, or a list of arrays when\n"
                   "the causes differ in length.",
                   &scan_units>(),
    C::long_method<"recall_cause($self, effect)", &query_cause, "Alias for query_cause().",
                   &scan_units>(),
    C::long_method<"query_by_time($self, time)", &query_by_time, "The effect recorded at this time, or None.",
                   &scan_units>(),
    C::long_method<"recall_by_time($self, time)", &query_by_time, "Alias for query_by_time().",
                   &scan_units>(),
    C::length<&E::size>(),
    C::repr<+[](const E& e) { return engine_repr("CausalMemory", e.dim(), "records", e.size()); }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

const ClassDef causal_trace_class = Trace::define(
    Trace::constructor<&sized_engine<E>>(),
    Trace::method<"checked($self, cause, effect, time)", &checked_relation,
                  "(cause, effect, time) as float32 arrays, refused as store() refuses.">(),
    Trace::method<"add($self, cause, effect, time)", &add_to_trace, "Adds a relation to the trace.">(),
    Trace::method<"cause_query($self, cause)", &query_and_probe<CausalRole::cause>, "(cause, its probe)">(),
    Trace::method<"effect_query($self, effect)", &query_and_probe<CausalRole::effect>, "(effect, its probe)">(),
    Trace::method<"time_query($self, time)", &query_and_probe<CausalRole::time>, "(time, its probe)">(),
    Trace::method<"vector($self, v)", +[](const E&, Hypervector v) { return as_array(std::move(v)); },
                  "A stored vector as CausalMemory answers it.">(),
    Trace::method<"vectors($self, rows)",
                  +[](const E& m, std::vector<Hypervector> rows) { return RowsResult{std::move(rows), m.dim()}; },
                  "Stored vectors as CausalMemory.query_cause answers them.">());

const ClassDef causal_records_class = Records::define(
    Records::constructor<&sized_engine<E>>(),
    Records::method<"add($self, cause, effect, time)", &add_record, "Keeps a record; returns the record count.">(),
    Records::long_method<"exact_effect($self, cause)", &best_of<&E::exact_effect_match>, "(record, score) or None",
                         &scan_units>(),
    Records::long_method<"exact_time($self, time)", &best_of<&E::exact_time_match>, "(record, score) or None",
                         &scan_units>(),
    Records::long_method<"probed_effect($self, probe)", &best_of<&E::probed_effect_match>,
                         "(record, score) or None", &scan_units>(),
    Records::long_method<"exact_causes($self, effect)", &all_of<&E::exact_cause_matches>, "[(record, score)]",
                         &scan_units>(),
    Records::long_method<"probed_causes($self, probe)", &all_of<&E::probed_cause_matches>, "[(record, score)]",
                         &scan_units>(),
    Records::method<"cause($self, record)", &record_part<&E::cause>, "A record's cause.">(),
    Records::method<"effect($self, record)", &record_part<&E::effect>, "A record's effect.">(),
    Records::length<&E::size>());

}  // namespace tessarin::py
