// Generation engine state: its fourteen codebooks, one sign bit a component
// (dim is the header's). They are written rather than regenerated from dim so
// that what loading allocates stays bounded by the snapshot's own size.
#include "engines/holo_gen_engine.hpp"

namespace tessarin {

SnapshotBytes HoloGenEngine::snapshot() const { return snapshot_engine(*this, kSnapshotKind, dim_); }
void HoloGenEngine::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
HoloGenEngine HoloGenEngine::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<HoloGenEngine>(bytes, kSnapshotKind);
}

void HoloGenEngine::write_state(SnapshotWriter& w) const {
    w.u64(codebooks_.size());
    Hypervector row;
    for (const SignVector& book : codebooks_) {
        row.assign(book.begin(), book.end());
        w.row(row, dim_);
    }
}

HoloGenEngine HoloGenEngine::read_state(SnapshotReader& r, std::uint64_t dim) {
    HoloGenEngine e(0);
    const std::uint64_t n = r.u64("codebook count");
    if (n != e.codebooks_.size()) SnapshotReader::invalid("codebook count", std::to_string(n) + ", not " + std::to_string(e.codebooks_.size()));
    Hypervector row;
    for (SignVector& book : e.codebooks_) {
        r.row(row, dim, "codebook");
        if (row.size() != dim) SnapshotReader::invalid("codebook", "length differs from dim");
        book.resize(row.size());
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i] != 1.0f && row[i] != -1.0f) SnapshotReader::invalid("codebook", "a component is not +-1");
            book[i] = row[i] > 0.0f ? std::int8_t{1} : std::int8_t{-1};
        }
    }
    e.dim_ = dim;
    return e;
}

}  // namespace tessarin
