#include "core/row_store.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/fault.hpp"
#include "core/undo_guard.hpp"

namespace tessarin {
namespace {

constexpr std::uint32_t kPlusOneBits = 0x3F800000U;
constexpr std::uint32_t kMinusOneBits = 0xBF800000U;

// Room for `extra` more elements before anything changes (for the strong
// guarantee), growing geometrically: reserving exactly size + extra would
// reallocate and copy the whole table on every append, so filling a store
// would take time quadratic in its size.
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

// Bit k of a byte as 16-bit word k of a pair of 64-bit words, in memory order
// (the pair is copied over eight consecutive 16-bit words).
constexpr std::array<std::array<std::uint64_t, 2>, 256> make_spread_byte() {
    std::array<std::array<std::uint64_t, 2>, 256> t{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        for (std::size_t k = 0; k < 8; ++k) {
            const std::uint64_t bit = (byte >> k) & 1U;
            if constexpr (std::endian::native == std::endian::little) {
                t[byte][k / 4] |= bit << (16 * (k % 4));
            } else {
                t[byte][k / 4] |= bit << (16 * (3 - k % 4));
            }
        }
    }
    return t;
}
constexpr auto kSpreadByte = make_spread_byte();

// Words of sign rows per chunk (64 KiB); a longer row gets a chunk of its own size.
constexpr std::size_t kSignChunkWords = 8192;

// Makes sure the last chunk can take `words` more words without growing
// (a grown chunk would move the rows already in it); returns whether a chunk
// was added for it.
bool make_room_for_words(std::vector<std::vector<std::uint64_t>>& chunks, std::size_t words) {
    if (!chunks.empty() && chunks.back().capacity() - chunks.back().size() >= words) return false;
    std::vector<std::uint64_t> chunk;
    chunk.reserve(std::max(kSignChunkWords, words));
    reserve_more(chunks, 1);
    chunks.push_back(std::move(chunk));
    return true;
}

// The lane a new row goes to: the next free lane of the last block, or lane 0
// of a new block. The record table grows by a whole block at a time so that
// every lane of every block has an entry. Returns whether a block was opened.
template <class Block>
bool open_lane(std::vector<Block>& blocks, std::vector<std::uint64_t>& records) {
    if (!blocks.empty() && blocks.back().used < RowStore::kLanes) return false;
    reserve_more(records, RowStore::kLanes);
    blocks.emplace_back();
    records.resize(records.size() + RowStore::kLanes, 0);
    return true;
}

// Undoes an open_lane that opened a block, when filling it failed.
template <class Block>
void abandon_block(std::vector<Block>& blocks, std::vector<std::uint64_t>& records) {
    blocks.pop_back();
    records.resize(records.size() - RowStore::kLanes);
}

// Grows `v` to at least n elements (zero-filled), undoing a block opened for
// the row if the allocation fails, so that a failed push leaves no trace.
template <class T, class Block>
void grow_for_row(std::vector<T>& v, std::size_t n, bool opened, std::vector<Block>& blocks,
                  std::vector<std::uint64_t>& records) {
    if (v.size() >= n) return;
    try {
        v.resize(n, T{});
    } catch (...) {
        if (opened) abandon_block(blocks, records);
        throw;
    }
}

template <class Block>
void close_lane(std::vector<Block>& blocks, std::vector<std::uint64_t>& records) {
    Block& b = blocks.back();
    --b.used;
    b.length[b.used] = 0;
    if (b.used == 0) abandon_block(blocks, records);
}

}  // namespace

bool is_exactly_bipolar(HvView row) {
    return std::all_of(row.begin(), row.end(), [](float x) {
        const auto bits = std::bit_cast<std::uint32_t>(x);
        return bits == kPlusOneBits || bits == kMinusOneBits;
    });
}

void RowStore::push_back(HvView row) {
    const std::size_t n = row.size();
    if (n > std::numeric_limits<std::size_t>::max() / kLanes) fault(kCapacityOverflow);
    if (is_exactly_bipolar(row)) return push_packed(n, row, nullptr);
    reserve_more(slots_, 1);
    const std::uint64_t record = slots_.size();
    // Every allocation happens before the first change to a lane; a block
    // opened for this row is given up again if its storage cannot grow.
    const bool opened = open_lane(floats_, float_records_);
    FloatBlock& b = floats_.back();
    grow_for_row(b.values, checked_count<float>(n * kLanes), opened, floats_, float_records_);
    const std::size_t lane = b.used;
    for (std::size_t i = 0; i < n; ++i) b.values[i * kLanes + lane] = row[i];
    b.length[lane] = n;
    b.used = lane + 1;
    float_records_[(floats_.size() - 1) * kLanes + lane] = record;
    slots_.push_back(Slot{false, floats_.size() - 1, lane, 0, 0});
}

void RowStore::push_back_signs(std::uint64_t length, std::span<const std::uint64_t> words) {
    if (length > std::numeric_limits<std::size_t>::max() / kLanes) fault(kCapacityOverflow);
    if (words.size() != (length + 63) / 64) fault("sign words do not match the row length");
    push_packed(static_cast<std::size_t>(length), {}, words.data());
}

// The sign bits come from `signs` (row-by-row words) when given, else from `row`.
void RowStore::push_packed(std::size_t n, HvView row, const std::uint64_t* signs) {
    reserve_more(slots_, 1);
    const std::uint64_t record = slots_.size();
    // Every allocation happens before the first change to a lane; a block
    // opened for this row is given up again if its storage cannot grow.
    const std::size_t words = (n + 63) / 64;
    const bool new_chunk = make_room_for_words(sign_chunks_, words);
    UndoGuard drop_chunk([this] { sign_chunks_.pop_back(); });
    if (!new_chunk) drop_chunk.keep();
    const bool opened = open_lane(packed_, packed_records_);
    PackedBlock& b = packed_.back();
    grow_for_row(b.signs, checked_count<SignWord>(n), opened, packed_, packed_records_);
    std::vector<std::uint64_t>& chunk = sign_chunks_.back();
    const std::size_t signs_at = chunk.size();
    chunk.resize(signs_at + words, 0);  // within the chunk's capacity: cannot throw
    std::uint64_t* w = chunk.data() + signs_at;
    if (signs != nullptr) {
        std::copy(signs, signs + words, w);
        if (n % 64 != 0) w[words - 1] &= (std::uint64_t{1} << (n % 64)) - 1;
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            w[i / 64] |= std::uint64_t{std::signbit(row[i])} << (i % 64);
        }
    }
    // Eight components at a time and without branches (the signs of a random
    // row would mispredict every other one): a byte of signs spread to eight
    // 16-bit words of 0 or 1, shifted to the lane and added in.
    const std::size_t lane = b.used;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::array<std::uint64_t, 2>& spread = kSpreadByte[(w[i / 64] >> (i % 64)) & 0xFFU];
        std::uint64_t words_at[2];
        std::memcpy(words_at, &b.signs[i], sizeof words_at);
        words_at[0] |= spread[0] << lane;
        words_at[1] |= spread[1] << lane;
        std::memcpy(&b.signs[i], words_at, sizeof words_at);
    }
    for (; i < n; ++i) b.signs[i] = static_cast<SignWord>(b.signs[i] | ((w[i / 64] >> (i % 64)) & 1U) << lane);
    b.length[lane] = n;
    b.used = lane + 1;
    packed_records_[(packed_.size() - 1) * kLanes + lane] = record;
    drop_chunk.keep();
    slots_.push_back(Slot{true, packed_.size() - 1, lane, sign_chunks_.size() - 1, signs_at});
}

