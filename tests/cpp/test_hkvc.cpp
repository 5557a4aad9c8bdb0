#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/cancel.hpp"
#include "core/simd_target.hpp"
#include "core/siphash.hpp"
#include "engines/hkvc.hpp"
#include "expect_fault.hpp"
#include "one_entry_cache.hpp"

namespace tessarin {
namespace {

std::string le64(std::uint64_t v) {
    std::string out;
    for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>(v >> (8 * b)));
    return out;
}

// Built by appending: g++ 12 reports a false overlap for "literal" + string.
std::string numbered(std::string_view prefix, std::size_t i) {
    std::string out(prefix);
    out.append(std::to_string(i));
    return out;
}

std::string bytes(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const std::string_view p : parts) out.append(p);
    return out;
}

struct PhaseCase {
    std::uint64_t hash;
    std::uint32_t bits;
};

class PhaseFromHash : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(PhaseFromHash, MatchesReferenceBits) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(phase_from_hash(GetParam().hash)), GetParam().bits);
}

// 0 -> 0.0; 2^63 -> pi (0x40490FDB); 2^64 - 1 rounds up to 2^64 -> 2*pi (6.2831855).
INSTANTIATE_TEST_SUITE_P(Reference, PhaseFromHash,
                         ::testing::Values(PhaseCase{0, 0x00000000U}, PhaseCase{1ULL << 63, 0x40490FDBU},
                                           PhaseCase{~0ULL, 0x40C90FDBU}));

TEST(HkvcBases, HashTheirByteStrings) {
    // Key and value phases hash (length, bytes, index); the position basis
    // hashes (position, index) with no length.
    EXPECT_EQ(string_phases("ab", 3)[2], phase_from_hash(siphash13(bytes({le64(2), "ab", le64(2)}))));
    EXPECT_EQ(position_basis(7, 2)[1], phase_from_hash(siphash13(bytes({le64(7), le64(1)}))));
    const std::uint64_t h = siphash13(le64(7));
    const std::uint64_t t = h ^ (5 * 0x9E3779B97F4A7C15ULL);
    EXPECT_EQ(position_probe_phases(7, 6)[5], phase_from_hash(t + std::rotl(t, 21)));
    // A longer dim extends a shorter basis.
    EXPECT_EQ(string_phases("ab", 3)[1], string_phases("ab", 9)[1]);
}

TEST(Hkvc, NewCacheIsEmpty) {
    const HKVC c(16);
    EXPECT_EQ(c.count(), 0U);
    EXPECT_EQ(c.query("anything"), std::make_pair(std::string(), 0.0f));
    EXPECT_EQ(c.position_score(3), 0.0f);
    EXPECT_EQ(c.accumulator_magnitude(), std::vector<float>(16, 0.0f));
}

TEST(Hkvc, StoredKeyTakesDirectPath) {
    HKVC c(256);
    c.store("alpha", "one", 3);
    const auto [value, score] = c.query("alpha");
    EXPECT_EQ(value, "one");
    EXPECT_NEAR(score, 1.0f, 1e-4f);
    for (const float m : c.accumulator_magnitude()) EXPECT_NEAR(m, 1.0f, 1e-6f);
}

TEST(Hkvc, RepeatedKeyKeepsFirstValue) {
    HKVC c(128);
    c.store("k", "first", 0);
    c.store("k", "second", 1);
    EXPECT_EQ(c.count(), 2U);
    EXPECT_EQ(c.query("k").first, "first");
    // The lookup answers as the exact path of query does.
    EXPECT_EQ(c.lookup("k"), std::optional<std::string>("first"));
    EXPECT_TRUE(c.contains("k"));
}

bool stop_now() { return true; }

// Hashing a key of dim 10,000 does not reach a poll; checking 200 entries
// stored under it does.
TEST(Hkvc, CheckingAKeyStoredManyTimesStopsWhenAsked) {
    HKVC c(10000);
    for (int i = 0; i < 200; ++i) c.store("k", "v", 0);
    connect_cancel_hook(&stop_now);
    EXPECT_THROW((void)c.contains("k"), Cancelled);
    connect_cancel_hook(nullptr);
    EXPECT_TRUE(c.contains("k"));
}

