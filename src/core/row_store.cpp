#include "core/row_store.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>

#include "core/fault.hpp"

namespace tessarin {
namespace {

constexpr std::uint32_t kPlusOneBits = 0x3F800000U;

// Room for `extra` more elements before anything changes (for the strong
// guarantee), growing geometrically: reserving exactly size + extra would
// reallocate and copy the whole table on every append, so filling a store
// would take time quadratic in its size.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

// The block a new row goes to: the last one while it has a free lane, or a
// new one. Returns whether a block was opened.
template <class Block>
bool open_block(std::vector<Block>& blocks) {
    if (!blocks.empty() && blocks.back().lengths.used() < RowStore::kLanes) return false;
    reserve_more(blocks, 1);
    blocks.emplace_back();
    return true;
}

// Makes room in the newest block for a row of n components and enters its
// length, undoing a block opened for the row if an allocation fails, so that
// a failed push leaves no trace. Returns the row's lane.
template <class Block, class T>
std::size_t take_lane(std::vector<Block>& blocks, std::vector<T> Block::*data, std::size_t elements,
                      std::uint64_t n) {
    const bool opened = open_block(blocks);
    Block& b = blocks.back();
    try {
        std::vector<T>& v = b.*data;
        if (v.size() < elements) v.resize(elements, T{});
        b.lengths.push(n);
    } catch (...) {
        if (opened) blocks.pop_back();
        throw;
    }
    return b.lengths.used() - 1;
}

// The sign bits of x[0 .. n), n <= 64, as one word (bit j: x[j]). Storing a
// row packs it a word at a time; four signs per instruction where the
// baseline has SSE2 (every x86-64 does).
std::uint64_t sign_word(const float* x, std::size_t n) {
    std::uint64_t w = 0;
    std::size_t j = 0;
#if defined(__SSE2__)
    for (; j + 4 <= n; j += 4) w |= static_cast<std::uint64_t>(_mm_movemask_ps(_mm_loadu_ps(x + j))) << j;
#endif
    for (; j < n; ++j) w |= static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(x[j]) >> 31) << j;
    return w;
}

}  // namespace

bool is_exactly_bipolar(HvView row) {
    // No early exit: one pass in vector registers costs less than a branch
    // per component on the rows that are bipolar.
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i magnitude = _mm_set1_epi32(0x7FFFFFFF);
    const __m128i one = _mm_set1_epi32(static_cast<int>(kPlusOneBits));
    __m128i other = _mm_setzero_si128();
    for (; i + 4 <= row.size(); i += 4) {
        const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data() + i));
        other = _mm_or_si128(other, _mm_xor_si128(_mm_and_si128(bits, magnitude), one));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(other, _mm_setzero_si128())) != 0xFFFF) return false;
#endif
    std::uint32_t rest = 0;
    for (; i < row.size(); ++i) rest |= (std::bit_cast<std::uint32_t>(row[i]) & 0x7FFFFFFFU) ^ kPlusOneBits;
    return rest == 0;
}

std::uint64_t RowStore::LaneLengths::longest() const {
    if (ragged_.empty()) return used_ != 0 ? same_ : 0;
    return *std::max_element(ragged_.begin(), ragged_.end());
}

void RowStore::LaneLengths::push(std::uint64_t n) {
    if (ragged_.empty() && (used_ == 0 || n == same_)) {
        same_ = n;
        ++used_;
        return;
    }
    if (ragged_.empty()) {
        ragged_.assign(kLanes, 0);
        std::fill_n(ragged_.begin(), used_, same_);
    }
    ragged_[used_++] = n;
}

void RowStore::LaneLengths::pop() {
    --used_;
    if (!ragged_.empty()) ragged_[used_] = 0;
}

void RowStore::push_back(HvView row) {
    if (row.size() > std::numeric_limits<std::size_t>::max() / kLanes) fault(kCapacityOverflow);
    append(row.size(), is_exactly_bipolar(row), row, nullptr);
}

void RowStore::push_back_signs(std::uint64_t length, std::span<const std::uint64_t> words) {
    if (length > std::numeric_limits<std::size_t>::max() / kLanes) fault(kCapacityOverflow);
    if (words.size() != (length + kWordBits - 1) / kWordBits) fault("sign words do not match the row length");
    append(static_cast<std::size_t>(length), true, {}, words.data());
}

