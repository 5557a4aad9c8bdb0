// Stored rows laid out for scanning many records at once.
//
// A scan scores every stored row against one query, and each score is one
// strictly ordered float sum. One sum is a dependency chain, so the speed of a
// scan comes from running the sums of many records side by side: the store
// keeps rows in blocks of kLanes rows, so one pass over the query feeds every
// lane of a block from contiguous memory.
//
// A row whose every component is exactly +1.0f or -1.0f is kept as sign bits,
// once: a packed block holds, for each stretch of 64 components, one 64-bit
// word per lane (bit j of a lane's word: component 64 * c + j, set for
// -1.0f). A bipolar query is scored against those words by counting
// differing bits, the 16 lanes' counts side by side; a float query reads
// each lane's bit j and picks +q or -q. Any other row is kept as floats,
// component-major (component i of the block's 16 rows next to each other).
// Multiplying by +1.0f or -1.0f is exact, so a packed row expanded to +-1.0f
// and multiplied scores exactly like the float row it came from, and reading a
// row back gives exactly the floats that went in (-0.0f, NaN and everything
// else that is not exactly +-1 stays a float row).
//
// Rows may have different lengths; each lane remembers its own. Which record
// sits in which lane is kept as runs of records of one kind, so a store whose
// rows are all bipolar or all floats, of one length, keeps no table per row.
//
// Memory: a bipolar row takes len / 8 bytes (rounded up to 64 components), any
// other 4 * len, plus about 5 bytes of block tables per row and at most one
// chunk's spare room (1 MiB) for the sign words (more for blocks
// whose lanes differ in length, 16 bytes a lane) and 24 bytes per change
// between bipolar and other rows in record order. A block is as long as its
// longest lane, so rows of very different lengths in one block waste the
// difference. Appends are amortised O(len); row() and copy_row() are O(len)
// plus O(log runs) and allocate only the copy they return.
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
    // Components per sign word of a packed lane.
    static constexpr std::size_t kWordBits = 64;

    // The lengths of a block's lanes. Blocks whose lanes all have one length
    // (the usual case) keep that one number; a table of kLanes is made only
    // when a lane differs.
    class LaneLengths {
    public:
        std::size_t used() const { return used_; }
        std::uint64_t of(std::size_t k) const { return ragged_.empty() ? (k < used_ ? same_ : 0) : ragged_[k]; }
        std::uint64_t longest() const;
        // Whether every used lane is known to have one length (O(1): a block
        // that ever held lanes of different lengths answers false).
        bool one_length() const { return ragged_.empty(); }
        // Allocates (a ragged table) before changing anything.
        void push(std::uint64_t n);
        void pop();
        std::size_t table_bytes() const { return ragged_.capacity() * sizeof(std::uint64_t); }

    private:
        std::vector<std::uint64_t> ragged_;  // empty, or kLanes lengths
        std::uint64_t same_ = 0;
        std::size_t used_ = 0;
    };

    struct PackedBlock {
        // words()[c * kLanes + k]: components 64c .. 64c+63 of lane k. Bits
        // past a lane's length are zero. The words live in the store's chunks
        // (see word_chunks_), `size` of them from `offset` in chunk `chunk`.
        const std::uint64_t* words() const { return data; }
        std::uint64_t* data = nullptr;
        std::size_t chunk = 0;
        std::size_t offset = 0;
        std::size_t size = 0;
        LaneLengths lengths;
    };
    struct FloatBlock {
        std::vector<float> values;  // values[i * kLanes + k]: component i of lane k
        LaneLengths lengths;
    };

    // Consecutive records of one kind: record first_record + i is row
    // first_ordinal + i among the rows of that kind (block ordinal / kLanes,
    // lane ordinal % kLanes). A run ends where the next begins.
    struct Run {
        std::uint64_t first_record;
        std::uint64_t first_ordinal;
        bool packed;
    };

    // Where record k lives.
    struct Slot {
        bool packed;
        std::size_t block;
        std::size_t lane;
    };

    RowStore() = default;
    RowStore(const RowStore& other);
    RowStore& operator=(const RowStore& other);
    RowStore(RowStore&&) noexcept = default;
    RowStore& operator=(RowStore&&) noexcept = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The sum of the rows' lengths: what a scan over every row reads at most.
    std::uint64_t components() const { return components_; }

    // Appends a copy of `row` (strong guarantee: on an allocation failure the
    // store is unchanged). A row whose block could never be addressed is
    // Fault "capacity overflow", also with nothing changed.
    void push_back(HvView row);
    // Appends the exactly bipolar row of `length` components whose sign bits
    // are `words` (as copy_sign_words gives them; bits past the length are
    // ignored), just as push_back appends that row given as floats, with the
    // same guarantees; Fault when words.size() is not (length + 63) / 64.
    // Loading a saved store this way never expands a row to floats.
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
    bool is_packed(std::size_t k) const { return slot(k).packed; }
    Slot slot(std::size_t k) const;
    // The sign bits of packed record k (is_packed(k)) into `out` (resized):
    // bit j of word i is component 64 * i + j, set for -1.0f; spare bits of
    // the last word are zero.
    void copy_sign_words(std::size_t k, std::vector<std::uint64_t>& out) const;

    // Bytes held for the rows themselves (blocks, lane tables and runs),
    // counting capacity, not only what is in use.
    std::size_t bytes_held() const;

    // Blocks and the record order, for the scan kernels.
    const std::vector<PackedBlock>& packed_blocks() const { return packed_; }
    const std::vector<FloatBlock>& float_blocks() const { return floats_; }
    const std::vector<Run>& runs() const { return runs_; }

private:
    // One append for both kinds: a packed row's words come from `signs` when
    // given, else from the floats of `row`.
    void append(std::size_t n, bool packed, HvView row, const std::uint64_t* signs);
    void grow_block_words(PackedBlock& b, std::size_t n);
    void release_block_words(const PackedBlock& b);

    // The sign words of every packed block, block after block, in chunks that
    // never reallocate (a block's words stay where they are) and grow
    // geometrically up to 1 MiB. Blocks of one store thus follow each other in
    // memory even when several stores grow together, as a record's three
    // vectors do, so a scan streams them as one run.
    std::vector<std::vector<std::uint64_t>> word_chunks_;
    std::vector<PackedBlock> packed_;
    std::vector<FloatBlock> floats_;
    std::vector<Run> runs_;
    std::uint64_t size_ = 0;
    std::uint64_t components_ = 0;
    std::uint64_t packed_rows_ = 0;
    std::uint64_t float_rows_ = 0;
};

// Walks the records of one kind in ordinal order (block after block, lane
// after lane), giving each one's record number: what a scan needs to put a
// lane's score in its place. O(1) amortised per step.
class RecordsOfKind {
public:
    RecordsOfKind(const RowStore& rows, bool packed);
    // The record number of the next row of this kind.
    std::uint64_t next();
    // When the next n rows of this kind are consecutive records, takes them
    // and returns the first one's number; otherwise takes nothing and returns
    // kScattered. There must be n more rows of this kind.
    static constexpr std::uint64_t kScattered = ~std::uint64_t{0};
    std::uint64_t take_consecutive(std::uint64_t n);

private:
    void enter_next_run();

    const std::vector<RowStore::Run>& runs_;
    std::uint64_t size_;
    bool packed_;
    std::size_t run_ = 0;
    std::uint64_t at_ = 0;   // next record within runs_[run_]
    std::uint64_t end_ = 0;  // end of runs_[run_]
};

// Whether every component is exactly +1.0f or -1.0f (an empty row is).
bool is_exactly_bipolar(HvView row);

}  // namespace tessarin
