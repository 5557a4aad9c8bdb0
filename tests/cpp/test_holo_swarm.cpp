#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "core/algebra.hpp"
#include "core/fault.hpp"
#include "core/generators.hpp"
#include "engines/holo_swarm.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;

V bipolar(std::uint64_t seed, std::uint64_t n) { return lcg_bipolar_stream(seed, n); }

// Built by appending: `"x" + std::to_string(i)` trips a spurious -Wrestrict in GCC 12.
std::string numbered(const char* prefix, std::uint64_t i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

// Non-bipolar components, so that a change in how products are grouped shows
// up in the rounding.
V wobbly(std::uint64_t seed, std::uint64_t n) {
    V v = bipolar(seed, n);
    const float base = 0.37f + 0.11f * static_cast<float>(seed % 7);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = v[i] * (base + 0.013f * static_cast<float>(i));
    return v;
}

V rotated(V v, std::uint64_t k) {
    rotate_right(v, k);
    return v;
}

// The contribution add_agent is expected to make for one agent.
V agent_vector(const std::string& role, const V& r, const V& p, const V& s, std::uint64_t dim) {
    return rotated(hdc_bind(r, hdc_bind(p, s)), role_shift(role, dim));
}

std::string fault_message(const std::function<void()>& call) {
    try {
        call();
    } catch (const Fault& f) {
        return f.what();
    }
    return "<no fault>";
}

TEST(HoloSwarm, StartsAsDimZerosAndKeepsASetVectorExactly) {
    HoloSwarm swarm(4);
    EXPECT_EQ(swarm.dim(), 4u);
    EXPECT_EQ(fault_message([] { HoloSwarm{std::uint64_t{1} << 62}; }), kCapacityOverflow);
    EXPECT_EQ(swarm.swarm_vector(), V(4, 0.0f));
    const V replacement{1.5f, -0.25f, 3e-38f, 7.0f, 8.0f, 9.0f};
    swarm.set_swarm_vector(replacement);
    EXPECT_EQ(swarm.swarm_vector(), replacement);
    EXPECT_EQ(swarm.dim(), 4u);
}

TEST(HoloSwarm, OneAgentUnrotatesAndUnbindsToItsSkillExactly) {
    constexpr std::uint64_t dim = 97;
    const V r = bipolar(1, dim), p = bipolar(2, dim), s = bipolar(3, dim);
    HoloSwarm swarm(dim);
    swarm.add_agent("scout", r, "explore", p, "map", s);
    EXPECT_EQ(swarm.swarm_vector(), agent_vector("scout", r, p, s, dim));

    const V back = rotated(swarm.swarm_vector(), role_unshift(role_shift("scout", dim), dim));
    EXPECT_EQ(hdc_bind(r, hdc_bind(p, back)), s);
}

TEST(HoloSwarm, AgentsAccumulateUnscaled) {
    constexpr std::uint64_t dim = 64;
    HoloSwarm swarm(dim);
    V want(dim, 0.0f);
    for (std::uint64_t a = 0; a < 3; ++a) {
        const std::string role = numbered("role", a % 2);  // a repeated role adds again
        const V r = wobbly(10 * a + 1, dim), p = wobbly(10 * a + 2, dim), s = wobbly(10 * a + 3, dim);
        swarm.add_agent(role, r, "p", p, "s", s);
        const V add = agent_vector(role, r, p, s, dim);
        for (std::size_t j = 0; j < dim; ++j) want[j] = add[j] + want[j];
    }
    EXPECT_EQ(swarm.swarm_vector(), want);
    EXPECT_EQ(swarm.agent_count(), 3u);
}

// The sum covers min(dim, swarm length, bound length); the rest is untouched.
struct PrefixCase {
    std::uint64_t swarm_len;
    std::uint64_t vector_len;
};
class AddAgentPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(AddAgentPrefix, OnlyTheCommonPrefixChanges) {
    constexpr std::uint64_t dim = 16;
    const auto [swarm_len, vector_len] = GetParam();
    const std::string role = "envoy";
    ASSERT_LE(role_shift(role, dim), vector_len);
    HoloSwarm swarm(dim);
    const V before(swarm_len, 0.5f);
    swarm.set_swarm_vector(before);
    const V r = bipolar(4, vector_len), p = bipolar(5, vector_len), s = bipolar(6, dim);
    swarm.add_agent(role, r, "p", p, "s", s);

    const V add = agent_vector(role, r, p, s, dim);
    const std::size_t m = std::min({dim, swarm_len, vector_len});
    V want = before;
    for (std::size_t j = 0; j < m; ++j) want[j] = add[j] + want[j];
    EXPECT_EQ(swarm.swarm_vector(), want);
}

INSTANTIATE_TEST_SUITE_P(Lengths, AddAgentPrefix,
                         ::testing::Values(PrefixCase{16, 16}, PrefixCase{16, 6}, PrefixCase{9, 16},
                                           PrefixCase{24, 16}, PrefixCase{0, 16}));

struct AddFaultCase {
    std::uint64_t dim;
    std::uint64_t vector_len;
    std::string message;
};
class AddAgentFault : public ::testing::TestWithParam<AddFaultCase> {};

TEST_P(AddAgentFault, LeavesTheSwarmUnchanged) {
    const auto& c = GetParam();
    const std::string role = "warden";
    if (c.dim > 0) {
        ASSERT_GT(role_shift(role, c.dim), c.vector_len);
    }
    HoloSwarm swarm(c.dim);
    swarm.set_swarm_vector(V{1.0f, 2.0f});
    const V v = bipolar(7, c.vector_len);
    EXPECT_EQ(fault_message([&] { swarm.add_agent(role, v, "p", v, "s", v); }), c.message);
    EXPECT_EQ(fault_message([&] { swarm.add_paradox_trap({role, "x"}, {v, v}, {v, v}); }), c.message);
    EXPECT_EQ(swarm.swarm_vector(), (V{1.0f, 2.0f}));
    EXPECT_EQ(swarm.agent_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, AddAgentFault,
                         ::testing::Values(AddFaultCase{0, 4, kRemainderByZero},
                                           AddFaultCase{1000, 1, kRotationTooLong},
                                           AddFaultCase{1000, 0, kRotationTooLong}));

// ---- resonator ------------------------------------------------------------

TEST(Resonate, EmptySwarmNamesNone) {
    for (const std::uint64_t dim : {0u, 8u}) {
        const HoloSwarm swarm(dim);
        EXPECT_EQ(swarm.resonate("any", {1.0f}, {}, 5), (ResonatorResult{"none", "none", "none", 0.0f}));
    }
}

class ResonateWorked : public ::testing::Test {
protected:
    static constexpr std::uint64_t kDim = 512;
    void SetUp() override {
        for (std::uint64_t a = 0; a < 3; ++a) {
            const std::string n = std::to_string(a);
            swarm.add_agent("R" + n, bipolar(a * 3 + 100, kDim), "P" + n, bipolar(a * 3 + 101, kDim), "S" + n,
                            bipolar(a * 3 + 102, kDim));
        }
    }
    HoloSwarm swarm{kDim};
};

TEST(Resonate, OneAgentComesBackFromARandomGuessInOneIteration) {
    constexpr std::uint64_t dim = 512;
    HoloSwarm single(dim);
    single.add_agent("A", bipolar(1, dim), "B", bipolar(2, dim), "C", bipolar(3, dim));
    EXPECT_EQ(single.resonate("A", bipolar(99, dim), {}, 1), (ResonatorResult{"A", "B", "C", 1.0f}));
}

TEST_F(ResonateWorked, UnknownRoleScoresHalfAndNamesTheFirstAgent) {
    EXPECT_EQ(swarm.resonate("nobody", bipolar(101, kDim), {}, 2), (ResonatorResult{"R0", "P0", "S0", 0.5f}));
}

TEST_F(ResonateWorked, ZeroIterationsNameTheFirstCodebookEntries) {
    EXPECT_EQ(swarm.resonate("R2", bipolar(107, kDim), {}, 0), (ResonatorResult{"R2", "P0", "S0", 0.0f}));
}

TEST(Resonate, EveryAgentComesBackFromItsTruePolicy) {
    constexpr std::uint64_t dim = 4096, agents = 24;
    HoloSwarm swarm(dim);
    for (std::uint64_t a = 0; a < agents; ++a) {
        const std::string n = std::to_string(a);
        swarm.add_agent("R" + n, bipolar(3 * a + 1, dim), "P" + n, bipolar(3 * a + 2, dim), "S" + n,
                        bipolar(3 * a + 3, dim));
    }
    for (std::uint64_t a = 0; a < agents; ++a) {
        const std::string n = std::to_string(a);
        const auto [role, policy, skill, score] = swarm.resonate("R" + n, bipolar(3 * a + 2, dim), {}, 1);
        EXPECT_EQ(std::tie(role, policy, skill), std::make_tuple("R" + n, "P" + n, "S" + n)) << a;
        EXPECT_NEAR(score, 1.0f, 0.1f) << a;
    }
}

TEST(Resonate, RealValuedSwarmBindsTheRoleWithTheOtherFactorFirst) {
    // Short, so that the dot product's own rounding does not absorb the
    // difference between the two groupings.
    constexpr std::uint64_t dim = 4;
    const V r = wobbly(1, dim), p = wobbly(2, dim), s = wobbly(3, dim);
    HoloSwarm swarm(dim);
    swarm.add_agent("A", r, "B", p, "C", s);
    // A large score keeps its final "+ 1" from absorbing the rounding.
    V u = swarm.swarm_vector();
    for (float& x : u) x = x * 1000.0f;
    swarm.set_swarm_vector(u);
    const V unrotated = rotated(u, role_unshift(role_shift("A", dim), dim));
    const float want = resonance(hdc_bind(unrotated, hdc_bind(r, s)), p);
    EXPECT_EQ(swarm.resonate("A", bipolar(9, dim), {}, 2), (ResonatorResult{"A", "B", "C", want}));
}

TEST(Resonate, DuplicateRoleUsesTheFirstRowAndAnEmptyEstimateScoresMinusTwo) {
    // With dim 1 every shift is 0, so an empty role vector can be registered;
    // the first "A" makes the policy estimate empty, whose similarities are NaN.
    HoloSwarm swarm(1);
    swarm.add_agent("A", {}, "P0", {1.0f}, "S0", {1.0f});
    swarm.add_agent("A", {1.0f}, "P1", {-1.0f}, "S1", {-1.0f});
    EXPECT_EQ(swarm.resonate("A", {-1.0f}, {}, 1), (ResonatorResult{"A", "P0", "S0", -2.0f}));
}

TEST(Resonate, SwarmShorterThanTheUnrotationFaults) {
    constexpr std::uint64_t dim = 1000;
    ASSERT_GT(role_unshift(role_shift("R", dim), dim), 1u);
    HoloSwarm swarm(dim);
    swarm.add_agent("R", bipolar(1, dim), "P", bipolar(2, dim), "S", bipolar(3, dim));
    swarm.set_swarm_vector({1.0f});
    EXPECT_EQ(fault_message([&] { swarm.resonate("R", bipolar(2, dim), {}, 1); }), kRotationTooLong);
}

TEST(RoleUnshift, UndoesTheShiftForDimsBeyond32Bits) {
    for (const std::uint64_t dim : {7ULL, 1ULL << 31, 3'000'000'000ULL, 1ULL << 40}) {
        for (const std::uint64_t k : std::initializer_list<std::uint64_t>{0, 1, dim / 2, dim - 1}) {
            const std::uint64_t u = role_unshift(k, dim);
            EXPECT_LT(u, dim);
            EXPECT_EQ((k + u) % dim, 0u) << dim << " " << k;
        }
    }
}

// ---- paradox trap -----------------------------------------------------------

TEST(ParadoxTrap, RingOfAgentsMatchesAddAgentPerPosition) {
    constexpr std::uint64_t dim = 128;
    const std::vector<std::string> names{"A", "B", "C"};
    const std::vector<V> roles{bipolar(1, dim), bipolar(2, dim), bipolar(3, dim)};
    const std::vector<V> keys{bipolar(4, dim), bipolar(5, dim), bipolar(6, dim)};
    HoloSwarm trap(dim), manual(dim);
    trap.add_paradox_trap(names, roles, keys);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t next = (i + 1) % 3;
        manual.add_agent(names[i], roles[i], "PARADOX_LINK", keys[i], names[next], roles[next]);
        const SwarmAgent row = trap.agent(i);
        EXPECT_EQ(std::tie(row.role, row.role_vector, row.policy, row.policy_vector, row.skill, row.skill_vector),
                  std::forward_as_tuple(names[i], roles[i], "PARADOX_LINK", keys[i], names[next], roles[next]));
    }
    EXPECT_EQ(trap.agent_count(), 3u);
    EXPECT_EQ(trap.swarm_vector(), manual.swarm_vector());
}

TEST(ParadoxTrap, FewerThanTwoNamesAddNothing) {
    HoloSwarm swarm(8);
    swarm.add_paradox_trap({}, {}, {});
    swarm.add_paradox_trap({"solo"}, {}, {});
    EXPECT_EQ(swarm.agent_count(), 0u);
    EXPECT_EQ(swarm.swarm_vector(), V(8, 0.0f));
}

struct ShortListCase {
    std::size_t roles;
    std::size_t keys;
    std::string message;
    std::uint64_t added;
};
class ParadoxTrapShortLists : public ::testing::TestWithParam<ShortListCase> {};

TEST_P(ParadoxTrapShortLists, EarlierPositionsStayAdded) {
    constexpr std::uint64_t dim = 32;
    const auto& c = GetParam();
    const std::vector<std::string> names{"A", "B", "C"};
    std::vector<V> roles, keys;
    for (std::size_t i = 0; i < c.roles; ++i) roles.push_back(bipolar(i + 1, dim));
    for (std::size_t i = 0; i < c.keys; ++i) keys.push_back(bipolar(i + 11, dim));

    HoloSwarm trap(dim), manual(dim);
    EXPECT_EQ(fault_message([&] { trap.add_paradox_trap(names, roles, keys); }), c.message);
    for (std::size_t i = 0; i < c.added; ++i) {
        manual.add_agent(names[i], roles[i], "PARADOX_LINK", keys[i], names[i + 1], roles[i + 1]);
    }
    EXPECT_EQ(trap.agent_count(), c.added);
    EXPECT_EQ(trap.swarm_vector(), manual.swarm_vector());
}

INSTANTIATE_TEST_SUITE_P(
    Missing, ParadoxTrapShortLists,
    ::testing::Values(ShortListCase{0, 3, "index out of bounds: the len is 0 but the index is 0", 0},
                      ShortListCase{1, 3, "index out of bounds: the len is 1 but the index is 1", 0},
                      ShortListCase{3, 0, "index out of bounds: the len is 0 but the index is 0", 0},
                      ShortListCase{2, 3, "index out of bounds: the len is 2 but the index is 2", 1},
                      ShortListCase{3, 2, "index out of bounds: the len is 2 but the index is 2", 2}));

// ---- materialize --------------------------------------------------------------

struct MaterializeCase {
    V probe;
    float threshold;
    std::vector<std::pair<std::string, float>> want;
};
class Materialize : public ::testing::TestWithParam<MaterializeCase> {};

TEST_P(Materialize, ListsStrictlyAboveThresholdDescendingAndStable) {
    HoloSwarm swarm(4);
    const std::vector<V> roles{{1, 1, -1, -1}, {1, 1, 1, -1}, {1, 1, -1, -1}, {1, 1, 1, 1}};
    for (std::size_t i = 0; i < roles.size(); ++i) {
        swarm.add_agent(numbered("r", i), roles[i], "p", {1, 1, 1, 1}, "s", {1, 1, 1, 1});
    }
    EXPECT_EQ(swarm.materialize(GetParam().probe, GetParam().threshold), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, Materialize,
    ::testing::Values(
        MaterializeCase{{1, 1, 1, 1}, -1.0f, {{"r3", 1.0f}, {"r1", 0.75f}, {"r0", 0.5f}, {"r2", 0.5f}}},
        MaterializeCase{{1, 1, 1, 1}, 0.5f, {{"r3", 1.0f}, {"r1", 0.75f}}},
        MaterializeCase{{1, 1, 1, 1}, 0.75f, {{"r3", 1.0f}}},
        // A short probe is scored over its own length only.
        MaterializeCase{{1, 1}, 0.9f, {{"r0", 1.0f}, {"r1", 1.0f}, {"r2", 1.0f}, {"r3", 1.0f}}},
        MaterializeCase{{}, -1.0f, {}}));

TEST(Resonate, ManyIterationsStopWhenAsked) {
    HoloSwarm swarm(1024);
    swarm.add_agent("r", bipolar(1, 1024), "p", bipolar(2, 1024), "s", bipolar(3, 1024));
    expect_cancelled([&] { (void)swarm.resonate("r", bipolar(2, 1024), {}, std::uint64_t{1} << 40); });
}

}  // namespace
}  // namespace tessarin