void RowStore::append(std::size_t n, bool packed, HvView row, const std::uint64_t* signs) {
    const bool new_run = runs_.empty() || runs_.back().packed != packed;
    if (new_run) reserve_more(runs_, 1);

    // Every allocation happens before the first change to a lane.
    std::uint64_t ordinal;
    if (packed) {
        const std::size_t columns = (n + kWordBits - 1) / kWordBits;
        const std::size_t words_needed = checked_count<std::uint64_t>(columns * kLanes);
        const bool opened = open_block(packed_);
        PackedBlock& b = packed_.back();
        try {
            grow_block_words(b, words_needed);
            b.lengths.push(n);
        } catch (...) {
            if (opened) {
                release_block_words(b);
                packed_.pop_back();
            }
            throw;
        }
        const std::size_t lane = b.lengths.used() - 1;
        std::uint64_t* words = b.data;
        // The lane's words are zero (a popped row clears its bits).
        for (std::size_t c = 0; c < columns; ++c) {
            const std::size_t base = c * kWordBits;
            const std::size_t m = std::min(kWordBits, n - base);
            words[c * kLanes + lane] = signs != nullptr ? signs[c] & (m == kWordBits ? ~std::uint64_t{0}
                                                                                     : (std::uint64_t{1} << m) - 1)
                                                        : sign_word(row.data() + base, m);
        }
        ordinal = packed_rows_++;
    } else {
        const std::size_t lane = take_lane(floats_, &FloatBlock::values, checked_count<float>(n * kLanes), n);
        float* values = floats_.back().values.data();
        for (std::size_t i = 0; i < n; ++i) values[i * kLanes + lane] = row[i];
        ordinal = float_rows_++;
    }
    if (new_run) runs_.push_back(Run{size_, ordinal, packed});
    ++size_;
    components_ += n;
}

void RowStore::pop_back() {
    if (runs_.back().packed) {
        PackedBlock& b = packed_.back();
        const std::size_t lane = b.lengths.used() - 1;
        // Clear the lane's bits so that a later row in the same lane starts clean.
        const std::uint64_t columns = (b.lengths.of(lane) + kWordBits - 1) / kWordBits;
        for (std::uint64_t c = 0; c < columns; ++c) b.data[c * kLanes + lane] = 0;
        components_ -= b.lengths.of(lane);
        b.lengths.pop();
        if (b.lengths.used() == 0) {
            release_block_words(b);
            packed_.pop_back();
        }
        --packed_rows_;
    } else {
        FloatBlock& b = floats_.back();
        components_ -= b.lengths.of(b.lengths.used() - 1);
        b.lengths.pop();
        if (b.lengths.used() == 0) floats_.pop_back();
        --float_rows_;
    }
    --size_;
    if (runs_.back().first_record == size_) runs_.pop_back();
}

namespace {

constexpr std::size_t kMostChunkWords = (std::size_t{1} << 20) / sizeof(std::uint64_t);

}  // namespace

RowStore::RowStore(const RowStore& other)
    : word_chunks_(other.word_chunks_),
      packed_(other.packed_),
      floats_(other.floats_),
      runs_(other.runs_),
      size_(other.size_),
      components_(other.components_),
      packed_rows_(other.packed_rows_),
      float_rows_(other.float_rows_) {
    // A block of zero-length rows only has never been given words (and there
    // may be no chunk at all): it keeps pointing at none.
    for (PackedBlock& b : packed_) {
        if (b.data != nullptr) b.data = word_chunks_[b.chunk].data() + b.offset;
    }
}

RowStore& RowStore::operator=(const RowStore& other) {
    if (this != &other) {
        RowStore copy(other);
        *this = std::move(copy);
    }
    return *this;
}

// Gives block b room for n words, zeros past the ones it holds: in place when
// its words end its chunk and the chunk has room, otherwise copied to fresh
// room at the end of the last chunk (or of a new one).
void RowStore::grow_block_words(PackedBlock& b, std::size_t n) {
    if (b.size >= n) return;
    if (b.data != nullptr && b.chunk + 1 == word_chunks_.size()) {
        std::vector<std::uint64_t>& c = word_chunks_.back();
        if (b.offset + b.size == c.size() && c.capacity() - b.offset >= n) {
            c.resize(b.offset + n, 0);  // within capacity: the words stay put
            b.size = n;
            return;
        }
    }
    if (word_chunks_.empty() || word_chunks_.back().capacity() - word_chunks_.back().size() < n) {
        const std::size_t last = word_chunks_.empty() ? 0 : word_chunks_.back().capacity();
        std::vector<std::uint64_t> chunk;
        chunk.reserve(std::max(n, std::min(kMostChunkWords, 2 * last)));
        reserve_more(word_chunks_, 1);
        word_chunks_.push_back(std::move(chunk));
    }
    std::vector<std::uint64_t>& c = word_chunks_.back();
    const std::size_t offset = c.size();
    c.resize(offset + n, 0);  // within capacity
    if (b.data != nullptr) std::copy(b.data, b.data + b.size, c.data() + offset);
    b.data = c.data() + offset;
    b.chunk = word_chunks_.size() - 1;
    b.offset = offset;
    b.size = n;
}

