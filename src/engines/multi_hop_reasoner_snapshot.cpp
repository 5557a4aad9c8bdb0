// Reasoner state: the facts in order, each a row (sign bits when exactly
// bipolar), then the links in order as pairs of fact numbers, kept unchecked
// as add_link keeps them (dim is the header's).
#include "engines/multi_hop_reasoner.hpp"

namespace tessarin {

SnapshotBytes MultiHopReasoner::snapshot() const {
    return snapshot_engine(*this, kSnapshotKind, dim_);
}
void MultiHopReasoner::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
MultiHopReasoner MultiHopReasoner::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<MultiHopReasoner>(bytes, kSnapshotKind);
}

void MultiHopReasoner::write_state(SnapshotWriter& w) const {
    w.u64(facts_.size());
    w.rows({&facts_}, dim_);
    w.u64(links_.size());
    for (const auto& [a, b] : links_) {
        w.u64(a);
        w.u64(b);
    }
}

MultiHopReasoner MultiHopReasoner::read_state(SnapshotReader& r, std::uint64_t dim) {
    MultiHopReasoner m(dim);
    const std::uint64_t n = r.count("fact count", 1);
    for (std::uint64_t k = 0; k < n; ++k) r.row(m.facts_, dim, "fact");
    const std::uint64_t l = r.count("link count", 16);
    m.links_.reserve(static_cast<std::size_t>(l));
    for (std::uint64_t k = 0; k < l; ++k) {
        const std::uint64_t a = r.u64("link");
        m.links_.emplace_back(a, r.u64("link"));
    }
    return m;
}

}  // namespace tessarin
