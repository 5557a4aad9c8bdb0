// The ChaCha keystream as a deterministic generator of 64-bit draws, and the
// expansion of a 64-bit seed into a ChaCha key.
//
// A keyed ChaCha generator gives every seed its own long stream of draws that
// is the same in every process and on every platform. Draw k is output words
// 2k (low half) and 2k + 1 (high half) of stream 0, counting blocks from 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessarin {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

inline constexpr unsigned kChaCha12Rounds = 12;

// 64-bit draws per block: 16 words, two per draw.
inline constexpr std::uint64_t kChaChaDrawsPerBlock = 8;

// Blocks that for_each_chacha12_draw computes together, and their draws.
inline constexpr std::size_t kChaChaBlocksPerGroup = 4;
inline constexpr std::uint64_t kChaChaDrawsPerGroup = kChaChaBlocksPerGroup * kChaChaDrawsPerBlock;

// One keystream block: the state is the "expand 32-byte k" constants, the eight
// key words, the 64-bit block counter (words 12-13, low word first) and the
// 64-bit stream number (words 14-15). `rounds` must be even.
ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         unsigned rounds);

// Eight key words from a 64-bit seed through a permuted congruential
// generator, so that neighbouring seeds give unrelated keys.
ChaChaKey expand_seed(std::uint64_t seed);

// Blocks counter ... counter + 3 of the ChaCha12 stream 0 keyed by `key`,
// computed side by side: words[w][l] is word w of block counter + l.
using ChaChaBlocks4 = std::array<std::array<std::uint32_t, kChaChaBlocksPerGroup>, 16>;
ChaChaBlocks4 chacha12_blocks4(const ChaChaKey& key, std::uint64_t counter);

// Calls sink(k, draw k) for k = first ... last - 1 of the ChaCha12 generator
// keyed by `key`, in order. Four blocks at a time, so a long run costs much
// less per draw than ChaCha12Rng::next_u64; the sink is inlined into the loop.
template <class Sink>
void for_each_chacha12_draw(const ChaChaKey& key, std::uint64_t first, std::uint64_t last, Sink&& sink) {
    // A start inside a group of blocks computes the whole group and passes
    // over the draws before `first`.
    std::uint64_t index = first - first % kChaChaDrawsPerGroup;
    for (std::uint64_t counter = index / kChaChaDrawsPerBlock; index < last; counter += kChaChaBlocksPerGroup) {
        const ChaChaBlocks4 blocks = chacha12_blocks4(key, counter);
        for (std::size_t l = 0; l < kChaChaBlocksPerGroup && index < last; ++l) {
            for (std::size_t k = 0; k < kChaChaDrawsPerBlock && index < last; ++k, ++index) {
                if (index < first) continue;
                sink(index, std::uint64_t{blocks[2 * k][l]} | (std::uint64_t{blocks[2 * k + 1][l]} << 32));
            }
        }
    }
}

// The same generator one draw at a time, from draw 0.
class ChaCha12Rng {
public:
    explicit ChaCha12Rng(const ChaChaKey& key) : key_(key) {}
    std::uint64_t next_u64();

private:
    ChaChaKey key_;
    ChaChaBlock block_{};
    std::uint64_t next_counter_ = 0;
    std::size_t next_word_ = block_.size();
};

}  // namespace tessarin
