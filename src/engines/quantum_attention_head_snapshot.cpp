// Attention head state: its qubit count (dim is the header's).
#include "engines/quantum_attention_head.hpp"

namespace tessarin {

SnapshotBytes QuantumAttentionHead::snapshot() const {
    return snapshot_engine(*this, kSnapshotKind, dim_);
}
void QuantumAttentionHead::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
QuantumAttentionHead QuantumAttentionHead::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<QuantumAttentionHead>(bytes, kSnapshotKind);
}

void QuantumAttentionHead::write_state(SnapshotWriter& w) const { w.u64(nqubits_); }

QuantumAttentionHead QuantumAttentionHead::read_state(SnapshotReader& r, std::uint64_t dim) {
    return QuantumAttentionHead(dim, r.u64("qubit count"));
}

}  // namespace tessarin
