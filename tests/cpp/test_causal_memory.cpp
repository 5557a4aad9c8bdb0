#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/algebra.hpp"
#include "core/cancel.hpp"
#include "core/generators.hpp"
#include "core/siphash.hpp"
#include "engines/causal_memory.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;

V negated(V v) {
    for (float& x : v) x = -x;
    return v;
}

// ---- role vectors ----------------------------------------------------------

struct RoleCase {
    std::string label;
    std::uint64_t digest;
    std::string signs;  // components 0-15
};

class RoleHypervector : public ::testing::TestWithParam<RoleCase> {};

TEST_P(RoleHypervector, MatchesCheckValues) {
    const RoleCase& c = GetParam();
    EXPECT_EQ(SipHasher13{}.write_counted(c.label).finish(), c.digest);
    const V role = role_hypervector(c.label, 16);
    std::string signs;
    for (const float x : role) signs.push_back(x == 1.0f ? '+' : (x == -1.0f ? '-' : '?'));
    EXPECT_EQ(signs, c.signs);
    // A longer vector extends a shorter one.
    EXPECT_EQ(V(role.begin(), role.begin() + 5), role_hypervector(c.label, 5));
}

INSTANTIATE_TEST_SUITE_P(
    Reference, RoleHypervector,
    ::testing::Values(RoleCase{"__CAUSE_ROLE__", 0x1796d41206dee2fcULL, "--+++----+-++--+"},
                      RoleCase{"__EFFECT_ROLE__", 0x93b09fd464a80e71ULL, "--+-++-+-++++-++"},
                      RoleCase{"__TEMPORAL_ROLE__", 0x5fd5db6bc5251ac5ULL, "+--+++-+-++--+-+"}));

// ---- exact and holographic paths --------------------------------------------

class CausalMemoryTest : public ::testing::Test {
protected:
    static constexpr std::uint64_t kDim = 512;
    static V hv(std::uint64_t seed) { return lcg_bipolar_stream(seed, kDim); }
};

TEST_F(CausalMemoryTest, NewMemoryFindsNothing) {
    const CausalMemory m(kDim);
    EXPECT_EQ(m.query_effect(hv(1)), std::nullopt);
    EXPECT_TRUE(m.query_cause(hv(1)).empty());
    EXPECT_EQ(m.query_by_time(hv(1)), std::nullopt);
}

TEST_F(CausalMemoryTest, StoredRelationAnswersAllThreeQueries) {
    CausalMemory m(kDim);
    m.store(hv(1), hv(2), hv(3));
    EXPECT_EQ(m.query_effect(hv(1)), hv(2));
    EXPECT_EQ(m.query_cause(hv(2)), std::vector<V>{hv(1)});
    EXPECT_EQ(m.query_by_time(hv(3)), hv(2));
}

TEST_F(CausalMemoryTest, EqualScoresKeepStorageOrder) {
    CausalMemory m(kDim);
    m.store(hv(1), hv(2), hv(3));
    m.store(hv(1), hv(4), hv(5));
    EXPECT_EQ(m.query_effect(hv(1)), hv(2));
    m.store(hv(6), hv(2), hv(7));
    EXPECT_EQ(m.query_cause(hv(2)), (std::vector<V>{hv(1), hv(6)}));
}

TEST_F(CausalMemoryTest, SharedFingerprintIsSeparatedByScore) {
    // Flipping components i and i + 64 toggles fingerprint bit i twice.
    const V a = hv(1);
    V twin = a;
    twin[3] = -twin[3];
    twin[67] = -twin[67];
    ASSERT_EQ(hv_hash(a), hv_hash(twin));
    CausalMemory m(kDim);
    m.store(a, hv(2), hv(3));
    m.store(twin, hv(4), hv(5));
    EXPECT_EQ(m.query_effect(twin), hv(4));
    EXPECT_EQ(m.query_effect(a), hv(2));
    // Both effects share one fingerprint too; causes come back best first.
    V effect_twin = hv(2);
    effect_twin[0] = -effect_twin[0];
    effect_twin[64] = -effect_twin[64];
    m.store(hv(8), effect_twin, hv(9));
    EXPECT_EQ(m.query_cause(effect_twin), (std::vector<V>{hv(8), a}));
}

TEST_F(CausalMemoryTest, TraceDecidesWhenTheExactScoreIsNotPositive) {
    // Record X's cause is q with its first half negated: it shares q's
    // fingerprint (every bit flipped four times) and scores exactly 0, which
    // is not a match. The probe cause_role * q * trace then holds
    // q * cause_y = effect_y, so record Y's effect comes back instead.
    const V q = hv(21);
    V half(kDim, 1.0f);
    std::fill(half.begin(), half.begin() + kDim / 2, -1.0f);
    const V cause_x = hdc_bind(q, half);
    const V effect_y = hv(31);
    const V cause_y = hdc_bind(q, effect_y);
    ASSERT_EQ(hv_hash(cause_x), hv_hash(q));
    CausalMemory m(kDim);
    m.store(hv(11), hv(12), hv(13));
    m.store(cause_x, hv(30), hv(14));
    m.store(cause_y, effect_y, hv(15));
    m.store(hv(16), hv(17), hv(18));
    EXPECT_EQ(m.query_effect(q), effect_y);
}

TEST_F(CausalMemoryTest, FingerprintZeroWithNothingPositiveFindsNothing) {
    // A zero query shares fingerprint 0 with the all-negative cause but its
    // products are all -0.0: no score is positive on either path.
    CausalMemory m(kDim);
    m.store(V(kDim, -1.0f), hv(2), hv(3));
    m.store(hv(4), hv(5), hv(6));
    EXPECT_EQ(m.query_effect(V(kDim, -1.0f)), hv(2));
    EXPECT_EQ(m.query_effect(V(kDim, 0.0f)), std::nullopt);
    EXPECT_TRUE(m.query_cause(V(kDim, 0.0f)).empty());
    EXPECT_EQ(m.query_by_time(V{}), std::nullopt);
}

