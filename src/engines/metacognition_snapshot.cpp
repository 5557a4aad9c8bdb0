// Metacognition state: the distinct contexts once each (records that share a
// context share it again after loading), then the records oldest first, each
// naming its context by number (0: none, possible only at dim 0). The success
// count is recounted from the records.
#include <unordered_map>

#include "engines/metacognition.hpp"

namespace tessarin {

SnapshotBytes Metacognition::snapshot() const { return snapshot_engine(*this, kSnapshotKind, dim_); }
void Metacognition::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
Metacognition Metacognition::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<Metacognition>(bytes, kSnapshotKind);
}

void Metacognition::write_state(SnapshotWriter& w) const {
    std::unordered_map<const Hypervector*, std::uint64_t> number;
    std::vector<const Hypervector*> contexts;
    for (const MetaRecord& m : meta_records_) {
        if (m.context && number.emplace(m.context.get(), contexts.size() + 1).second) contexts.push_back(m.context.get());
    }
    w.u64(contexts.size());
    for (const Hypervector* c : contexts) w.row(*c, dim_);
    w.u64(meta_records_.size());
    for (const MetaRecord& m : meta_records_) {
        w.f32(m.res);
        w.f32(m.coh);
        w.f32(m.acc);
        w.u64(m.context ? number.at(m.context.get()) : 0);
        w.u64(m.hash);
    }
}

Metacognition Metacognition::read_state(SnapshotReader& r, std::uint64_t dim) {
    Metacognition m(dim);
    const std::uint64_t n_contexts = r.bounded("metacognition context count", kMetaRecordLimit);
    std::vector<std::shared_ptr<const Hypervector>> contexts;
    contexts.reserve(static_cast<std::size_t>(n_contexts));
    for (std::uint64_t i = 0; i < n_contexts; ++i) {
        Hypervector c = r.row(dim, "metacognition context");
        if (c.size() != dim) SnapshotReader::invalid("metacognition context", "length differs from dim");
        contexts.push_back(std::make_shared<const Hypervector>(std::move(c)));
    }
    const std::uint64_t n = r.bounded("metacognition record count", kMetaRecordLimit);
    for (std::uint64_t i = 0; i < n; ++i) {
        MetaRecord rec;
        rec.res = r.f32("metacognition record");
        rec.coh = r.f32("metacognition record");
        rec.acc = r.f32("metacognition record");
        const std::uint64_t c = r.bounded("metacognition context number", contexts.size());
        if (c == 0 && dim != 0) SnapshotReader::invalid("metacognition record", "no context at a non-zero dim");
        if (c != 0) rec.context = contexts[static_cast<std::size_t>(c - 1)];
        rec.hash = r.u64("metacognition record");
        m.record(std::move(rec));
    }
    return m;
}

}  // namespace tessarin
