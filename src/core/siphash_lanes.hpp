// Many digests of one message prefix, each finished with its own 64-bit index.
//
// The prefix is absorbed once; what is left per index is one compression of
// the block that holds the index's first bytes and one finalisation of the
// block that holds the rest and the message length. The kernels below run
// that for several indices at a time, one index per 64-bit lane.
//
// Plain data and declarations only: the wide kernels are compiled with their
// own instruction-set flags, and nothing inline may be shared with them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::siphash_lanes {

struct IndexedPrefix {
    // The state after the prefix's whole 8-byte blocks.
    std::uint64_t v0, v1, v2, v3;
    // The prefix's pending bytes, little-endian, and 8 times their count
    // (0 to 56). The index's low bytes fill the block above them; its
    // remaining high bytes spill into the final block.
    std::uint64_t tail;
    std::uint64_t tail_bits;
    // The final block's top byte, the whole message's length mod 256, in place.
    std::uint64_t length_byte;
};

// out[k] = digest of the prefix followed by index first + k (mod 2^64), k < n.
void indexed_digests_portable(const IndexedPrefix& p, std::uint64_t first, std::uint64_t* out, std::size_t n);
void indexed_digests_avx2(const IndexedPrefix& p, std::uint64_t first, std::uint64_t* out, std::size_t n);
void indexed_digests_avx512(const IndexedPrefix& p, std::uint64_t first, std::uint64_t* out, std::size_t n);

}  // namespace tessarin::siphash_lanes
