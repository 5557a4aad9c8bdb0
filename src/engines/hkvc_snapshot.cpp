// Cache state: the two accumulators (dim complex numbers each, real part
// first), then every entry in store order: its value, the digest of its key,
// its key phases and its value phases. The phases are written rather than
// recomputed (dim sines of digests each); the key index and the value blocks
// are rebuilt from them in store order, which is the order they were built in.
#include <complex>

#include "core/fault.hpp"
#include "core/sincos.hpp"
#include "engines/hkvc.hpp"

namespace tessarin {
namespace {

void write_phasors(SnapshotWriter& w, std::span<const std::complex<float>> acc) {
    for (const std::complex<float>& z : acc) {
        w.f32(z.real());
        w.f32(z.imag());
    }
}

std::vector<std::complex<float>> read_phasors(SnapshotReader& r, std::uint64_t dim, std::string_view what) {
    if (dim > r.remaining() / 8) SnapshotReader::invalid(what, "dim " + std::to_string(dim) + " is more than it holds");
    const Hypervector parts = r.raw_floats(2 * dim, what);
    std::vector<std::complex<float>> acc(parts.size() / 2);
    for (std::size_t i = 0; i < acc.size(); ++i) acc[i] = {parts[2 * i], parts[2 * i + 1]};
    return acc;
}

}  // namespace

SnapshotBytes HKVC::snapshot() const { return snapshot_engine(*this, kSnapshotKind, dim_); }
void HKVC::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
HKVC HKVC::from_snapshot(SnapshotView bytes) { return engine_from_snapshot<HKVC>(bytes, kSnapshotKind); }

void HKVC::write_state(SnapshotWriter& w) const {
    write_phasors(w, composite_);
    write_phasors(w, pos_memory_);
    std::vector<std::uint64_t> key_digest(entries_.size());
    for (const auto& [digest, stored] : key_index_) {
        for (const std::uint64_t e : stored) key_digest[e] = digest;
    }
    w.u64(entries_.size());
    Hypervector vp(dim_);
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        w.string(entries_[e].value);
        w.u64(key_digest[e]);
        w.raw_floats(entries_[e].key_phases);
        const Hypervector& block = value_blocks_[e / kPhaseLanes];
        for (std::size_t i = 0; i < vp.size(); ++i) vp[i] = block[i * kPhaseLanes + e % kPhaseLanes];
        w.raw_floats(vp);
    }
}

HKVC HKVC::read_state(SnapshotReader& r, std::uint64_t dim) {
    // The accumulators come first: their bytes bound dim before anything of
    // dim components is made.
    std::vector<Phasor> composite = read_phasors(r, dim, "composite accumulator");
    std::vector<Phasor> positions = read_phasors(r, dim, "position accumulator");
    HKVC c(0);
    c.dim_ = dim;
    c.composite_ = std::move(composite);
    c.pos_memory_ = std::move(positions);
    // An entry is at least its value's length, its digest and 8 * dim bytes of phases.
    const std::uint64_t n = r.count("entry count", 16 + 8 * dim);
    c.entries_.reserve(static_cast<std::size_t>(n));
    c.value_blocks_.reserve(static_cast<std::size_t>((n + kPhaseLanes - 1) / kPhaseLanes));
    for (std::uint64_t e = 0; e < n; ++e) {
        std::string value = r.string("entry value");
        const std::uint64_t digest = r.u64("entry key digest");
        Hypervector kp = r.raw_floats(dim, "entry key phases");
        const Hypervector vp = r.raw_floats(dim, "entry value phases");
        if (e % kPhaseLanes == 0) c.value_blocks_.push_back(zeroed<float>(kPhaseLanes * dim));
        Hypervector& block = c.value_blocks_.back();
        for (std::size_t i = 0; i < vp.size(); ++i) block[i * kPhaseLanes + e % kPhaseLanes] = vp[i];
        c.entries_.push_back(Entry{std::move(value), std::move(kp)});
        c.key_index_[digest].push_back(e);
    }
    return c;
}

}  // namespace tessarin
