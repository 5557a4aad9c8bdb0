#include "core/chacha.hpp"

#include <bit>

#include "core/generators.hpp"

namespace tessarin {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kChaChaConstants = {0x61707865U, 0x3320646eU, 0x79622d32U,
                                                           0x6b206574U};

// The round function is written once over a "word" type: a plain 32-bit word
// for single blocks, or a vector of four words to compute four consecutive
// blocks side by side (one block per element) in baseline SIMD registers.
using WordX4 = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kBulkLanes = kChaChaBlocksPerGroup;

template <int Shift, class Word>
inline Word rotate_left(Word v) {
    return (v << Shift) | (v >> (32 - Shift));
}

template <class Word>
inline void quarter_round(Word& a, Word& b, Word& c, Word& d) {
    a += b;
    d = rotate_left<16>(d ^ a);
    c += d;
    b = rotate_left<12>(b ^ c);
    a += b;
    d = rotate_left<8>(d ^ a);
    c += d;
    b = rotate_left<7>(b ^ c);
}

// Applies `rounds` rounds (in pairs of column and diagonal rounds) and the
// final feed-forward addition of the input state.
template <class Word>
std::array<Word, 16> chacha_permute(const std::array<Word, 16>& input, unsigned rounds) {
    std::array<Word, 16> x = input;
    for (unsigned r = 0; r < rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t w = 0; w < 16; ++w) x[w] += input[w];
    return x;
}

// The input state with `counter` split into words 12 (low) and 13 (high).
template <class Word>
std::array<Word, 16> chacha_input(const ChaChaKey& key, Word counter_low, Word counter_high,
                                  std::uint64_t stream) {
    std::array<Word, 16> in;
    for (std::size_t w = 0; w < 4; ++w) in[w] = Word{} + kChaChaConstants[w];
    for (std::size_t w = 0; w < 8; ++w) in[4 + w] = Word{} + key[w];
    in[12] = counter_low;
    in[13] = counter_high;
    in[14] = Word{} + static_cast<std::uint32_t>(stream);
    in[15] = Word{} + static_cast<std::uint32_t>(stream >> 32);
    return in;
}

// Blocks first_counter ... first_counter + 3; element l of word w belongs to
// block first_counter + l.
std::array<WordX4, 16> chacha_blocks_x4(const ChaChaKey& key, std::uint64_t first_counter,
                                        std::uint64_t stream, unsigned rounds) {
    WordX4 low{}, high{};
    for (std::size_t l = 0; l < kBulkLanes; ++l) {
        // The block counter is 64 bits wide and wraps like one.
        const std::uint64_t counter = first_counter + l;
        low[l] = static_cast<std::uint32_t>(counter);
        high[l] = static_cast<std::uint32_t>(counter >> 32);
    }
    return chacha_permute(chacha_input(key, low, high, stream), rounds);
}

// Every draw comes from stream 0.
constexpr std::uint64_t kDrawStream = 0;

// The permuted congruential generator behind expand_seed: the LCG step of the
// sign stream with an odd increment of its own.
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                         unsigned rounds) {
    return chacha_permute(chacha_input(key, static_cast<std::uint32_t>(counter),
                                       static_cast<std::uint32_t>(counter >> 32), stream),
                          rounds);
}

ChaChaKey expand_seed(std::uint64_t seed) {
    ChaChaKey key;
    for (std::uint32_t& word : key) {
        seed = seed * kLcgMultiplier + kPcgIncrement;
        const auto xorshifted = static_cast<std::uint32_t>(((seed >> 18) ^ seed) >> 27);
        word = std::rotr(xorshifted, static_cast<int>(seed >> 59));
    }
    return key;
}

ChaChaBlocks4 chacha12_blocks4(const ChaChaKey& key, std::uint64_t counter) {
    static_assert(sizeof(ChaChaBlocks4) == sizeof(std::array<WordX4, 16>));
    return std::bit_cast<ChaChaBlocks4>(chacha_blocks_x4(key, counter, kDrawStream, kChaCha12Rounds));
}

std::uint64_t ChaCha12Rng::next_u64() {
    if (next_word_ == block_.size()) {
        block_ = chacha_block(key_, next_counter_++, kDrawStream, kChaCha12Rounds);
        next_word_ = 0;
    }
    const std::uint64_t low = block_[next_word_];
    const std::uint64_t high = block_[next_word_ + 1];
    next_word_ += 2;
    return low | (high << 32);
}

}  // namespace tessarin
