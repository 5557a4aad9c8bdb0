#include "core/siphash.hpp"

#include <bit>

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
};

}  // namespace

void SipHasher13::absorb(std::uint64_t block) {
    State s{v0_, v1_, v2_, v3_};
    s.v3 ^= block;
    s.round();
    s.v0 ^= block;
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
    const std::uint64_t last = ((length_ & 0xFFU) << 56) | tail_;
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13(std::span<const std::uint8_t> bytes) { return SipHasher13{}.write(bytes).finish(); }

std::uint64_t siphash13(std::string_view bytes) { return SipHasher13{}.write(bytes).finish(); }

std::uint64_t siphash13_u64(std::uint64_t value) { return SipHasher13{}.write_u64(value).finish(); }

std::uint64_t string_digest(std::string_view text) { return SipHasher13{}.write_str(text).finish(); }

}  // namespace tessarin