std::span<const std::uint64_t> RowStore::sign_words(std::size_t k) const {
    const Slot& s = slots_[k];
    return {sign_row(s), static_cast<std::size_t>((packed_[s.block].length[s.lane] + 63) / 64)};
}

void RowStore::pop_back() {
    const Slot s = slots_.back();
    if (s.packed) {
        // Clear the lane's bits so that a later row in the same lane starts clean.
        PackedBlock& b = packed_.back();
        const auto keep = static_cast<SignWord>(~(1U << s.lane));
        for (std::size_t i = 0; i < b.length[s.lane]; ++i) b.signs[i] = static_cast<SignWord>(b.signs[i] & keep);
        close_lane(packed_, packed_records_);
        sign_chunks_[s.signs_chunk].resize(s.signs_at);
        if (sign_chunks_.back().empty()) sign_chunks_.pop_back();
    } else {
        close_lane(floats_, float_records_);
    }
    slots_.pop_back();
}

void RowStore::clear() {
    std::vector<PackedBlock>().swap(packed_);
    std::vector<FloatBlock>().swap(floats_);
    std::vector<Slot>().swap(slots_);
    std::vector<std::uint64_t>().swap(packed_records_);
    std::vector<std::uint64_t>().swap(float_records_);
    std::vector<std::vector<std::uint64_t>>().swap(sign_chunks_);
}

std::uint64_t RowStore::row_length(std::size_t k) const {
    const Slot& s = slots_[k];
    return s.packed ? packed_[s.block].length[s.lane] : floats_[s.block].length[s.lane];
}

void RowStore::copy_row(std::size_t k, Hypervector& out) const {
    const Slot& s = slots_[k];
    if (s.packed) {
        const PackedBlock& b = packed_[s.block];
        out.resize(b.length[s.lane]);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = ((b.signs[i] >> s.lane) & 1U) != 0 ? -1.0f : 1.0f;
    } else {
        const FloatBlock& b = floats_[s.block];
        out.resize(b.length[s.lane]);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = b.values[i * kLanes + s.lane];
    }
}

Hypervector RowStore::row(std::size_t k) const {
    Hypervector out;
    copy_row(k, out);
    return out;
}

std::size_t RowStore::bytes_held() const {
    std::size_t bytes = slots_.capacity() * sizeof(Slot) +
                        (packed_records_.capacity() + float_records_.capacity()) * sizeof(std::uint64_t) +
                        sign_chunks_.capacity() * sizeof(std::vector<std::uint64_t>) +
                        packed_.capacity() * sizeof(PackedBlock) + floats_.capacity() * sizeof(FloatBlock);
    for (const PackedBlock& b : packed_) bytes += b.signs.capacity() * sizeof(SignWord);
    for (const auto& c : sign_chunks_) bytes += c.capacity() * sizeof(std::uint64_t);
    for (const FloatBlock& b : floats_) bytes += b.values.capacity() * sizeof(float);
    return bytes;
}

}  // namespace tessarin
