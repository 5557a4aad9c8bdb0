#include "core/item_memory.hpp"

#include <algorithm>
#include <string>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/scan.hpp"

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
    const std::uint64_t first = size_;
    CancelPoll poll;
    try {
        for (std::uint64_t i = 0; i < rows.count; ++i) {
            if (segments_.empty() || segments_.back().size() == kSegmentRows) segments_.emplace_back();
            segments_.back().push_back(rows.row(i));
            ++size_;
            poll.tick(dim_);
        }
    } catch (...) {
        // All or nothing: a batch stopped part way (memory, Ctrl-C) is undone.
        while (size_ > first) {
            segments_.back().pop_back();
            --size_;
            if (segments_.back().empty()) segments_.pop_back();
        }
        throw;
    }
    return first;
}

namespace {

std::vector<HvView> query_views(const FloatTable& queries) {
    std::vector<HvView> views;
    views.reserve(static_cast<std::size_t>(queries.count));
    for (std::uint64_t i = 0; i < queries.count; ++i) views.push_back(queries.row(i));
    return views;
}

}  // namespace

void ItemMemory::score_segment(std::span<const HvView> views, std::size_t s, FloatTable& scratch) const {
    const RowStore& rows = segments_[s];
    scratch.count = views.size();
    scratch.dim = rows.size();
    CancelPoll poll;
    resize_in_blocks(poll, scratch.values, views.size() * rows.size());
    resonances_many(views, rows, scratch.values);
}

FloatTable ItemMemory::resonances(const FloatTable& queries) const {
    require_dim(queries, "queries");
    if (segments_.size() == 1) return resonance_table(queries, segments_.front());
    FloatTable out = zeroed_table<float>(queries.count, size_);
    const std::vector<HvView> views = query_views(queries);
    FloatTable part;
    std::uint64_t at = 0;
    for (std::size_t s = 0; s < segments_.size(); ++s) {
        score_segment(views, s, part);
        for (std::uint64_t i = 0; i < queries.count; ++i) {
            std::copy(part.row(i).begin(), part.row(i).end(), out.row(i).begin() + static_cast<std::ptrdiff_t>(at));
        }
        at += part.dim;
    }
    return out;
}

TopK ItemMemory::search(const FloatTable& queries, std::uint64_t k) const {
    require_dim(queries, "queries");
    // Rows are scored a part at a time and each part's scores ranked at once,
    // while they are still in the cache; every query keeps its best k across
    // the parts, which come in record order.
    const std::vector<HvView> views = query_views(queries);
    TopKParts best(queries.count, std::min(k, size_));
    FloatTable part;
    part.count = queries.count;
    for (std::size_t s = 0; s < segments_.size(); ++s) {
        resonances_many_in_parts(views, segments_[s], kPartRows, part.values, [&](std::uint64_t first, std::uint64_t count) {
            part.dim = count;
            best.offer(part, s * kSegmentRows + first);
        });
    }
    return best.best();
}

Hypervector ItemMemory::row(std::uint64_t i) const {
    if (i >= size_) index_out_of_bounds(size_, i);
    return segments_[static_cast<std::size_t>(i / kSegmentRows)].row(static_cast<std::size_t>(i % kSegmentRows));
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
    // The segments are a layout, not state: the rows go out in order.
    w.reserve(8 + size_ * (1 + (dim_ + 7) / 8));
    w.u64(size_);
    for (const RowStore& rows : segments_) w.rows({&rows}, dim_);
}

ItemMemory ItemMemory::read_state(SnapshotReader& r, std::uint64_t dim) {
    if (dim == 0) SnapshotReader::invalid("dim", "must be at least 1");
    ItemMemory m(dim);
    // A row takes at least its tag byte, so the count is bounded by the bytes left.
    const std::uint64_t n = r.count("row count", 1);
    for (std::uint64_t j = 0; j < n; ++j) {
        if (m.segments_.empty() || m.segments_.back().size() == kSegmentRows) m.segments_.emplace_back();
        RowStore& rows = m.segments_.back();
        r.row(rows, dim, "row");
        ++m.size_;
        // add() refuses rows of another length, and every scan relies on it.
        if (rows.row_length(rows.size() - 1) != dim) SnapshotReader::invalid("row", "its length differs from dim");
    }
    return m;
}

}  // namespace tessarin
