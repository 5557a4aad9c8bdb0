// Holographic scheduler: a store of named concepts superposed in one world
// vector, with a value codebook for recall, a saturating holographic state,
// deterministic role vectors, a feedback loop into an embedded optimizer and
// metacognition log, and an attention read-out through an embedded head.
//
// Costs, for c stored concepts of dim d: store_memory is O(d) and keeps the
// concept as d / 8 bytes of sign bits plus its label (nothing limits c);
// recall is O(d) to encode plus one scan of the codebook, O(c * d), many
// concepts per pass (core/scan.hpp); encode and generate_role are O(d);
// process_feedback is amortised O(1) (all its log entries share one context
// of d ones, made on the first signal); the read-out costs what
// quantum_attention costs. Encoding, scans and read-outs poll and may unwind
// with Cancelled; std::bad_alloc can come from any member that allocates.
//
// Threads: a plain object without locks. Const members change nothing and may
// run concurrently (quantum_grover_search too, though it is not const);
// store_memory and process_feedback need every other use excluded.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/algebra.hpp"
#include "core/row_store.hpp"
#include "core/snapshot.hpp"
#include "engines/metacognition.hpp"
#include "engines/optimizer.hpp"
#include "engines/quantum_attention_head.hpp"

namespace tessarin {

class HoloCPUScheduler {
public:
    // WV starts at dim zeros and the holographic state at dim ones; Fault
    // "capacity overflow" for a dim no address space could hold.
    HoloCPUScheduler(std::uint64_t dim, std::uint64_t quantum_capacity);

    std::uint64_t dimension() const { return dim_; }
    std::uint64_t quantum_capacity() const { return quantum_capacity_; }

    // Adds bind(encode(target), encode(target)) to WV, folds encode(target)
    // into the holographic state and appends the concept to the codebook.
    // Repeated targets are stored again; nothing limits the codebook. All or
    // nothing: a Cancelled or std::bad_alloc leaves the scheduler unchanged.
    void store_memory(std::string target);
    // True when some codebook entry resonates with WV unbound by
    // encode(target) above the recall threshold.
    bool recall(std::string_view target) const;
    Hypervector export_holographic_state() const { return holographic_state_; }

    // Logs the signal into the metacognition record and moves the optimizer's
    // learning rate by |signal - 0.5|, up when the signal is above 0.5.
    void process_feedback(float signal);
    float feedback_strength() const { return optimizer_.learning_rate(); }
    // The reason handed to the optimizer with a feedback signal.
    static std::string feedback_reason(float signal);

    // The embedded head's read-out (see quantum_attention, including its
    // fault). Non-const although it changes nothing, so that the binding's
    // borrow check holds the scheduler exclusively for it.
    Hypervector quantum_grover_search(HvView query, std::span<const Hypervector> keys,
                                      std::span<const Hypervector> values);
    // A configuration sanity test: both dim and quantum_capacity non-zero.
    bool run_audit_integrity_check() const { return dim_ != 0 && quantum_capacity_ != 0; }

    // dim components of +-1.0, component i from bit 0 of the digest of the
    // label followed by i; depends only on the label and dim.
    Hypervector generate_role(std::string_view label) const;
    // The concept vector of `target`: the xorshift sign stream of its digest.
    Hypervector encode(std::string_view target) const;

    const Optimizer& optimizer() const { return optimizer_; }
    const Metacognition& metacognition() const { return metacognition_; }
    std::size_t concept_count() const { return labels_.size(); }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::holo_cpu_scheduler;
    static HoloCPUScheduler from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static HoloCPUScheduler read_state(SnapshotReader& r, std::uint64_t dim);

private:
    Metacognition metacognition_;
    Optimizer optimizer_;
    Hypervector wv_;
    RowStore value_codebook_;  // the concepts' sign vectors, kept as sign bits
    std::vector<std::string> labels_;
    Hypervector holographic_state_;
    std::uint64_t dim_;
    std::uint64_t quantum_capacity_;
    QuantumAttentionHead head_;
    // Every feedback observation has the same all-ones context; the log shares
    // one copy, made on the first signal.
    std::shared_ptr<const Hypervector> feedback_context_;
};

// The name the scheduler's own documentation uses.
using HoloCpuScheduler = HoloCPUScheduler;

}  // namespace tessarin
