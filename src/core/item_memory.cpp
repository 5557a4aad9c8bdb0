#include "core/item_memory.hpp"

#include <string>

#include "core/cancel.hpp"
#include "core/fault.hpp"

namespace tessarin {

ItemMemory::ItemMemory(std::uint64_t dim) : dim_(dim) {
    if (dim == 0) throw InputError("dim must be at least 1");
}

void ItemMemory::require_dim(const FloatTable& t, const char* what) const {
    if (t.dim != dim_) {
        throw InputError(std::string(what) + " have " + std::to_string(t.dim) + " components but the memory holds " +
                         std::to_string(dim_));
    }
}

std::uint64_t ItemMemory::add(const FloatTable& rows) {
    require_dim(rows, "rows");
    const std::uint64_t first = rows_.size();
    CancelPoll poll;
    try {
        for (std::uint64_t i = 0; i < rows.count; ++i) {
            rows_.push_back(rows.row(i));
            poll.tick(dim_);
        }
    } catch (...) {
        // All or nothing: a batch stopped part way (memory, Ctrl-C) is undone.
        while (rows_.size() > first) rows_.pop_back();
        throw;
    }
    return first;
}

FloatTable ItemMemory::resonances(const FloatTable& queries) const {
    require_dim(queries, "queries");
    return resonance_table(queries, rows_);
}

TopK ItemMemory::search(const FloatTable& queries, std::uint64_t k) const { return top_k(resonances(queries), k); }

Hypervector ItemMemory::row(std::uint64_t i) const {
    if (i >= rows_.size()) index_out_of_bounds(rows_.size(), i);
    return rows_.row(static_cast<std::size_t>(i));
}

SnapshotBytes ItemMemory::snapshot() const { return snapshot_engine(*this, SnapshotKind::item_memory, dim_); }
void ItemMemory::snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes) const {
    stream_engine_snapshot(*this, SnapshotKind::item_memory, dim_, sink, piece_bytes);
}
ItemMemory ItemMemory::from_snapshot(SnapshotView bytes) {
    return engine_from_snapshot<ItemMemory>(bytes, SnapshotKind::item_memory);
}

void ItemMemory::write_state(SnapshotWriter& w) const {
    // Room for the usual case, bipolar rows, so a large memory is not copied
    // again and again as the buffer grows (a streamed writer ignores it).
    w.reserve(8 + rows_.size() * (1 + (dim_ + 7) / 8));
    w.u64(rows_.size());
    for (std::size_t j = 0; j < rows_.size(); ++j) w.row(rows_, j, dim_);
}

ItemMemory ItemMemory::read_state(SnapshotReader& r, std::uint64_t dim) {
    if (dim == 0) SnapshotReader::invalid("dim", "must be at least 1");
    ItemMemory m(dim);
    // A row takes at least its tag byte, so the count is bounded by the bytes left.
    const std::uint64_t n = r.count("row count", 1);
    for (std::uint64_t j = 0; j < n; ++j) {
        r.row(m.rows_, dim, "row");
        // add() refuses rows of another length, and every scan relies on it.
        if (m.rows_.row_length(static_cast<std::size_t>(j)) != dim) {
            SnapshotReader::invalid("row", "its length differs from dim");
        }
    }
    return m;
}

}  // namespace tessarin
