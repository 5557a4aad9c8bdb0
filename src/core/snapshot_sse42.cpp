// The CRC-32C update on the SSE4.2 crc32 instruction, which computes exactly
// this polynomial; entered only after a run-time check of the processor.
#include <nmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessarin {

std::uint32_t crc32c_instruction_update(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
    std::uint64_t s = state;
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);  // x86 is little-endian, the order the CRC reads bytes in
        s = _mm_crc32_u64(s, word);
        p += 8;
        n -= 8;
    }
    auto s32 = static_cast<std::uint32_t>(s);
    for (; n > 0; --n, ++p) s32 = _mm_crc32_u8(s32, *p);
    return s32;
}

}  // namespace tessarin
