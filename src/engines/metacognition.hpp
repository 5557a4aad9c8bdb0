// Metacognition record: a bounded log of observed outcomes, the success rate
// and average resonance over it, and the optimizer actions those suggest.
//
// Costs: record is amortised O(1) (the context is moved or shared, never
// copied) and success_rate O(1), a running count; avg_resonance and recommend
// are O(records), at most 10000. Memory is bounded by the log: 10000 records,
// each holding its context unless records share one. Only std::bad_alloc can
// fail, and a failed record leaves the log as it was; nothing polls.
//
// Threads: a plain object without locks. Const members change nothing and may
// run concurrently; record needs every other use excluded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/algebra.hpp"
#include "core/bounded_history.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

inline constexpr std::size_t kMetaRecordLimit = 10000;

struct MetaRecord {
    float res = 0.0f;
    float coh = 0.0f;
    float acc = 0.0f;
    // Shared and immutable: a caller that logs the same context many times
    // (the scheduler logs one fixed context per feedback signal) keeps one copy
    // instead of one per record.
    std::shared_ptr<const Hypervector> context;
    std::uint64_t hash = 0;
};

// (action, delta, reason) in the optimizer's action vocabulary, ready for
// Optimizer::apply.
using Recommendation = std::tuple<std::string, float, std::string>;

class Metacognition {
public:
    explicit Metacognition(std::uint64_t dim) : dim_(dim) {}

    // Logs one observation; a context whose length is not `dim` is discarded
    // without error. The log keeps the newest 10000 observations.
    void record(float res, float coh, float acc, Hypervector context, std::uint64_t hash);
    void record(MetaRecord observation);

    // Fraction of logged observations with res > 0.5 and acc > 0.5; 0 when empty.
    float success_rate() const;
    // Mean res over the log, summed oldest first; 0 when empty.
    float avg_resonance() const;
    std::vector<Recommendation> recommend() const;

    std::uint64_t dim() const { return dim_; }
    std::size_t record_count() const { return meta_records_.size(); }
    // The newest record's context (none when the log is empty), for a caller
    // that logs one shared context and is rebuilt from a snapshot.
    std::shared_ptr<const Hypervector> newest_context() const {
        return meta_records_.empty() ? nullptr : meta_records_.newest_first_begin()->context;
    }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::metacognition;
    static Metacognition from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static Metacognition read_state(SnapshotReader& r, std::uint64_t dim);

private:
    BoundedHistory<MetaRecord, kMetaRecordLimit> meta_records_;
    std::uint64_t dim_;
    // Kept in step with meta_records_ so that the rate costs nothing to read.
    std::size_t successes_ = 0;
};

}  // namespace tessarin