TEST(Hkvc, ManyKeysEachRecallTheirOwnValue) {
    HKVC c(256);
    for (std::size_t i = 0; i < 20; ++i) c.store(numbered("key", i), numbered("value", i), i);
    for (std::size_t i = 0; i < 20; ++i) {
        const auto [value, score] = c.query(numbered("key", i));
        EXPECT_EQ(value, numbered("value", i));
        EXPECT_GE(score, 0.0f);
    }
    // The magnitude of a sum of k unit complex numbers is at most k.
    for (const float m : c.accumulator_magnitude()) EXPECT_LE(m, 20.0f + 1e-4f);
}

TEST(Hkvc, UnknownKeyFallsBackToAStoredValue) {
    HKVC c(64);
    const std::vector<std::string> values{"red", "green", "blue"};
    for (std::size_t i = 0; i < values.size(); ++i) c.store(numbered("k", i), values[i], i);
    for (const char* probe : {"x", "unknown", "k9", ""}) {
        const auto [value, score] = c.query(probe);
        EXPECT_NE(std::find(values.begin(), values.end(), value), values.end()) << probe;
        EXPECT_GE(score, 0.0f) << probe;
        // The recall's answer is no match: the lookup finds nothing.
        EXPECT_EQ(c.lookup(probe), std::nullopt) << probe;
        EXPECT_FALSE(c.contains(probe)) << probe;
    }
}

TEST(Hkvc, ZeroDimCountsButNeverMatches) {
    HKVC c(0);
    c.store("a", "first", 1);
    c.store("b", "second", 2);
    EXPECT_EQ(c.count(), 2U);
    // Every resonance is 0/0 and never beats the floor, so the first entry wins.
    EXPECT_EQ(c.query("b"), std::make_pair(std::string("first"), 0.0f));
    EXPECT_EQ(c.lookup("a"), std::nullopt);
    EXPECT_EQ(c.position_score(2), 0.0f);
    EXPECT_TRUE(c.accumulator_magnitude().empty());
}

TEST(Hkvc, PositionScoreDoesNotSingleOutStoredPositions) {
    // The score is normalised by the count only, so a probe aligned with the
    // stored basis would score about dim. The probe basis is unrelated to it:
    // a stored position scores like one never stored, around sqrt(dim / 2).
    constexpr std::uint64_t dim = 1024;
    HKVC c(dim);
    c.store("k", "v", 5);
    EXPECT_LT(std::fabs(c.position_score(5)), dim / 8.0f);
    EXPECT_LT(std::fabs(c.position_score(6)), dim / 8.0f);
}

class HkvcTargets : public ::testing::TestWithParam<SimdTarget> {
protected:
    ScopedSimdTarget pin_{GetParam()};
};

TEST_P(HkvcTargets, EveryPathEqualsTheOneEntryLoop) {
    // Every count 1..70, so that partial and whole blocks of entries are
    // scanned; a dim that is no multiple of any vector width.
    constexpr std::uint64_t dim = 37;
    HKVC cache(dim);
    OneEntryCache want(dim);
    const auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
    for (std::size_t n = 1; n <= 70; ++n) {
        const std::string key = numbered("key", n);
        cache.store(key, numbered("value", n % 23), n);
        want.store(key, numbered("value", n % 23), n);
        for (const std::string& probe : {std::string("never stored"), numbered("other", n)}) {
            const auto got = cache.query(probe);
            const auto expected = want.recall_best(probe);
            EXPECT_EQ(got.first, expected.first) << n;
            EXPECT_EQ(bits(got.second), bits(expected.second)) << n;
        }
        // A stored key answers directly with its own entry's recall.
        const auto direct = cache.query(key);
        EXPECT_EQ(direct.first, numbered("value", n % 23));
        EXPECT_EQ(bits(direct.second), bits(std::max(want.recall(string_phases(key, dim), n - 1), 0.0f))) << n;
        EXPECT_EQ(bits(cache.position_score(n)), bits(want.position_score(n))) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, HkvcTargets, ::testing::ValuesIn(supported_simd_targets()),
                         [](const auto& target) { return std::string(simd_target_name(target.param)); });

TEST(Hkvc, ImpossibleDimIsCapacityOverflow) {
    expect_fault([] { const HKVC c(1ULL << 62); }, "capacity overflow");
}

}  // namespace
}  // namespace tessarin
