// SipHash-1-3 under the all-zero 128-bit key: the one hash whose values enter
// results. One compression round per 8-byte block, three finalisation rounds.
//
// Messages are framed so that different inputs never share a byte string:
//   a string          -> its UTF-8 bytes, then one 0xFF byte (prefix-free);
//   an unsigned 64-bit -> its 8 little-endian bytes;
//   a counted string  -> its byte length as 8 little-endian bytes, then the bytes.
//
// Hashing is O(bytes) and never allocates or fails. A hasher is a plain value:
// a const one (a hashed prefix) may be finished or copied from several threads
// at once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/cancel.hpp"

namespace tessarin {

// Incremental hasher. It is a small value type: hash a common prefix once,
// copy the hasher, and finish each copy with its own suffix.
class SipHasher13 {
public:
    SipHasher13() = default;

    SipHasher13& write(std::span<const std::uint8_t> bytes);
    SipHasher13& write(std::string_view bytes);
    SipHasher13& write_u8(std::uint8_t byte);
    SipHasher13& write_u64(std::uint64_t value);
    // The string framing: UTF-8 bytes followed by the 0xFF terminator.
    SipHasher13& write_str(std::string_view text);
    // The counted framing: byte length (8 bytes, little-endian), then the bytes.
    SipHasher13& write_counted(std::string_view bytes);

    std::uint64_t finish() const;

    // The digests of this message followed by each of the indices first,
    // first + 1, ... (8 little-endian bytes each, wrapping mod 2^64):
    // out[k] == SipHasher13(*this).write_u64(first + k).finish(). The message
    // so far is not hashed again, and several indices are finished per pass
    // (one index per 64-bit lane on the AVX2 and AVX-512 targets).
    // O(out.size()), no allocation, no poll.
    void indexed_digests(std::uint64_t first, std::span<std::uint64_t> out) const;

private:
    void absorb(std::uint64_t block);

    // With k0 = k1 = 0 the initial state is the SipHash constants themselves.
    std::uint64_t v0_ = 0x736f6d6570736575ULL;
    std::uint64_t v1_ = 0x646f72616e646f6dULL;
    std::uint64_t v2_ = 0x6c7967656e657261ULL;
    std::uint64_t v3_ = 0x7465646279746573ULL;
    std::uint64_t tail_ = 0;    // pending bytes, little-endian
    std::uint64_t length_ = 0;  // total bytes written
};

// out[i] = to_value(digest of prefix's message followed by index i) for every
// i of out. The digests are made a block at a time in a small buffer, then
// turned into values element by element.
// A long fill stops between blocks when the cancellation hook asks it to
// (Cancelled; `out` is then partly written). Allocates nothing.
template <class T, class ToValue>
void map_indexed_digests(const SipHasher13& prefix, std::span<T> out, ToValue to_value) {
    constexpr std::size_t kBlock = 256;
    constexpr std::uint64_t kUnitsPerDigest = 4;
    std::array<std::uint64_t, kBlock> digests;
    CancelPoll poll;
    for (std::size_t start = 0; start < out.size(); start += kBlock) {
        poll.tick(kBlock * kUnitsPerDigest);
        const auto block = std::span(digests).first(std::min(kBlock, out.size() - start));
        prefix.indexed_digests(start, block);
        for (std::size_t k = 0; k < block.size(); ++k) out[start + k] = to_value(block[k]);
    }
}

// SipHash-1-3 (zero key) of a raw byte string.
std::uint64_t siphash13(std::span<const std::uint8_t> bytes);
std::uint64_t siphash13(std::string_view bytes);

// SipHash-1-3 (zero key) of the 8 little-endian bytes of one value.
std::uint64_t siphash13_u64(std::uint64_t value);

// The digest of a text under the string framing.
std::uint64_t string_digest(std::string_view text);

}  // namespace tessarin
