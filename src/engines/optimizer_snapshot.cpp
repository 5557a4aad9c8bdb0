// Optimizer state: the seven parameters, then the undo history oldest first.
#include "engines/optimizer.hpp"

namespace tessarin {
namespace {

void write_params(SnapshotWriter& w, const CognitiveParams& p) {
    for (const float v : {p.learning_rate, p.attention_weight, p.momentum, p.excitation_bias, p.inhibition_bias,
                          p.identity_lr, p.exploration_rate}) {
        w.f32(v);
    }
}

CognitiveParams read_params(SnapshotReader& r) {
    CognitiveParams p;
    for (float* v : {&p.learning_rate, &p.attention_weight, &p.momentum, &p.excitation_bias, &p.inhibition_bias,
                     &p.identity_lr, &p.exploration_rate}) {
        *v = r.f32("optimizer parameter");
    }
    return p;
}

}  // namespace

SnapshotBytes Optimizer::snapshot() const { return snapshot_engine(*this, kSnapshotKind, 0); }
void Optimizer::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, 0, sink, piece_bytes);
}
Optimizer Optimizer::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<Optimizer>(bytes, kSnapshotKind);
}

void Optimizer::write_state(SnapshotWriter& w) const {
    write_params(w, params_);
    w.u64(param_history_.size());
    for (const CognitiveParams& p : param_history_) write_params(w, p);
}

Optimizer Optimizer::read_state(SnapshotReader& r, std::uint64_t /*dim*/) {
    Optimizer o;
    o.params_ = read_params(r);
    const std::uint64_t n = r.bounded("optimizer history length", kOptimizerHistoryLimit);
    for (std::uint64_t i = 0; i < n; ++i) o.param_history_.push(read_params(r));
    return o;
}

}  // namespace tessarin
