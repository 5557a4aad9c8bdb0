// An exact search store: rows of one length, scored against queries by
// resonance and searched for the best matches.
//
// Rows live in RowStores, so an exactly bipolar row costs one bit a
// component and any other row four bytes; reading a row back gives exactly
// the floats that went in. Every score is resonance(query, row) bit for bit.
//
// The rows are kept in segments of kSegmentRows, each its own RowStore, and
// search scores sign-bit rows kPartRows at a time, ranking each part's scores
// while they are still in the second-level cache and keeping only each
// query's best k: the whole table of a million rows by 16 queries (64 MB)
// would otherwise be written, mapped and read back from memory, which costs
// more than the scan itself, and even one segment's table (4 MiB) outgrows
// that cache: ranked a part at a time, a 16-query search measured about 1.1x
// as fast.
//
// Costs: add is amortised O(rows * dim); resonances and search read every
// row once for all bipolar queries and once per other query (O(queries *
// size * dim), polling: they may unwind with Cancelled); search keeps a heap
// of k per query. A failed or cancelled add
// leaves the memory as it was. Const members change nothing, so several
// threads may score one memory while nobody adds.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/batch.hpp"
#include "core/row_store.hpp"
#include "core/snapshot.hpp"

namespace tessarin {

class ItemMemory {
public:
    // dim 0 is InputError: a memory of empty rows could tell nothing apart.
    explicit ItemMemory(std::uint64_t dim);

    std::uint64_t dim() const { return dim_; }
    std::uint64_t size() const { return size_; }

    // Rows per segment: 8 MB of sign bits at dim 1,024.
    static constexpr std::uint64_t kSegmentRows = std::uint64_t{1} << 16;
    // Rows a search scores at a time within a segment: 16 queries' scores of
    // them (512 KiB) stay in a 1 MiB second-level cache until they are ranked.
    static constexpr std::uint64_t kPartRows = std::uint64_t{1} << 13;

    // Appends every row of `rows` (each of length dim, else InputError) and
    // returns the index of the first.
    std::uint64_t add(const FloatTable& rows);

    // Entry (i, j): resonance(queries[i], row j).
    FloatTable resonances(const FloatTable& queries) const;
    // The best min(k, size) rows of each query, as top_k orders them.
    TopK search(const FloatTable& queries, std::uint64_t k) const;

    // Row i exactly as added; Fault (index out of bounds) past the end.
    Hypervector row(std::uint64_t i) const;

    // The whole state as bytes and back, bit for bit (core/snapshot.hpp):
    // every row in order, a bipolar one as its sign bits.
    SnapshotBytes snapshot() const;
    void snapshot_to(const SnapshotSink& sink, std::size_t piece_bytes = kSnapshotPieceBytes) const;
    static constexpr SnapshotKind kSnapshotKind = SnapshotKind::item_memory;
    static ItemMemory from_snapshot(SnapshotView bytes);
    void write_state(SnapshotWriter& w) const;
    static ItemMemory read_state(SnapshotReader& r, std::uint64_t dim);

private:
    void require_dim(const FloatTable& t, const char* what) const;
    // Entry (i, k) of `scratch` (resized to queries by the segment's rows):
    // resonance(views[i], row k of segment s).
    void score_segment(std::span<const HvView> views, std::size_t s, FloatTable& scratch) const;

    std::uint64_t dim_;
    std::vector<RowStore> segments_;  // all full but the last
    std::uint64_t size_ = 0;
};

}  // namespace tessarin
