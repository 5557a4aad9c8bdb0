#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/algebra.hpp"
#include "core/cancel.hpp"
#include "core/chacha.hpp"
#include "core/diagnostics.hpp"
#include "core/fault.hpp"
#include "core/fingerprint_index.hpp"
#include "core/generators.hpp"
#include "core/hebbian.hpp"
#include "core/simd_target.hpp"
#include "core/sincos.hpp"
#include "core/siphash.hpp"
#include "core/xorshift_stream.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Bit-for-bit equality, so that -0.0 and NaN payloads count.
void expect_bits(const V& got, const V& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << "at " << i;
        } else {
            EXPECT_EQ(std::signbit(got[i]), std::signbit(want[i])) << "at " << i;
            EXPECT_EQ(got[i], want[i]) << "at " << i;
        }
    }
}

// ---- SipHash-1-3 ---------------------------------------------------------

struct DigestCase {
    std::string text;
    std::uint64_t digest;
};

class StringDigest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(StringDigest, MatchesReference) { EXPECT_EQ(string_digest(GetParam().text), GetParam().digest); }

INSTANTIATE_TEST_SUITE_P(Reference, StringDigest,
                         ::testing::Values(DigestCase{"abc", 0xEF09E0F4895A251DULL},
                                           DigestCase{"", 0x30406EA523C53DEFULL},
                                           DigestCase{"ram_role", 0x6E5F4A532A03C3A1ULL}));

TEST(SipHasher, IncrementalWritesEqualOneShot) {
    // Split a 40-byte message at every point and through every framing helper:
    // the block buffering must not depend on how the bytes arrive.
    std::string msg;
    for (int i = 0; i < 40; ++i) msg.push_back(static_cast<char>(i * 37 + 5));
    const std::uint64_t whole = siphash13(msg);
    for (std::size_t cut = 0; cut <= msg.size(); ++cut) {
        SipHasher13 h;
        h.write(std::string_view(msg).substr(0, cut)).write(std::string_view(msg).substr(cut));
        EXPECT_EQ(h.finish(), whole) << "cut at " << cut;
    }
    SipHasher13 bytewise;
    for (const char c : msg) bytewise.write_u8(static_cast<std::uint8_t>(c));
    EXPECT_EQ(bytewise.finish(), whole);
}

TEST(SipHasher, FramingsAreTheirByteStrings) {
    std::string le;
    const std::uint64_t value = 0x0102030405060708ULL;
    for (int b = 0; b < 8; ++b) le.push_back(static_cast<char>(value >> (8 * b)));
    EXPECT_EQ(siphash13_u64(value), siphash13(le));
    // Unaligned u64 after a 3-byte prefix.
    EXPECT_EQ(SipHasher13{}.write("xyz").write_u64(value).finish(), siphash13("xyz" + le));
    EXPECT_EQ(SipHasher13{}.write_str("abc").finish(), siphash13(std::string("abc\xFF")));
    std::string counted(8, '\0');
    counted[0] = 3;
    EXPECT_EQ(SipHasher13{}.write_counted("abc").finish(), siphash13(counted + "abc"));
}

