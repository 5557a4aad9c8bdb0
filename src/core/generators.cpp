#include "core/generators.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <pthread.h>
#include <sys/random.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/siphash.hpp"

namespace tessarin {

namespace {

// +1.0f when the top bit of `word` is clear, -1.0f when it is set: the bit
// becomes the sign of 1.0f directly, with no branch to mispredict on random data.
float sign_of_top_bit(std::uint64_t word) {
    constexpr std::uint32_t kOne = 0x3F800000U;  // bit pattern of 1.0f
    return std::bit_cast<float>(kOne | static_cast<std::uint32_t>(word >> 63) << 31);
}

// Cost of one generated component, in cancellation units.
constexpr std::uint64_t kUnitsPerComponent = 1;

// The stream is one serial recurrence, s <- a*s + 1, whose multiply latency
// bounds a plain loop. Eight interleaved lanes each jump eight steps at a time
// (s <- a^8*s + (1 + a + ... + a^7)), which yields exactly the same states in
// the same places while keeping the multiplier busy.
class LcgSigns {
public:
    static constexpr std::size_t kLanes = 8;
    static_assert(kCancelBlockItems % kLanes == 0, "a block boundary must not split the lanes");

    explicit LcgSigns(std::uint64_t seed) {
        std::uint64_t s = seed;
        for (std::size_t j = 0; j < kLanes; ++j) lane_[j] = s = s * kLcgMultiplier + 1;
    }

    // Components first ... last - 1 of the stream; consecutive calls must
    // continue where the previous one stopped, and only the last may end
    // inside a round of the lanes.
    void fill(float* out, std::size_t first, std::size_t last) {
        std::size_t i = first;
        for (; i + kLanes <= last; i += kLanes) {
            for (std::size_t j = 0; j < kLanes; ++j) {
                out[i + j] = sign_of_top_bit(lane_[j]);
                lane_[j] = lane_[j] * kJump.first + kJump.second;
            }
        }
        for (std::size_t j = 0; i < last; ++i, ++j) out[i] = sign_of_top_bit(lane_[j]);
    }

private:
    static constexpr auto kJump = [] {
        std::uint64_t mul = 1;
        std::uint64_t add = 0;
        for (std::size_t i = 0; i < kLanes; ++i) {
            add = add * kLcgMultiplier + 1;
            mul *= kLcgMultiplier;
        }
        return std::pair{mul, add};
    }();
    std::array<std::uint64_t, kLanes> lane_{};
};

}  // namespace

Hypervector lcg_bipolar_stream(std::uint64_t seed, std::uint64_t n) {
    LcgSigns signs(seed);
    // Blocks hold whole rounds of the lanes, so only the last one has a tail.
    return filled_in_blocks<float>(n, kUnitsPerComponent, [&](Hypervector& out, std::size_t first, std::size_t last) {
        signs.fill(out.data(), first, last);
    });
}

void lcg_bipolar_fill(std::uint64_t seed, std::span<float> out, CancelPoll& poll) {
    LcgSigns signs(seed);
    for_each_block(poll, out.size(), kUnitsPerComponent,
                   [&](std::uint64_t first, std::uint64_t last) { signs.fill(out.data(), first, last); });
}

Hypervector string_hypervector(std::string_view text, std::uint64_t n) {
    return lcg_bipolar_stream(string_digest(text), n);
}

void string_hypervector_fill(std::string_view text, std::span<float> out, CancelPoll& poll) {
    lcg_bipolar_fill(string_digest(text), out, poll);
}

std::uint64_t hv_hash(HvView v) {
    // Without a branch per component (the signs of a random vector would
    // mispredict every other one), and four components per compare where the
    // baseline has SSE2; the compare is ordered, so NaN counts as not above
    // zero, as in the scalar loop.
    std::uint64_t h = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 zero = _mm_setzero_ps();
    for (; i + 4 <= v.size(); i += 4) {
        const auto bits = static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v.data() + i), zero)));
        h ^= bits << (i % 64);
    }
#endif
    for (; i < v.size(); ++i) h ^= static_cast<std::uint64_t>(v[i] > 0.0f) << (i % 64);
    return h;
}

std::uint64_t hv_hash_of_signs(std::span<const std::uint64_t> words, std::uint64_t n) {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint64_t valid = n - 64 * i >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (n - 64 * i)) - 1;
        h ^= ~words[i] & valid;
    }
    return h;
}

namespace {

// xoshiro256**: fast, 256 bits of state, passes the usual statistical batteries.
class Xoshiro256 {
public:
    Xoshiro256() { reseed(); }

    // Fresh state from the operating system's entropy source.
    void reseed() {
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

// A forked child starts with a copy of its parent's generator state and would
// draw exactly what the parent draws next. Each fork bumps this count in the
// child; a generator seeded under an older count is reseeded before its next draw.
std::atomic<std::uint64_t> fork_generation{0};

void count_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

// The current fork count, once forks are being counted: the handler is
// registered once per process, on the first use of any generator rather than
// at load time.
std::uint64_t counted_fork_generation() {
    static const bool registered = [] {
        if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) {
            throw std::runtime_error("cannot register the fork handler of the random generator");
        }
        return true;
    }();
    (void)registered;
    return fork_generation.load(std::memory_order_relaxed);
}

struct ThreadGenerator {
    std::uint64_t generation = counted_fork_generation();
    Xoshiro256 generator;
};

// The calling thread's generator, reseeded if the process forked since it was
// seeded. Looked up once per block of draws, not per draw, because every
// access to a thread_local with a constructor pays for a guard.
Xoshiro256& thread_generator() {
    thread_local ThreadGenerator state;
    const std::uint64_t now = fork_generation.load(std::memory_order_relaxed);
    if (state.generation != now) {
        state.generator.reseed();
        state.generation = now;
    }
    return state.generator;
}

}  // namespace

std::uint64_t thread_random_u64() { return thread_generator().next(); }

Hypervector rand_bipolar(std::uint64_t dim) {
    return filled_in_blocks<float>(dim, kUnitsPerComponent, [](Hypervector& out, std::size_t first, std::size_t last) {
        // Looked up again for every block: a signal handler run by the poll
        // between blocks may have forked.
        Xoshiro256& generator = thread_generator();
        for (std::size_t i = first; i < last; ++i) out[i] = sign_of_top_bit(generator.next());
    });
}

}  // namespace tessarin
