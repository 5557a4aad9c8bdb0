// Stored rows laid out for scanning many records at once.
//
// A scan scores every stored row against one query, and each score is one
// strictly ordered float sum. One sum is a dependency chain, so the speed of a
// scan comes from running the sums of many records side by side: the store
// keeps rows in blocks of kLanes rows, component-major (component i of the
// block's rows next to each other), so one pass over the query feeds every
// lane of a block from contiguous memory.
//
// A row whose every component is exactly +1.0f or -1.0f is kept as sign bits
// (one bit per component, twice: in the lane blocks, for float queries, and
// row by row, for bipolar queries, which are scored by counting differing
// bits); any other row is kept as floats.
// Multiplying by +1.0f or -1.0f is exact, so a packed row expanded to +-1.0f
// and multiplied scores exactly like the float row it came from, and reading a
// row back gives exactly the floats that went in (-0.0f, NaN and everything
// else that is not exactly +-1 stays a float row).
//
// Rows may have different lengths; each lane remembers its own.
//
// Memory: a bipolar row takes 2 * len / 8 bytes, any other 4 * len, plus a
// few dozen bytes of tables per row and one 64 KiB chunk of spare room for the
// row-by-row signs in all; a block is as long as its longest lane, so
// rows of very different lengths in one block waste the difference. Appends
// are amortised O(len); row() and copy_row() are O(len) and allocate only the
// copy they return.
// Record numbers passed to the accessors must be below size(): they are not
// checked. Const members change nothing, so any number of threads may read or
// scan one store while nobody appends or removes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/algebra.hpp"

namespace tessarin {

class RowStore {
public:
    // Rows per block: 16 floats or 16 sign bits per component, one 512-bit
    // register or two 256-bit ones.
    static constexpr std::size_t kLanes = 16;

    // Component i of a packed block: bit k set when lane k holds -1.0f there.
    using SignWord = std::uint16_t;

    struct PackedBlock {
        std::vector<SignWord> signs;  // one word per component, up to the longest lane
        std::array<std::uint64_t, kLanes> length{};
        std::size_t used = 0;
    };
    struct FloatBlock {
        std::vector<float> values;  // values[i * kLanes + k]: component i of lane k
        std::array<std::uint64_t, kLanes> length{};
        std::size_t used = 0;
    };

    // Where record k lives.
    struct Slot {
        bool packed;
        std::size_t block;
        std::size_t lane;
        // Packed rows: where the row's words start in sign_chunks().
        std::size_t signs_chunk = 0;
        std::size_t signs_at = 0;
    };

    std::size_t size() const { return slots_.size(); }
    bool empty() const { return slots_.empty(); }

    // Appends a copy of `row` (strong guarantee: on an allocation failure the
    // store is unchanged). A row whose block could never be addressed is
    // Fault "capacity overflow", also with nothing changed.
    void push_back(HvView row);
    // Appends the exactly bipolar row of `length` components whose sign bits
    // are `words` (as sign_words gives them; bits beyond the length are
    // ignored), as push_back would append it as floats, with the same
    // guarantees; Fault when words.size() is not (length + 63) / 64.
    void push_back_signs(std::uint64_t length, std::span<const std::uint64_t> words);
    // Removes the newest row; the store must not be empty. Frees nothing
    // (clear() does).
    void pop_back();
    void clear();

    // Record k, exactly as stored.
    Hypervector row(std::size_t k) const;
    // Writes record k into `out` (resized to its length).
    void copy_row(std::size_t k, Hypervector& out) const;
    std::uint64_t row_length(std::size_t k) const;
    bool is_packed(std::size_t k) const { return slots_[k].packed; }
    // The sign bits of packed record k (is_packed(k)): bit j of word i is
    // component 64 * i + j, set for -1.0f, spare bits of the last word zero.
    // Valid until the store changes. Reading a row this way costs no floats.
    std::span<const std::uint64_t> sign_words(std::size_t k) const;

    // Bytes held for the rows themselves (blocks, lane tables and slot table),
    // counting capacity, not only what is in use.
    std::size_t bytes_held() const;

    // Blocks and the record order, for the scan kernels.
    const std::vector<PackedBlock>& packed_blocks() const { return packed_; }
    const std::vector<FloatBlock>& float_blocks() const { return floats_; }
    const std::vector<Slot>& slots() const { return slots_; }
    // The record number of each lane of each block, in block order.
    const std::vector<std::uint64_t>& packed_records() const { return packed_records_; }
    // Every packed row's sign bits once more, row by row: bit j of word i is
    // component 64 * i + j (set: -1.0f). A bipolar query is scored against
    // these by counting differing bits, which gives the ordered sum's exact
    // value (see scan.cpp). Rows follow each other in chunks of fixed
    // capacity (a scan streams them in record order, and growing the store
    // never copies them), so the second copy costs dim / 8 bytes a row and at
    // most one chunk's spare room.
    const std::uint64_t* sign_row(const Slot& s) const { return sign_chunks_[s.signs_chunk].data() + s.signs_at; }
    const std::vector<std::uint64_t>& float_records() const { return float_records_; }

private:
    void push_packed(std::size_t n, HvView row, const std::uint64_t* signs);

    std::vector<PackedBlock> packed_;
    std::vector<FloatBlock> floats_;
    std::vector<Slot> slots_;
    std::vector<std::uint64_t> packed_records_;  // kLanes per packed block, in lane order
    std::vector<std::vector<std::uint64_t>> sign_chunks_;
    std::vector<std::uint64_t> float_records_;
};

// Whether every component is exactly +1.0f or -1.0f (an empty row is).
bool is_exactly_bipolar(HvView row);

}  // namespace tessarin
