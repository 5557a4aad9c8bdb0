// Causal memory state: the trace (dim floats), then every record in store
// order as its cause, effect and time rows (sign bits when exactly bipolar).
// The role vectors follow from dim and the fingerprint indexes from the rows;
// both are rebuilt, in record order, which is the order they were built in.
#include "core/generators.hpp"
#include "engines/causal_memory.hpp"

namespace tessarin {

SnapshotBytes CausalMemory::snapshot() const { return snapshot_engine(*this, SnapshotKind::causal_memory, dim_); }
CausalMemory CausalMemory::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<CausalMemory>(bytes, SnapshotKind::causal_memory);
}

void CausalMemory::write_state(SnapshotWriter& w) const {
    w.raw_floats(trace_);
    w.u64(causes_.size());
    Hypervector row;
    for (std::size_t j = 0; j < causes_.size(); ++j) {
        for (const RowStore* rows : {&causes_, &effects_, &times_}) {
            rows->copy_row(j, row);
            w.row(row, dim_);
        }
    }
}

CausalMemory CausalMemory::read_state(SnapshotReader& r, std::uint64_t dim) {
    // The trace first: its bytes bound dim before the role vectors are made.
    Hypervector trace = r.raw_floats(dim, "trace");
    CausalMemory m(dim);
    m.trace_ = std::move(trace);
    const std::uint64_t n = r.count("record count", 3);
    Hypervector row;
    for (std::uint64_t j = 0; j < n; ++j) {
        for (RowStore* rows : {&m.causes_, &m.effects_, &m.times_}) {
            r.row(row, dim, "record");
            // store() refuses shorter vectors, and the trace update relies on it.
            if (row.size() < dim) SnapshotReader::invalid("record", "a row is shorter than dim");
            rows->push_back(row);
            if (rows == &m.causes_) m.cause_index_[hv_hash(row)].push_back(j);
            if (rows == &m.effects_) m.effect_index_[hv_hash(row)].push_back(j);
        }
    }
    return m;
}

}  // namespace tessarin
