// Quantum attention head: a thresholded attention read-out over keys and
// values supplied with each call. A key contributes only when it agrees with
// the query clearly more than at random; the contributing amplitudes are
// normalised to sum to one and mix the values into one output vector.
//
// Costs, for k keys and a query of length d: one scan of the keys, O(k * d),
// many keys per pass (core/scan.hpp, which copies the keys into a lane-major
// scratch of at most 512 KiB), then O(k * dim) to mix the values. Allocates
// one amplitude per key and the result. The scan and the mix poll and may
// unwind with Cancelled.
//
// Threads: the head holds only its two sizes; every read-out may run
// concurrently with any other.
#pragma once

#include <cstdint>
#include <span>

#include "core/algebra.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

inline constexpr const char* kAttentionKeysMismatch =
    "assertion failed: !keys.is_empty() && keys.len() == values.len()";

// The read-out of `dim` components. A single key short-cuts to a copy of its
// value, whatever its length. Fault kAttentionKeysMismatch when `keys` is
// empty or differs in length from `values`; Fault "capacity overflow" for a
// dim no address space could hold.
Hypervector quantum_attention(std::uint64_t dim, HvView query, std::span<const Hypervector> keys,
                              std::span<const Hypervector> values);

class QuantumAttentionHead {
public:
    QuantumAttentionHead(std::uint64_t dim, std::uint64_t nqubits) : dim_(dim), nqubits_(nqubits) {}

    // quantum_attention with the head's dim. Non-const although it changes
    // nothing, so that the binding's borrow check holds the head exclusively
    // for a read-out; C++ callers may run it concurrently.
    Hypervector compute(HvView query, std::span<const Hypervector> keys, std::span<const Hypervector> values);

    std::uint64_t dim() const { return dim_; }
    std::uint64_t nqubits() const { return nqubits_; }

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp).
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::quantum_attention_head;
    static QuantumAttentionHead from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static QuantumAttentionHead read_state(SnapshotReader& r, std::uint64_t dim);

private:
    std::uint64_t dim_;
    std::uint64_t nqubits_;  // kept for the caller; no read-out depends on it
};

}  // namespace tessarin
