#include "core/siphash.hpp"

#include <bit>

#include "core/simd_target.hpp"
#include "core/siphash_lanes.hpp"

namespace tessarin {
namespace {

struct State {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void absorb(std::uint64_t block) {
        v3 ^= block;
        round();
        v0 ^= block;
    }

    // `last` holds the pending bytes and, in its top byte, the message length.
    std::uint64_t finish(std::uint64_t last) {
        absorb(last);
        v2 ^= 0xFF;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

// The digest of a prefix followed by the 8 little-endian bytes of `index`.
std::uint64_t indexed_digest(const siphash_lanes::IndexedPrefix& p, std::uint64_t index) {
    // The high bytes are shifted in two steps so that an empty tail (a shift
    // by 64) leaves nothing rather than being undefined.
    const std::uint64_t block = p.tail | (index << p.tail_bits);
    const std::uint64_t last = p.length_byte | ((index >> (63 - p.tail_bits)) >> 1);
    State s{p.v0, p.v1, p.v2, p.v3};
    s.absorb(block);
    return s.finish(last);
}

}  // namespace

void SipHasher13::absorb(std::uint64_t block) {
    State s{v0_, v1_, v2_, v3_};
    s.absorb(block);
    v0_ = s.v0;
    v1_ = s.v1;
    v2_ = s.v2;
    v3_ = s.v3;
}

SipHasher13& SipHasher13::write_u8(std::uint8_t byte) {
    const unsigned used = static_cast<unsigned>(length_ & 7U);
    tail_ |= static_cast<std::uint64_t>(byte) << (8U * used);
    ++length_;
    if (used == 7U) {
        absorb(tail_);
        tail_ = 0;
    }
    return *this;
}

SipHasher13& SipHasher13::write(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    // Fill the pending block byte by byte, then take whole blocks at once.
    while (i < n && (length_ & 7U) != 0U) write_u8(bytes[i++]);
    for (; i + 8 <= n; i += 8) {
        std::uint64_t block = 0;
        for (unsigned b = 0; b < 8; ++b) block |= static_cast<std::uint64_t>(bytes[i + b]) << (8U * b);
        absorb(block);
        length_ += 8;
    }
    while (i < n) write_u8(bytes[i++]);
    return *this;
}

SipHasher13& SipHasher13::write(std::string_view bytes) {
    return write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                               bytes.size()));
}

SipHasher13& SipHasher13::write_u64(std::uint64_t value) {
    if ((length_ & 7U) == 0U) {
        absorb(value);
        length_ += 8;
        return *this;
    }
    for (unsigned b = 0; b < 8; ++b) write_u8(static_cast<std::uint8_t>(value >> (8U * b)));
    return *this;
}

SipHasher13& SipHasher13::write_str(std::string_view text) {
    write(text);
    return write_u8(0xFF);
}

SipHasher13& SipHasher13::write_counted(std::string_view bytes) {
    write_u64(static_cast<std::uint64_t>(bytes.size()));
    return write(bytes);
}

std::uint64_t SipHasher13::finish() const {
    State s{v0_, v1_, v2_, v3_};
    return s.finish(((length_ & 0xFFU) << 56) | tail_);
}

void SipHasher13::indexed_digests(std::uint64_t first, std::span<std::uint64_t> out) const {
    const unsigned used = static_cast<unsigned>(length_ & 7U);
    const siphash_lanes::IndexedPrefix p{v0_, v1_, v2_, v3_, tail_, 8U * used, ((length_ + 8) & 0xFFU) << 56};
    switch (active_simd_target()) {
#if defined(__x86_64__) && defined(__GNUC__)
        case SimdTarget::avx512:
        case SimdTarget::avx512pop:
            return siphash_lanes::indexed_digests_avx512(p, first, out.data(), out.size());
        case SimdTarget::avx2:
            return siphash_lanes::indexed_digests_avx2(p, first, out.data(), out.size());
#endif
        default:
            return siphash_lanes::indexed_digests_portable(p, first, out.data(), out.size());
    }
}

namespace siphash_lanes {

// No index depends on another, so the compiler is free to overlap the
// iterations or run them in the baseline target's vector registers.
void indexed_digests_portable(const IndexedPrefix& p, std::uint64_t first, std::uint64_t* out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) out[k] = indexed_digest(p, first + k);
}

}  // namespace siphash_lanes

std::uint64_t siphash13(std::span<const std::uint8_t> bytes) { return SipHasher13{}.write(bytes).finish(); }

std::uint64_t siphash13(std::string_view bytes) { return SipHasher13{}.write(bytes).finish(); }

std::uint64_t siphash13_u64(std::uint64_t value) { return SipHasher13{}.write_u64(value).finish(); }

std::uint64_t string_digest(std::string_view text) { return SipHasher13{}.write_str(text).finish(); }

}  // namespace tessarin
