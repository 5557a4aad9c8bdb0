// Scheduler state: the world vector and the holographic state (dim floats
// each), the quantum capacity, the embedded metacognition log and optimizer,
// then every stored concept in store order as its label and sign row. The
// attention head holds only dim and the capacity. Every logged record holds
// the one feedback context, which the rebuilt log shares again.
#include "engines/holo_cpu_scheduler.hpp"

namespace tessarin {

SnapshotBytes HoloCPUScheduler::snapshot() const {
    return snapshot_engine(*this, kSnapshotKind, dim_);
}
void HoloCPUScheduler::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
HoloCPUScheduler HoloCPUScheduler::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<HoloCPUScheduler>(bytes, kSnapshotKind);
}

void HoloCPUScheduler::write_state(SnapshotWriter& w) const {
    w.raw_floats(wv_);
    w.raw_floats(holographic_state_);
    w.u64(quantum_capacity_);
    metacognition_.write_state(w);
    optimizer_.write_state(w);
    w.boolean(feedback_context_ != nullptr);
    w.u64(labels_.size());
    for (std::size_t k = 0; k < labels_.size(); ++k) {
        w.string(labels_[k]);
        w.row(value_codebook_, k, dim_);
    }
}

HoloCPUScheduler HoloCPUScheduler::read_state(SnapshotReader& r, std::uint64_t dim) {
    // The two vectors first: their bytes bound dim before the scheduler makes
    // anything of dim components.
    Hypervector wv = r.raw_floats(dim, "world vector");
    Hypervector state = r.raw_floats(dim, "holographic state");
    HoloCPUScheduler s(dim, r.u64("quantum capacity"));
    s.wv_ = std::move(wv);
    s.holographic_state_ = std::move(state);
    s.metacognition_ = Metacognition::read_state(r, dim);
    s.optimizer_ = Optimizer::read_state(r, dim);
    if (r.boolean("feedback context flag")) s.feedback_context_ = s.metacognition_.newest_context();
    const std::uint64_t n = r.count("concept count", 9);
    s.labels_.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t k = 0; k < n; ++k) {
        s.labels_.push_back(r.string("concept label"));
        r.row(s.value_codebook_, dim, "concept row");
        if (s.value_codebook_.row_length(k) != dim) SnapshotReader::invalid("concept row", "length differs from dim");
    }
    return s;
}

}  // namespace tessarin