TEST(SipHasher, IndexedDigestsEqualOneAtATimeOnEveryTarget) {
    // Raw prefixes of 0..17 bytes put the index at every offset in a block and
    // across a block boundary; counts 0..70 end at every lane of every target;
    // the last start wraps past 2^64 inside the run.
    std::vector<SipHasher13> prefixes{SipHasher13{}.write_u64(7)};
    for (std::size_t len = 0; len <= 17; ++len) {
        std::string bytes;
        for (std::size_t i = 0; i < len; ++i) bytes.push_back(static_cast<char>(0xA5 ^ (i * 29)));
        prefixes.push_back(SipHasher13{}.write(bytes));
        prefixes.push_back(SipHasher13{}.write_str(bytes));
        prefixes.push_back(SipHasher13{}.write_counted(bytes));
    }
    constexpr std::size_t kMaxCount = 70;
    constexpr std::uint64_t kSentinel = 0x5EB7'1E5E'5EB7'1E5EULL;
    for (const SimdTarget target : supported_simd_targets()) {
        const ScopedSimdTarget pin(target);
        for (std::size_t p = 0; p < prefixes.size(); ++p) {
            for (const std::uint64_t first : {std::uint64_t{0}, std::uint64_t{1'000'003}, ~std::uint64_t{0} - 36}) {
                std::vector<std::uint64_t> want;
                for (std::uint64_t k = 0; k < kMaxCount; ++k) {
                    want.push_back(SipHasher13(prefixes[p]).write_u64(first + k).finish());
                }
                for (std::size_t n = 0; n <= kMaxCount; ++n) {
                    std::vector<std::uint64_t> got(kMaxCount + 1, kSentinel);
                    prefixes[p].indexed_digests(first, std::span(got).first(n));
                    ASSERT_TRUE(std::equal(want.begin(), want.begin() + n, got.begin()) &&
                                std::all_of(got.begin() + n, got.end(), [](auto d) { return d == kSentinel; }))
                        << simd_target_name(target) << " prefix " << p << " first " << first << " count " << n;
                }
            }
        }
        // The block-wise helper, across its buffer's boundaries.
        std::vector<std::uint64_t> mapped(600);
        map_indexed_digests(prefixes[5], std::span(mapped), [](std::uint64_t d) { return d; });
        for (std::uint64_t i = 0; i < mapped.size(); ++i) {
            ASSERT_EQ(mapped[i], SipHasher13(prefixes[5]).write_u64(i).finish())
                << simd_target_name(target) << " at " << i;
        }
    }
}

// ---- ChaCha ------------------------------------------------------------------

struct BlockCase {
    ChaChaKey key;
    std::uint64_t counter;
    std::uint64_t stream;
    std::array<std::uint32_t, 4> first_words;
};

constexpr ChaChaKey kCountingKey = {0x03020100U, 0x07060504U, 0x0b0a0908U, 0x0f0e0d0cU,
                                    0x13121110U, 0x17161514U, 0x1b1a1918U, 0x1f1e1d1cU};

class ChaCha20Reference : public ::testing::TestWithParam<BlockCase> {};

// With 20 rounds the block function is the standard stream cipher, so
// independent keystreams pin down the state layout (counter words low first,
// stream words after); the 12-round variant is pinned by the engines' sign
// vectors.
TEST_P(ChaCha20Reference, MatchesKeystream) {
    const BlockCase& c = GetParam();
    const ChaChaBlock block = chacha_block(c.key, c.counter, c.stream, 20);
    EXPECT_TRUE(std::equal(c.first_words.begin(), c.first_words.end(), block.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ChaCha20Reference,
    ::testing::Values(
        BlockCase{ChaChaKey{}, 0, 0, {0xade0b876U, 0x903df1a0U, 0xe56a5d40U, 0x28bd8653U}},
        BlockCase{kCountingKey, 0x01020304FFFFFFFFULL, 0xdeadbeef0a0b0c0dULL,
                  {0x742bbff5U, 0x37930e9bU, 0xe9984813U, 0xe8d1896dU}},
        BlockCase{kCountingKey, 0x100000000ULL, 0, {0x09fb38d8U, 0x3a2e6e53U, 0x3ff2e810U, 0xa6736248U}}));

TEST(ChaCha12, DrawsAreOutputWordPairsInOrderFromAnyStart) {
    const ChaChaKey key = expand_seed(7);
    ChaCha12Rng rng(key);
    std::vector<std::uint64_t> single;
    for (std::uint64_t block = 0; block < 8; ++block) {
        const ChaChaBlock words = chacha_block(key, block, 0, kChaCha12Rounds);
        for (std::size_t k = 0; k < 8; ++k) {
            single.push_back(rng.next_u64());
            EXPECT_EQ(single.back(), words[2 * k] | (std::uint64_t{words[2 * k + 1]} << 32));
        }
    }
    // Bulk reads starting inside a block and inside a group of blocks.
    for (const std::uint64_t first : {0, 5, 31, 33}) {
        std::vector<std::uint64_t> bulk;
        for_each_chacha12_draw(key, first, single.size(), [&](std::uint64_t index, std::uint64_t draw) {
            EXPECT_EQ(index, first + bulk.size());
            bulk.push_back(draw);
        });
        EXPECT_TRUE(std::equal(bulk.begin(), bulk.end(), single.begin() + static_cast<std::ptrdiff_t>(first), single.end())) << "from " << first;
    }
}

// ---- generators ------------------------------------------------------------

TEST(Generators, StringHypervectorPrefixOfAbc) {
    expect_bits(string_hypervector("abc", 8), V{1, 1, -1, 1, -1, 1, 1, 1});
    expect_bits(string_hypervector("abc", 3), V{1, 1, -1});
    EXPECT_TRUE(string_hypervector("", 0).empty());
}

TEST(Generators, LcgStreamAdvancesBeforeFirstComponent) {
    // Seed 0 advances to 1 (top bit clear) before the first component is read.
    const V v = lcg_bipolar_stream(0, 2);
    EXPECT_EQ(v[0], 1.0f);
    const std::uint64_t s2 = 1 * kLcgMultiplier + 1;
    EXPECT_EQ(v[1], (s2 >> 63) == 0 ? 1.0f : -1.0f);
    // A longer stream extends a shorter one.
    const V longer = lcg_bipolar_stream(12345, 100);
    const V shorter = lcg_bipolar_stream(12345, 37);
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), longer.begin()));
}