TEST(CausalMemory, ZeroDimStillRecordsAndMatchesExactly) {
    CausalMemory m(0);
    const V a{1, -1, 1}, b{1, 1, -1}, t{-1, 1, 1};
    m.store(a, b, t);
    EXPECT_EQ(m.query_effect(a), b);
    EXPECT_EQ(m.query_cause(b), std::vector<V>{a});
    EXPECT_EQ(m.query_by_time(t), b);
    // No exact match: the empty trace gives 0/0, which never matches.
    EXPECT_EQ(m.query_effect(negated(a)), std::nullopt);
    EXPECT_TRUE(m.query_cause(negated(b)).empty());
    EXPECT_EQ(m.query_by_time(negated(t)), std::nullopt);
}

TEST(CausalMemory, LongerVectorsAreKeptWhole) {
    CausalMemory m(2);
    const V a{1, -1, 1, 1, -1}, b{-1, 1, 1, -1, 1, 1}, t{1, 1, -1};
    m.store(a, b, t);
    EXPECT_EQ(m.query_effect(a), b);
    EXPECT_EQ(m.query_cause(b), std::vector<V>{a});
    EXPECT_EQ(m.query_by_time(t), b);
}

bool stop_now() { return true; }

// Records sharing the query's fingerprint are scored one by one on the exact
// path: 2,000 of them at dim 1,024 reach a poll.
TEST(CausalMemory, ScoringManyRecordsOfOneFingerprintStopsWhenAsked) {
    CausalMemory m(1024);
    const V cause(1024, 1.0f), effect(1024, -1.0f);
    for (int i = 0; i < 2000; ++i) m.store(cause, effect, cause);
    connect_cancel_hook(&stop_now);
    EXPECT_THROW((void)m.query_effect(cause), Cancelled);
    EXPECT_THROW((void)m.query_cause(effect), Cancelled);
    connect_cancel_hook(nullptr);
    EXPECT_EQ(m.query_cause(effect).size(), 2000U);
}

// Bipolar records are kept as sign bits and others as floats, side by side:
// every kind comes back with the bits it went in with.
TEST_F(CausalMemoryTest, EveryKindOfRecordComesBackBitExact) {
    V odd = hv(20);
    odd[0] = -0.0f;
    odd[1] = std::bit_cast<float>(0xFFC01234U);  // a NaN with a payload and the sign set
    odd[2] = 0x1p-140f;                          // subnormal
    V longer = hv(21);
    longer.insert(longer.end(), {1.0f, -1.0f, 0.5f});
    const std::vector<V> effects{hv(22), odd, longer, V(kDim, 1.0f)};
    CausalMemory m(kDim);
    for (std::size_t j = 0; j < effects.size(); ++j) m.store(hv(30 + j), effects[j], hv(40 + j));
    const auto bits = [](const V& v) {
        std::vector<std::uint32_t> out;
        for (const float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
        return out;
    };
    for (std::size_t j = 0; j < effects.size(); ++j) {
        const std::optional<V> found = m.query_by_time(hv(40 + j));
        ASSERT_TRUE(found.has_value()) << j;
        EXPECT_EQ(bits(*found), bits(effects[j])) << j;
        ASSERT_TRUE(m.query_effect(hv(30 + j)).has_value()) << j;
        EXPECT_EQ(bits(*m.query_effect(hv(30 + j))), bits(effects[j])) << j;
    }
}

// ---- refused stores --------------------------------------------------------

class ShortStore : public ::testing::TestWithParam<int> {};

TEST_P(ShortStore, FaultsAndChangesNothing) {
    constexpr std::uint64_t dim = 64;
    const V a = lcg_bipolar_stream(1, dim), b = lcg_bipolar_stream(2, dim), t = lcg_bipolar_stream(3, dim);
    CausalMemory m(dim);
    V parts[3] = {a, b, t};
    parts[GetParam()].resize(40);
    expect_fault([&] { m.store(parts[0], parts[1], parts[2]); },
                 "index out of bounds: the len is 40 but the index is 40");
    EXPECT_EQ(m.size(), 0U);
    EXPECT_EQ(m.query_effect(a), std::nullopt);
    EXPECT_TRUE(m.query_cause(b).empty());
    EXPECT_EQ(m.query_by_time(t), std::nullopt);
    // The trace is untouched too: after the same later stores, holographic
    // answers agree with a memory that never saw the refused call.
    CausalMemory fresh(dim);
    for (CausalMemory* mem : {&m, &fresh}) {
        for (std::uint64_t seed = 10; seed < 16; seed += 3) {
            mem->store(lcg_bipolar_stream(seed, dim), lcg_bipolar_stream(seed + 1, dim),
                       lcg_bipolar_stream(seed + 2, dim));
        }
    }
    for (std::uint64_t seed = 100; seed < 140; ++seed) {
        const V probe = lcg_bipolar_stream(seed, dim);
        EXPECT_EQ(m.query_effect(probe), fresh.query_effect(probe)) << seed;
        EXPECT_EQ(m.query_cause(probe), fresh.query_cause(probe)) << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(CauseEffectTime, ShortStore, ::testing::Values(0, 1, 2));

TEST(CausalMemory, ImpossibleDimIsCapacityOverflow) {
    expect_fault([] { const CausalMemory m(1ULL << 62); }, "capacity overflow");
}

}  // namespace
}  // namespace tessarin
