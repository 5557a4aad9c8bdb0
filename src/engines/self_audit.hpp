// Self-audit: checks hypervectors for drift (too many components near zero)
// and for consistency with recently audited vectors or with each other.
//
// Costs, for a vector of length d: full_audit is O(d) for the drift count plus
// one dot product with each of the newest five audited vectors, and keeps the
// vector it is given (the newest 100 are held, 4 * d bytes each);
// check_consistency is one O(d) dot product. Only std::bad_alloc can fail, and
// a failed full_audit leaves the history as it was; nothing polls.
//
// Threads: a plain object without locks. check_consistency changes nothing and
// may run concurrently; full_audit needs every other use excluded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/algebra.hpp"
#include "core/bounded_history.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

inline constexpr std::size_t kAuditHistoryLimit = 100;

// (score, passed, issues), the issues in the order the checks run.
using AuditResult = std::tuple<float, bool, std::vector<std::string>>;

class SelfAudit {
public:
    // `dim` sets the drift threshold only; vectors of any length are audited.
    explicit SelfAudit(std::uint64_t dim) : dim_(dim) {}

    // Drift and history checks of `hv` against the vectors audited before it,
    // then remembers `hv` (the newest 100 are kept).
    AuditResult full_audit(Hypervector hv);
    // Resonance of h1 with h2, passing at 0.7 or above; remembers nothing.
    AuditResult check_consistency(HvView h1, HvView h2) const;

    std::uint64_t dim() const { return dim_; }
    std::size_t history_size() const { return audit_history_.size(); }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::self_audit;
    static SelfAudit from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static SelfAudit read_state(SnapshotReader& r, std::uint64_t dim);

private:
    BoundedHistory<Hypervector, kAuditHistoryLimit> audit_history_;
    std::uint64_t dim_;
};

}  // namespace tessarin
