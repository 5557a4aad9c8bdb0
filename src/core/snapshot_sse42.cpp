// The CRC-32C update on the SSE4.2 crc32 instruction, which computes exactly
// this polynomial; entered only after a run-time check of the processor.
//
// The instruction takes three cycles and depends on its previous result, so
// one chain runs at a third of the unit's speed. Long inputs run three chains
// over three consecutive blocks and join them: the update is linear, so
// update(s, A B C) = Z(Z(update(s, A)) ^ update(0, B)) ^ update(0, C), where
// Z is the effect of a block of zero bytes on a state, a fixed 32 x 32 bit
// matrix worked out once with the instruction itself.
#include <nmmintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessarin {
namespace {

constexpr std::size_t kBlockBytes = 4096;

std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);  // x86 is little-endian, the order the CRC reads bytes in
    return word;
}

std::uint32_t one_chain(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
    std::uint64_t s = state;
    for (; n >= 8; p += 8, n -= 8) s = _mm_crc32_u64(s, load_word(p));
    auto s32 = static_cast<std::uint32_t>(s);
    for (; n > 0; --n, ++p) s32 = _mm_crc32_u8(s32, *p);
    return s32;
}

// Column i: the state that bit i of a state becomes after kBlockBytes zeros.
using ZeroBlock = std::array<std::uint32_t, 32>;

const ZeroBlock& zero_block() {
    static const ZeroBlock columns = [] {
        ZeroBlock c{};
        static const std::array<std::uint8_t, kBlockBytes> zeros{};
        for (int i = 0; i < 32; ++i) c[i] = one_chain(std::uint32_t{1} << i, zeros.data(), zeros.size());
        return c;
    }();
    return columns;
}

std::uint32_t after_zero_block(const ZeroBlock& z, std::uint32_t state) {
    std::uint32_t out = 0;
    for (int i = 0; state != 0; ++i, state >>= 1) out ^= (state & 1) != 0 ? z[i] : 0;
    return out;
}

}  // namespace

std::uint32_t crc32c_instruction_update(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
    if (n >= 3 * kBlockBytes) {
        const ZeroBlock& z = zero_block();
        for (; n >= 3 * kBlockBytes; p += 3 * kBlockBytes, n -= 3 * kBlockBytes) {
            std::uint64_t a = state, b = 0, c = 0;
            for (std::size_t i = 0; i < kBlockBytes; i += 8) {
                a = _mm_crc32_u64(a, load_word(p + i));
                b = _mm_crc32_u64(b, load_word(p + kBlockBytes + i));
                c = _mm_crc32_u64(c, load_word(p + 2 * kBlockBytes + i));
            }
            const auto joined = after_zero_block(z, static_cast<std::uint32_t>(a)) ^ static_cast<std::uint32_t>(b);
            state = after_zero_block(z, joined) ^ static_cast<std::uint32_t>(c);
        }
    }
    return one_chain(state, p, n);
}

}  // namespace tessarin