// Returns a dropped block's words to its chunk when they end it.
void RowStore::release_block_words(const PackedBlock& b) {
    if (b.data == nullptr || b.chunk + 1 != word_chunks_.size()) return;
    std::vector<std::uint64_t>& c = word_chunks_.back();
    if (b.offset + b.size != c.size()) return;
    c.resize(b.offset);
    if (c.empty()) word_chunks_.pop_back();
}

void RowStore::clear() {
    std::vector<std::vector<std::uint64_t>>().swap(word_chunks_);
    std::vector<PackedBlock>().swap(packed_);
    std::vector<FloatBlock>().swap(floats_);
    std::vector<Run>().swap(runs_);
    size_ = 0;
    components_ = 0;
    packed_rows_ = 0;
    float_rows_ = 0;
}

RowStore::Slot RowStore::slot(std::size_t k) const {
    const auto after = std::upper_bound(runs_.begin(), runs_.end(), std::uint64_t{k},
                                        [](std::uint64_t record, const Run& r) { return record < r.first_record; });
    const Run& r = *(after - 1);
    const std::uint64_t ordinal = r.first_ordinal + (k - r.first_record);
    return Slot{r.packed, static_cast<std::size_t>(ordinal / kLanes), static_cast<std::size_t>(ordinal % kLanes)};
}

std::uint64_t RowStore::row_length(std::size_t k) const {
    const Slot s = slot(k);
    return s.packed ? packed_[s.block].lengths.of(s.lane) : floats_[s.block].lengths.of(s.lane);
}

void RowStore::copy_sign_words(std::size_t k, std::vector<std::uint64_t>& out) const {
    const Slot s = slot(k);
    const PackedBlock& b = packed_[s.block];
    out.resize((b.lengths.of(s.lane) + kWordBits - 1) / kWordBits);
    for (std::size_t c = 0; c < out.size(); ++c) out[c] = b.data[c * kLanes + s.lane];
}

void RowStore::copy_row(std::size_t k, Hypervector& out) const {
    const Slot s = slot(k);
    if (s.packed) {
        const PackedBlock& b = packed_[s.block];
        out.resize(b.lengths.of(s.lane));
        // Looked up rather than chosen: the bits are random, so a branch on
        // each would be mispredicted half the time.
        constexpr std::array<float, 2> kSignOfBit = {1.0f, -1.0f};
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::uint64_t w = b.data[(i / kWordBits) * kLanes + s.lane];
            out[i] = kSignOfBit[(w >> (i % kWordBits)) & 1U];
        }
    } else {
        const FloatBlock& b = floats_[s.block];
        out.resize(b.lengths.of(s.lane));
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = b.values[i * kLanes + s.lane];
    }
}

Hypervector RowStore::row(std::size_t k) const {
    Hypervector out;
    copy_row(k, out);
    return out;
}

std::size_t RowStore::bytes_held() const {
    std::size_t bytes = runs_.capacity() * sizeof(Run) + packed_.capacity() * sizeof(PackedBlock) +
                        floats_.capacity() * sizeof(FloatBlock) +
                        word_chunks_.capacity() * sizeof(std::vector<std::uint64_t>);
    for (const auto& c : word_chunks_) bytes += c.capacity() * sizeof(std::uint64_t);
    for (const PackedBlock& b : packed_) bytes += b.lengths.table_bytes();
    for (const FloatBlock& b : floats_) bytes += b.values.capacity() * sizeof(float) + b.lengths.table_bytes();
    return bytes;
}

RecordsOfKind::RecordsOfKind(const RowStore& rows, bool packed)
    : runs_(rows.runs()), size_(rows.size()), packed_(packed), run_(runs_.size()) {}

// The next run of this kind (the caller asks only for rows that exist).
void RecordsOfKind::enter_next_run() {
    std::size_t r = run_ == runs_.size() ? 0 : run_ + 1;
    while (runs_[r].packed != packed_) ++r;
    run_ = r;
    at_ = runs_[r].first_record;
    end_ = r + 1 < runs_.size() ? runs_[r + 1].first_record : size_;
}

std::uint64_t RecordsOfKind::next() {
    while (at_ == end_) enter_next_run();
    return at_++;
}

std::uint64_t RecordsOfKind::take_consecutive(std::uint64_t n) {
    if (at_ == end_) enter_next_run();
    if (end_ - at_ < n) return kScattered;
    at_ += n;
    return at_ - n;
}

}  // namespace tessarin
