// Causal memory: cause -> effect relations stamped with a time vector.
//
// Every relation is kept twice: exactly, as a record holding full copies of
// the three vectors and reachable through sign-fingerprint indexes of its cause
// and effect; and holographically, in one trace vector to which every relation
// adds cause, effect and time, each bound with its own fixed role vector. A
// query tries the exact path first and, when that finds nothing with a
// positive score, unbinds the trace with the query and scans every record.
//
// Costs, for n records of dim d: store is O(d) and keeps three rows of the
// vectors' full length (1 bit per component when exactly bipolar, 4 bytes
// otherwise) and one entry in each fingerprint index. The exact path of
// query_effect and query_cause scores only the records that share the query's
// fingerprint, flat in n unless many records share one; the holographic
// fallback and query_by_time scan all n records, O(n * d), many records per
// pass (core/scan.hpp). Scoring, scans and copying answers out poll and may
// unwind with Cancelled. A query allocates a
// probe of d floats, one score per record when it scans, and what it returns.
//
// The queries are also offered in their parts, for a memory split in two: one
// object that keeps only the trace (add_to_trace, holographic_probe) and
// several that keep only records (add_record and the matches). Each record's
// score depends on nothing but the record and the query or probe, so the
// records may live anywhere; the best of several parts, by score and then by
// record order, is the best of the whole.
//
// Threads: a plain object without locks. Const members change nothing and may
// run concurrently; store needs every other use excluded.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/algebra.hpp"
#include "core/fingerprint_index.hpp"
#include "core/row_store.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

// n components of +-1.0: the xorshift sign stream seeded by the digest of
// `label` under the counted framing (byte length, then bytes).
Hypervector role_hypervector(std::string_view label, std::uint64_t n);

// The role a query takes when it unbinds the trace.
enum class CausalRole : std::uint8_t { cause, effect, time };

// A record and its score for a query or probe.
struct CausalMatch {
    std::uint64_t record;
    float score;
};

// Best first by a stable sort: equal scores keep their order (record order,
// when the matches come from one scan).
void rank_causal_matches(std::vector<CausalMatch>& matches);

class CausalMemory {
public:
    // An empty memory with a zero trace of `dim` components. Generates the
    // three role vectors (may unwind with Cancelled); Fault "capacity
    // overflow" for a dim no address space could hold.
    explicit CausalMemory(std::uint64_t dim);

    // Records the relation. Each vector needs at least `dim` components (a
    // shorter one, of length L, is Fault "index out of bounds: the len is L
    // but the index is L" and changes nothing); longer ones are kept whole and
    // only their first `dim` components enter the trace. All or nothing on
    // std::bad_alloc too; never polls.
    void store(Hypervector cause, Hypervector effect, Hypervector time);

    // The effect of the best-matching record for this cause (a positive score),
    // or none.
    std::optional<Hypervector> query_effect(HvView cause) const;
    // The causes of every record matching this effect with a positive score,
    // best first (equal scores in record order).
    std::vector<Hypervector> query_cause(HvView effect) const;
    // The effect of the record whose time best matches, or none. Times are not
    // indexed: this always scans every record.
    std::optional<Hypervector> query_by_time(HvView time) const;

    // ---- the parts of the queries ----
    // The refusal of store for a vector shorter than dim (changes nothing).
    void require_lengths(HvView cause, HvView effect, HvView time) const;
    // What store adds to the trace, and nothing else (refused as store refuses).
    void add_to_trace(HvView cause, HvView effect, HvView time);
    // What store keeps as a record, and nothing else: all or nothing.
    void add_record(HvView cause, HvView effect, HvView time);
    // The trace unbound by the role and the query: (role[i] * query[i]) * trace[i].
    Hypervector holographic_probe(CausalRole role, HvView query) const;
    // The exact steps: the best record whose cause (time) matches with a
    // positive score, and every record whose effect does, in record order.
    std::optional<CausalMatch> exact_effect_match(HvView cause) const;
    std::optional<CausalMatch> exact_time_match(HvView time) const;
    std::vector<CausalMatch> exact_cause_matches(HvView effect) const;
    // The holographic steps, over every record, for a probe of holographic_probe.
    std::optional<CausalMatch> probed_effect_match(HvView probe) const;
    std::vector<CausalMatch> probed_cause_matches(HvView probe) const;
    // A record's cause and effect (record below size(), not checked).
    Hypervector cause(std::uint64_t record) const { return causes_.row(record); }
    Hypervector effect(std::uint64_t record) const { return effects_.row(record); }

    std::uint64_t dim() const { return dim_; }
    std::uint64_t size() const { return causes_.size(); }
    // The components the records hold in all: what copying answers out of
    // them reads at most (records may be longer than dim).
    std::uint64_t record_components() const {
        return causes_.components() + effects_.components() + times_.components();
    }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::causal_memory;
    static CausalMemory from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static CausalMemory read_state(SnapshotReader& r, std::uint64_t dim);

private:
    // Record j is row j of each store, kept whole (exactly bipolar rows as
    // sign bits); the three grow and shrink together.
    RowStore causes_;
    RowStore effects_;
    RowStore times_;
    Hypervector trace_;
    Hypervector cause_role_;
    Hypervector effect_role_;
    Hypervector temporal_role_;
    FingerprintIndex cause_index_;
    FingerprintIndex effect_index_;
    std::uint64_t dim_;
};

}  // namespace tessarin