TEST(Generators, LcgStreamEqualsTheSerialRecurrenceAtEveryLength) {
    // The generator interleaves lanes; every length, including those that end
    // inside a lane group, must match the one-step-at-a-time recurrence.
    for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{0xEF09E0F4895A251DULL}, ~std::uint64_t{0}}) {
        // Also the lengths around the boundaries of the blocks the stream is made in.
        std::vector<std::uint64_t> lengths{kCancelBlockItems - 1, kCancelBlockItems, kCancelBlockItems + 1,
                                           2 * kCancelBlockItems + 13};
        for (std::uint64_t n = 0; n <= 41; ++n) lengths.push_back(n);
        for (const std::uint64_t n : lengths) {
            V want;
            std::uint64_t s = seed;
            for (std::uint64_t i = 0; i < n; ++i) {
                s = s * kLcgMultiplier + 1;
                want.push_back((s >> 63) == 0 ? 1.0f : -1.0f);
            }
            EXPECT_EQ(lcg_bipolar_stream(seed, n), want) << "seed " << seed << " n " << n;
        }
    }
}

TEST(Generators, HvHash) {
    EXPECT_EQ(hv_hash(V{1, -1, 1}), 5U);
    EXPECT_EQ(hv_hash(V{0.0f, -0.0f, kNaN}), 0U);
    EXPECT_EQ(hv_hash(V(65, 1.0f)), ~std::uint64_t{0} - 1);
    // Four at a time as well: only what compares above zero counts.
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(hv_hash(V{1, 1, 1, 1, kNaN, -0.0f, 0.0f, inf, -inf, 1e-45f}), 0x28FU);
    EXPECT_EQ(hv_hash(V{}), 0U);
}

// Fingerprints that agree in their low bits and repeat, across several
// growths of the table, filed one by one or in batches (0: one by one): each
// lists its records oldest first, and one never filed lists none.
TEST(FingerprintIndex, ListsEachFingerprintsRecordsInOrder) {
    for (const std::size_t batch : {0, 37, 3000}) {
        FingerprintIndex index;
        std::vector<std::vector<std::uint64_t>> want(301);
        std::vector<std::uint64_t> pending;
        for (std::uint64_t r = 0; r < 3000; ++r) {
            const std::uint64_t f = r % 301;
            want[f].push_back(r);
            if (batch == 0) {
                index.reserve_one();
                index.add(f << 40);
                continue;
            }
            pending.push_back(f << 40);
            if (pending.size() == batch || r + 1 == 3000) {
                index.reserve(pending.size());
                index.add(pending);
                pending.clear();
            }
        }
        EXPECT_EQ(index.size(), 3000U) << batch;
        for (std::uint64_t f = 0; f < 301; ++f) EXPECT_EQ(index.records(f << 40), want[f]) << f << " " << batch;
        EXPECT_TRUE(index.records(1).empty()) << batch;
    }
    EXPECT_TRUE(FingerprintIndex{}.records(0).empty());
}

TEST(Generators, RandBipolarIsBipolarAndVaries) {
    const V a = rand_bipolar(256);
    const V b = rand_bipolar(256);
    ASSERT_EQ(a.size(), 256U);
    for (const float x : a) EXPECT_TRUE(x == 1.0f || x == -1.0f);
    EXPECT_NE(a, b);
    EXPECT_TRUE(rand_bipolar(0).empty());
}

