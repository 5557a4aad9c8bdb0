// Holographic key-value cache.
//
// Every stored pair is kept twice: exactly, as the value string with its key
// and value phase rows, and holographically, as unit complex numbers
// exp(i * (key_phase + value_phase)) summed into one `composite` accumulator.
// A query first looks for the key itself (digest lookup plus a phase check on
// the few candidates) and otherwise recalls, from `composite`, the stored value
// whose phases best explain the query key. A second accumulator sums one unit
// complex number per component for the position given with each store.
//
// Costs, for n entries of dim d: store is O(d): three rows of d keyed digests
// (several at a time on the AVX2 and AVX-512 targets) and two rows of d sines
// and cosines. It keeps the value, its key phases and its value phases (8 * d
// bytes beside the string; value phases are allocated 16 entries at a time).
// The exact path of query is flat in n: the query key's phase row, a digest
// lookup, then one O(d) phase check per entry stored under that key. The
// holographic recall is O(n * d) sines and cosines, 16 entries per pass over
// the query, evaluated many lanes at once where the C library is one they were
// proven against (core/sincos.hpp). position_score and accumulator_magnitude
// are O(d); the two accumulators take 16 * d bytes. Hashing, the phase checks
// and the recall scan poll and may unwind with Cancelled; apart from that and
// std::bad_alloc nothing fails after construction, and a store that fails
// leaves the cache as it was.
//
// Threads: a plain object without locks. Const members change nothing and may
// run concurrently; store needs every other use excluded.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/algebra.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

// A 64-bit digest as a phase in [0, 2*pi]: h / 2^64 * 2 * pi in 32-bit floats.
// Only an h that rounds up to 2^64 gives 2*pi itself.
float phase_from_hash(std::uint64_t h);

// Component i: the phase of the digest of (byte length of s, bytes of s, i).
Hypervector string_phases(std::string_view s, std::uint64_t dim);

// Component i: the phase of the digest of (pos, i); the basis `store` sums.
Hypervector position_basis(std::uint64_t pos, std::uint64_t dim);

// The basis `position_score` probes with: one digest of pos, spread over the
// components by a golden-ratio multiplier and a rotation. It is deliberately
// unrelated to `position_basis`, so no stored position stands out.
Hypervector position_probe_phases(std::uint64_t pos, std::uint64_t dim);

class HKVC {
public:
    // An empty cache with both accumulators zero; throws Fault("capacity
    // overflow") for a dim whose storage could never be addressed.
    explicit HKVC(std::uint64_t dim);

    // Adds an independent entry; storing a key again never overwrites (and
    // every entry stored under one key is phase-checked by each query of it).
    void store(std::string_view key, std::string value, std::uint64_t position);

    // (best value, score >= 0); ("", 0) when nothing is stored.
    std::pair<std::string, float> query(std::string_view query_key) const;

    // The value the exact path of `query` answers with (the first stored value
    // of a key stored several times), or none when that path finds nothing and
    // `query` would fall back to its recall. Flat in the number of entries: a
    // key whose digest was never stored costs one digest and one lookup. With
    // dim 0 every key resonance is 0 / 0, a NaN no threshold admits, so
    // nothing is ever found. Hashing and the checks poll and may unwind with
    // Cancelled.
    std::optional<std::string> lookup(std::string_view key) const;
    bool contains(std::string_view key) const { return direct_match(key).has_value(); }
    // The entries stored under the digest of `key`: how many phase checks a
    // lookup of it makes (none, and no phase row, when there are none).
    std::uint64_t stored_under(std::string_view key) const;
    std::uint64_t count() const { return entries_.size(); }
    std::uint64_t dim() const { return dim_; }

    // The mean projection of the probe basis of `position` onto the position
    // accumulator; 0 when nothing is stored. O(d), does not poll.
    float position_score(std::uint64_t position) const;

    // |composite[i]| for every component.
    std::vector<float> accumulator_magnitude() const;

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::hkvc;
    static HKVC from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static HKVC read_state(SnapshotReader& r, std::uint64_t dim);

private:
    using Phasor = std::complex<float>;

    struct Entry {
        std::string value;
        Hypervector key_phases;
    };

    // The entry the exact path of `query` picks for `key`, whose phase row is
    // `qp` when the caller has it already.
    std::optional<std::uint64_t> direct_match(std::string_view key, const Hypervector* qp = nullptr) const;
    // Sum over i of the real part of composite[i] * exp(-i * (qp[i] + vp[i])),
    // vp the value phases of `entry`.
    float value_projection(HvView qp, std::uint64_t entry) const;
    // Sum over i of cos(stored_kp[i] - qp[i]) / dim.
    float key_resonance(HvView stored_kp, HvView qp) const;
    // value_projection normalised by count * dim.
    float recall_score(HvView qp, std::uint64_t entry) const;
    float recall_denominator() const;

    std::uint64_t dim_;
    std::vector<Phasor> composite_;
    std::vector<Phasor> pos_memory_;
    std::vector<Entry> entries_;
    // The value phases of entry e, component i, at
    // value_blocks_[e / kPhaseLanes][i * kPhaseLanes + e % kPhaseLanes]: the
    // recall scan scores a whole block of entries in one pass over the query.
    std::vector<Hypervector> value_blocks_;
    std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> key_index_;
};

}  // namespace tessarin
