// Causal memory state: the trace (dim floats), then every record in store
// order as its cause, effect and time rows (sign bits when exactly bipolar).
// The role vectors follow from dim and the fingerprint indexes from the rows;
// both are rebuilt, in record order, which is the order they were built in.
#include <algorithm>

#include "core/generators.hpp"
#include "engines/causal_memory.hpp"

namespace tessarin {
namespace {

constexpr std::uint64_t kLoadBatchRecords = 4096;

// hv_hash of record j, from its sign bits when it is kept as bits.
std::uint64_t fingerprint(const RowStore& rows, std::size_t j, Hypervector& scratch,
                          std::vector<std::uint64_t>& words) {
    if (rows.is_packed(j)) {
        rows.copy_sign_words(j, words);
        return hv_hash_of_signs(words, rows.row_length(j));
    }
    rows.copy_row(j, scratch);
    return hv_hash(scratch);
}

}  // namespace

SnapshotBytes CausalMemory::snapshot() const { return snapshot_engine(*this, kSnapshotKind, dim_); }
void CausalMemory::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, kSnapshotKind, dim_, sink, piece_bytes);
}
CausalMemory CausalMemory::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<CausalMemory>(bytes, kSnapshotKind);
}

void CausalMemory::write_state(SnapshotWriter& w) const {
    // Room for the usual case, bipolar rows of dim components, so that a large
    // memory is not copied again and again as the buffer grows.
    w.reserve(4 * trace_.size() + 8 + causes_.size() * 3 * (1 + (dim_ + 7) / 8));
    w.raw_floats(trace_);
    w.u64(causes_.size());
    w.rows({&causes_, &effects_, &times_}, dim_);
}

CausalMemory CausalMemory::read_state(SnapshotReader& r, std::uint64_t dim) {
    // The trace first: its bytes bound dim before the role vectors are made.
    Hypervector trace = r.raw_floats(dim, "trace");
    CausalMemory m(dim);
    m.trace_ = std::move(trace);
    const std::uint64_t n = r.count("record count", 3);
    Hypervector scratch;
    std::vector<std::uint64_t> words, cause_prints, effect_prints;
    // Records are read a batch at a time and then filed in the indexes
    // together, so that the indexes fetch their entries ahead; room is
    // reserved a batch at a time, as the records are read, never for a count
    // the bytes have not yet backed.
    for (std::uint64_t first = 0; first < n; first += kLoadBatchRecords) {
        const std::uint64_t last = std::min(n, first + kLoadBatchRecords);
        cause_prints.clear();
        effect_prints.clear();
        for (std::uint64_t j = first; j < last; ++j) {
            for (RowStore* rows : {&m.causes_, &m.effects_, &m.times_}) {
                r.row(*rows, dim, "record");
                // store() refuses shorter vectors, and the trace update relies on it.
                if (rows->row_length(j) < dim) SnapshotReader::invalid("record", "a row is shorter than dim");
            }
            cause_prints.push_back(fingerprint(m.causes_, j, scratch, words));
            effect_prints.push_back(fingerprint(m.effects_, j, scratch, words));
        }
        m.cause_index_.reserve(cause_prints.size());
        m.effect_index_.reserve(effect_prints.size());
        m.cause_index_.add(cause_prints);
        m.effect_index_.add(effect_prints);
    }
    return m;
}

}  // namespace tessarin
