// Self-audit state: the audited vectors still remembered, oldest first (dim is
// the header's).
#include "engines/self_audit.hpp"

namespace tessarin {

SnapshotBytes SelfAudit::snapshot() const { return snapshot_engine(*this, kSnapshotKind, dim_); }
void SelfAudit::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
SelfAudit SelfAudit::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<SelfAudit>(bytes, kSnapshotKind);
}

void SelfAudit::write_state(SnapshotWriter& w) const {
    w.u64(audit_history_.size());
    for (const Hypervector& hv : audit_history_) w.row(hv, dim_);
}

SelfAudit SelfAudit::read_state(SnapshotReader& r, std::uint64_t dim) {
    SelfAudit a(dim);
    const std::uint64_t n = r.bounded("audit history length", kAuditHistoryLimit);
    for (std::uint64_t i = 0; i < n; ++i) a.audit_history_.push(r.row(dim, "audited vector"));
    return a;
}

}  // namespace tessarin