TEST(Generators, ImpossibleCountIsCapacityOverflow) {
    try {
        (void)lcg_bipolar_stream(1, std::uint64_t{1} << 62);
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "capacity overflow");
    }
}

// ---- cancellation ----------------------------------------------------------

TEST(Cancel, HookIsAskedOncePerIntervalOfWork) {
    const TestCancelHook hook(0);
    CancelPoll poll;
    EXPECT_FALSE(poll.tick(kCancelPollInterval - 1));
    EXPECT_EQ(hook.calls(), 0);  // short work never asks
    EXPECT_TRUE(poll.tick(1));   // and the caller learns when it did
    EXPECT_EQ(hook.calls(), 1);
    for (int i = 0; i < 40; ++i) poll.tick(kCancelPollInterval / 4);
    EXPECT_EQ(hook.calls(), 11);
    poll.tick(~std::uint64_t{0});  // a huge tick asks once, without wrapping the budget
    EXPECT_EQ(hook.calls(), 12);
}

TEST(Cancel, NoHookConnectedNeverStops) {
    CancelPoll poll;
    EXPECT_NO_THROW(poll.tick(~std::uint64_t{0}));
    EXPECT_NO_THROW(poll.poll_now());
}

TEST(Cancel, LongCoreWorkStopsWhenAsked) {
    const std::uint64_t n = 2 * kCancelPollInterval;
    const std::uint64_t side = 4096;  // enough rows of the sparse pattern for one interval
    const V square(side * side, 0.0f);
    const V row(side, 1.0f);
    const std::vector<std::function<void()>> calls{
        [&] { (void)rand_bipolar(n); },
        [&] { (void)string_hypervector("abc", n); },
        [&] { (void)xorshift_bipolar_stream(1, n); },
        [&] { (void)hebbian(square, row, row, 1.0f, side); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        expect_cancelled(calls[i]);
    }
}

// ---- algebra -----------------------------------------------------------------

TEST(Algebra, ElementWiseOpsUseCommonPrefix) {
    expect_bits(hdc_bind(V{1, -1, 1}, V{1, 1}), V{1, -1});
    expect_bits(hdc_unbind(V{2, 3}, V{-1, 0.5f, 9}), V{-2, 1.5f});
    EXPECT_TRUE(hdc_bind(V{}, V{1}).empty());
}

TEST(Algebra, BundleSigns) {
    expect_bits(hdc_bundle(V{1, -1, 1}, V{1, 1, -1}), V{1, 0, 0});
    expect_bits(hdc_bundle(V{0.5f}, V{-0.5f}), V{0});
    expect_bits(hdc_bundle(V{kNaN}, V{1}), V{0});
    expect_bits(hdc_bundle(V{kInf}, V{1}), V{1});
    expect_bits(hdc_bundle(V{-0.0f}, V{-0.0f}), V{0.0f});  // positive zero, not -0.0
}

TEST(Algebra, ResonanceDividesByFirstLength) {
    EXPECT_EQ(resonance(V{1, 1}, V{1, 1, 1, 1}), 1.0f);
    EXPECT_EQ(resonance(V{1, 1, 1, 1}, V{1, 1}), 0.75f);
    EXPECT_EQ(resonance(V{1, -1}, V{-1, 1}), 0.0f);
    EXPECT_EQ(resonance(V{1, 1}, V{1, -1}), 0.5f);
    EXPECT_EQ(resonance(V{1}, V{}), 0.5f);
    EXPECT_TRUE(std::isnan(resonance(V{}, V{1})));
}

TEST(Algebra, DotSumsInIndexOrder) {
    // 1e8 + 1 - 1e8 is 0 in sequential float order, but 1 when reassociated.
    EXPECT_EQ(dot(V{1e8f, 1, -1e8f}, V{1, 1, 1}), 0.0f);
}

struct PermuteCase {
    std::int64_t n;
    V want;
};
class Permute : public ::testing::TestWithParam<PermuteCase> {};
TEST_P(Permute, RotatesRight) { expect_bits(hdc_permute(V{1, 2, 3, 4}, GetParam().n), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(Cases, Permute,
                         ::testing::Values(PermuteCase{0, {1, 2, 3, 4}}, PermuteCase{1, {4, 1, 2, 3}},
                                           PermuteCase{-1, {2, 3, 4, 1}}, PermuteCase{5, {4, 1, 2, 3}},
                                           PermuteCase{4, {1, 2, 3, 4}},
                                           PermuteCase{std::numeric_limits<std::int32_t>::min(), {1, 2, 3, 4}},
                                           PermuteCase{std::numeric_limits<std::int32_t>::max(), {2, 3, 4, 1}}));

TEST(Algebra, PermuteEmpty) { EXPECT_TRUE(hdc_permute(V{}, 3).empty()); }

TEST(Algebra, RotateRightRequiresShiftWithinLength) {
    V v{1, 2, 3};
    rotate_right(v, 3);
    expect_bits(v, V{1, 2, 3});
    rotate_right(v, 1);
    expect_bits(v, V{3, 1, 2});
    try {
        rotate_right(v, 4);
        FAIL();
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "assertion failed: k <= self.len()");
    }
}

TEST(Algebra, NormaliseBipolar) {
    expect_bits(normalise_bipolar(V{2, -4, 1}), V{0.5f, -1, 0.25f});
    expect_bits(normalise_bipolar(V{0.0f, -0.0f}), V{0.0f, -0.0f});
    expect_bits(normalise_bipolar(V{3, kNaN}), V{1, kNaN});
    expect_bits(normalise_bipolar(V{kInf, 1}), V{kNaN, 0});
    expect_bits(normalise_bipolar(V{1e-10f}), V{1e-10f / 1e-9f});
}

TEST(Algebra, CodebookCleanupTiesAndNaN) {
    const std::vector<V> book{{1, -1}, {1, 1}, {1, 1}};
    const Match m = codebook_cleanup(V{1, 1}, book);
    EXPECT_EQ(m.index, 1U);
    EXPECT_EQ(m.score, 1.0f);
    const Match empty = codebook_cleanup(V{}, book);  // every score NaN
    EXPECT_EQ(empty.index, 0U);
    EXPECT_EQ(empty.score, -2.0f);
}

// ---- diagnostics -------------------------------------------------------------

TEST(Diagnostics, QuantiseLevels) {
    EXPECT_EQ(quantise_level(50.0f), 80U);
    EXPECT_EQ(quantise_level(25.0f), 168U);
    EXPECT_EQ(quantise_level(3.0f), 184U);
    EXPECT_EQ(quantise_level(1500.0f), 96U);
    EXPECT_EQ(quantise_level(0.1f), 100U);
    EXPECT_EQ(quantise_level(99.9f), 60U);
    EXPECT_EQ(quantise_level(100.0f), 160U);
    EXPECT_EQ(quantise_level(-5.0f), 0U);
    EXPECT_EQ(quantise_level(kNaN), 0U);
    EXPECT_EQ(quantise_level(1e7f), 0U);
    EXPECT_EQ(quantise_level(static_cast<float>(4294967295U)), 0U);
}

TEST(Diagnostics, EncodeReference) {
    expect_bits(encode_system_state(8, {50.0f, 25.0f, 3, 1500}), V{-2, 2, 2, -4, -2, -2, 0, 2});
    expect_bits(encode_system_state(8, {0.0f, 0.0f, 0, 0}), V{4, 2, 0, 0, 0, 0, 0, -4});
    expect_bits(diagnostic_role(8), V{-1, 1, -1, -1, -1, -1, 1, 1});
}

TEST(Diagnostics, BundleAndExtractRoundTrip) {
    const SystemState s{50.0f, 25.0f, 3, 1500};
    const V e = encode_system_state(8, s);
    const V r = diagnostic_role(8);
    const V bundled = bundle_diagnostics(V(8, 0.0f), s);
    expect_bits(bundled, hdc_bind(r, e));
    expect_bits(extract_system_state(bundled), e);
    EXPECT_EQ(bundle_diagnostics(V{1, 2, 3}, s).size(), 3U);
}

// ---- Hebbian -------------------------------------------------------------------

TEST(Hebbian, DiagonalOnlyWhenSmall) {
    expect_bits(hebbian(V(4, 0.0f), V{1, 1}, V{1, 1}, 0.5f, 2), V{0.5f, 0, 0, 0.5f});
}

TEST(Hebbian, PatternOfSideEight) {
    const V w = hebbian(V(64, 0.0f), V(8, 1.0f), V(8, 1.0f), 1.0f, 8);
    const std::vector<int> updated{0, 7, 9, 14, 18, 21, 27, 28, 35, 36, 42, 45, 49, 54, 56, 63};
    for (int idx = 0; idx < 64; ++idx) {
        const bool want = std::find(updated.begin(), updated.end(), idx) != updated.end();
        EXPECT_EQ(w[static_cast<std::size_t>(idx)], want ? 1.0f : 0.0f) << "index " << idx;
    }
}

TEST(Hebbian, ShortListSkipsElementsBeyondEnd) {
    expect_bits(hebbian(V{0, 0, 0}, V{1, 1}, V{1, 1}, 1.0f, 2), V{1, 0, 0});
}

TEST(Hebbian, NaNRateTouchesOnlyPattern) {
    const V w = hebbian(V{1, 2, 3, 4}, V{1, 1}, V{1, 1}, kNaN, 2);
    EXPECT_TRUE(std::isnan(w[0]));
    EXPECT_EQ(w[1], 2.0f);
    EXPECT_EQ(w[2], 3.0f);
    EXPECT_TRUE(std::isnan(w[3]));
}

TEST(Hebbian, WrappedFlatIndexIsSkipped) {
    // With dim = 2^63 + 1, row 2 starts at 2^64 + 2, which wraps to 2 modulo
    // 2^64; that element is not (2, 0) and must stay untouched.
    const std::uint64_t dim = (std::uint64_t{1} << 63) + 1;
    const V w = hebbian(V(8, 0.0f), V(4, 1.0f), V(4, 1.0f), 1.0f, dim);
    expect_bits(w, V{1, 0, 0, 0, 0, 0, 0, 0});
}

TEST(Hebbian, EmptyOperandsLeaveWeights) {
    expect_bits(hebbian(V{1, 2}, V{}, V{1}, 1.0f, 1), V{1, 2});
    expect_bits(hebbian(V{1, 2}, V{1}, V{1}, 1.0f, 0), V{1, 2});
}

// ---- Many-lane sine and cosine --------------------------------------------

class SincosLanes : public ::testing::TestWithParam<SimdTarget> {
protected:
    ScopedSimdTarget pin_{GetParam()};
};

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Edges of every branch, infinities, NaNs of both signs with payloads (one
// signalling), subnormals, and arguments past the range the lanes evaluate.
const std::vector<std::uint32_t> kTrigSpecials = {
    0x00000000U, 0x80000000U, 0x00000001U, 0x807FFFFFU, 0x397FFFFFU, 0xB9800000U, 0x3F3FFFFFU,
    0xBF400000U, 0x42EFFFFFU, 0x42F00000U, 0xC2F00001U, 0x7F7FFFFFU, 0xD0000000U, 0x7F800000U,
    0xFF800000U, 0x7FC00000U, 0xFFC12345U, 0x7F800001U, 0xFFA00002U,
};

// Inputs whose library results lie closest to a rounding midpoint.
const std::vector<std::uint32_t> kTrigHardCases = {
#include "core/sincos_self_test.inc"
};

TEST(SincosLanes, SelfTestPassesWhereTheLibraryWasProven) {
    // A kernel fault would otherwise only show as the lanes switching off.
    EXPECT_EQ(sincos_lanes_proven(), sincos_library_proven());
}

TEST_P(SincosLanes, EqualsTheCLibrary) {
    // Every 1009th float below 120 in magnitude, then the hard cases and the
    // specials, then runs of every length 0..33 so that each lane position of
    // a partial vector meets a special.
    std::vector<float> a;
    for (std::uint32_t m = 0; m < 0x42F00000U; m += 1009) {
        a.push_back(std::bit_cast<float>(m));
        a.push_back(std::bit_cast<float>(m | 0x80000000U));
    }
    for (const auto* list : {&kTrigHardCases, &kTrigSpecials}) {
        for (const std::uint32_t b : *list) a.push_back(std::bit_cast<float>(b));
    }
    std::vector<float> s(a.size());
    std::vector<float> c(a.size());
    sincos_many(a, s, c);
    std::size_t differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (bits(s[i]) != bits(std::sin(a[i])) || bits(c[i]) != bits(std::cos(a[i]))) {
            if (++differ <= 5) {
                ADD_FAILURE() << std::hexfloat << "differs at " << a[i] << ": " << s[i] << ", " << c[i];
            }
        }
    }
    EXPECT_EQ(differ, 0U);

    std::vector<float> mixed;
    for (std::size_t i = 0; i < kTrigSpecials.size(); ++i) {
        mixed.push_back(std::bit_cast<float>(kTrigSpecials[i]));
        mixed.push_back(std::bit_cast<float>(kTrigHardCases[i]));
    }
    for (std::size_t len = 0; len <= 33; ++len) {
        const std::span<const float> part(mixed.data() + len % 5, len);
        std::vector<float> ps(len + 1, 7.0f);
        std::vector<float> pc(len + 1, 7.0f);
        sincos_many(part, ps, pc);
        for (std::size_t i = 0; i < len; ++i) {
            EXPECT_EQ(bits(ps[i]), bits(std::sin(part[i]))) << len << " " << i;
            EXPECT_EQ(bits(pc[i]), bits(std::cos(part[i]))) << len << " " << i;
        }
        EXPECT_EQ(ps[len], 7.0f) << "wrote past the end at length " << len;
        EXPECT_EQ(pc[len], 7.0f) << "wrote past the end at length " << len;
    }
}

TEST_P(SincosLanes, ProjectionLanesEqualTheOneRecordLoop) {
    // Ordinary phases, arguments past the lanes' range, zeros and subnormals
    // everywhere; then one special per case: a NaN or infinity in some lanes'
    // rows, or in one accumulator component (reaching every lane). One NaN
    // source per sum: where two meet, which payload wins is the compiler's choice.
    std::mt19937 rng(20261208);
    std::uniform_real_distribution<float> phase(0.0f, 6.2831855f);
    std::uniform_real_distribution<float> wide(-300.0f, 300.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    const auto draw = [&] {
        const int k = pick(rng);
        if (k < 4) return std::bit_cast<float>(kTrigSpecials[static_cast<std::size_t>(k)]);  // zeros, subnormals
        return k < 25 ? wide(rng) : phase(rng);
    };
    const std::vector<float> specials = {kNaN, -kNaN, std::bit_cast<float>(0x7F800001U),
                                         std::bit_cast<float>(0xFFC12345U), kInf, -kInf};
    for (const std::size_t dim : {0, 1, 7, 16, 37, 70}) {
        for (const int variant : {0, 1, 2}) {
            std::vector<float> q(dim);
            std::vector<float> block(dim * kPhaseLanes);
            std::vector<std::complex<float>> acc(dim);
            for (float& x : q) x = draw();
            for (float& x : block) x = draw();
            for (auto& z : acc) z = {draw(), draw()};
            if (dim > 0 && variant == 0) {
                for (std::size_t l = 0; l < kPhaseLanes; l += 2) {
                    block[(l * 7 % dim) * kPhaseLanes + l] = specials[l / 2 % specials.size()];
                }
            }
            if (dim > 0 && variant == 1) acc[dim / 2] = {1.0f, std::bit_cast<float>(0xFFA00002U)};
            if (dim > 0 && variant == 2) acc[dim / 2] = {-kInf, 0.5f};
            // Case 1 asks for only 11 live lanes: those must still be exact.
            const std::size_t live = variant == 1 ? 11 : kPhaseLanes;
            std::array<float, kPhaseLanes> out{};
            phasor_projection_lanes(q, block, acc, out, live);
            for (std::size_t l = 0; l < live; ++l) {
                float want = 0.0f;
                for (std::size_t i = 0; i < dim; ++i) {
                    const float a = q[i] + block[i * kPhaseLanes + l];
                    want = want + phasor_term(std::sin(a), std::cos(a), acc[i]);
                }
                EXPECT_EQ(bits(out[l]), bits(want)) << "dim " << dim << " case " << variant << " lane " << l;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, SincosLanes, ::testing::ValuesIn(supported_simd_targets()),
                         [](const auto& target) { return std::string(simd_target_name(target.param)); });

}  // namespace
}  // namespace tessarin
