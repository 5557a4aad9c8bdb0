#include "core/generators.hpp"

#include <sys/random.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/fault.hpp"
#include "core/siphash.hpp"

namespace tessarin {

Hypervector lcg_bipolar_stream(std::uint64_t seed, std::uint64_t n) {
    Hypervector out = zeroed<float>(n);
    std::uint64_t s = seed;
    for (float& c : out) {
        s = s * kLcgMultiplier + 1;
        c = (s >> 63) == 0 ? 1.0f : -1.0f;
    }
    return out;
}

Hypervector string_hypervector(std::string_view text, std::uint64_t n) {
    return lcg_bipolar_stream(string_digest(text), n);
}

std::uint64_t hv_hash(HvView v) {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] > 0.0f) h ^= std::uint64_t{1} << (i % 64);
    }
    return h;
}

namespace {

// xoshiro256**: fast, 256 bits of state, passes the usual statistical batteries.
class Xoshiro256 {
public:
    Xoshiro256() {
        std::array<std::uint8_t, 32> seed{};
        std::size_t filled = 0;
        while (filled < seed.size()) {
            const ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("the operating system's entropy source failed");
            }
            filled += static_cast<std::size_t>(got);
        }
        std::memcpy(s_.data(), seed.data(), seed.size());
        // The all-zero state is the one fixed point of the generator.
        if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 0x9E3779B97F4A7C15ULL;
    }

    std::uint64_t next() {
        const std::uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = std::rotl(s_[3], 45);
        return result;
    }

private:
    std::array<std::uint64_t, 4> s_{};
};

}  // namespace

std::uint64_t thread_random_u64() {
    thread_local Xoshiro256 generator;
    return generator.next();
}

Hypervector rand_bipolar(std::uint64_t dim) {
    Hypervector out = zeroed<float>(dim);
    for (float& c : out) c = (thread_random_u64() >> 63) == 0 ? 1.0f : -1.0f;
    return out;
}

}  // namespace tessarin
