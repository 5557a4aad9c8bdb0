#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "core/algebra.hpp"
#include "engines/multi_hop_reasoner.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

using V = std::vector<float>;
using Results = std::vector<MultiHopReasoner::Result>;

const V kQuery{1, 1, 1, 1};
const V kOpposite{-1, -1, -1, -1};

MultiHopReasoner worked_example() {
    MultiHopReasoner r(4);
    r.add_fact({1, 1, 1, 1});
    r.add_fact({1, 1, 1, -1});
    r.add_fact({-1, -1, -1, -1});
    r.add_link(1, 2);
    return r;
}

struct HopsCase {
    std::uint64_t hops;
    Results want;
};

class WorkedExample : public ::testing::TestWithParam<HopsCase> {};

TEST_P(WorkedExample, LinksAdmitLowScoresAfterHopZero) {
    EXPECT_EQ(worked_example().reason(kQuery, GetParam().hops), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Hops, WorkedExample,
    ::testing::Values(HopsCase{0, {{0, 1.0f}, {1, 0.75f}}},
                      HopsCase{1, {{0, 1.0f}, {1, 0.75f}, {2, 0.0f}}},
                      HopsCase{1'000'000'000'000'000'000ULL, {{0, 1.0f}, {1, 0.75f}, {2, 0.0f}}}));

TEST(MultiHopReasoner, ThresholdIsStrict) {
    const V five{1, 1, 1, 1, 1};
    const V fact{1, 1, 1, -1, -1};
    ASSERT_EQ(resonance(five, fact), 0.6f);
    MultiHopReasoner r(5);
    r.add_fact(fact);
    EXPECT_TRUE(r.reason(five, 3).empty());
}

TEST(MultiHopReasoner, DividesByTheQueryLength) {
    MultiHopReasoner r(4);
    r.add_fact({1, 1});
    EXPECT_EQ(r.reason(kQuery, 0), (Results{{0, 0.75f}}));
}

TEST(MultiHopReasoner, EqualScoresKeepTheOrderReached) {
    // Hop 0 in index order; round 1 in link order, not index order.
    MultiHopReasoner r(4);
    r.add_fact(kQuery);
    r.add_fact(kOpposite);
    r.add_fact(kOpposite);
    r.add_fact(kQuery);
    r.add_link(0, 2);
    r.add_link(1, 0);
    EXPECT_EQ(r.reason(kQuery, 1), (Results{{0, 1.0f}, {3, 1.0f}, {2, 0.0f}, {1, 0.0f}}));
}

TEST(MultiHopReasoner, EachRoundExpandsOnlyThePreviousOne) {
    // Chain 0 - 1 - 2 - 3 with a self-link and a repeated link along the way.
    MultiHopReasoner r(4);
    r.add_fact(kQuery);
    for (int i = 0; i < 3; ++i) r.add_fact(kOpposite);
    r.add_link(1, 1);
    r.add_link(1, 0);
    r.add_link(2, 1);
    r.add_link(0, 1);
    r.add_link(3, 2);
    const Results two = r.reason(kQuery, 2);
    EXPECT_EQ(two, (Results{{0, 1.0f}, {1, 0.0f}, {2, 0.0f}}));
    EXPECT_EQ(r.reason(kQuery, 3).size(), 4U);
}

TEST(MultiHopReasoner, NothingAdmittedGivesNothing) {
    MultiHopReasoner r(4);
    EXPECT_TRUE(r.reason(kQuery, 5).empty());
    r.add_fact(kQuery);
    r.add_fact(kOpposite);
    r.add_link(0, 1);
    // An empty query scores NaN everywhere, and NaN is never admitted.
    EXPECT_TRUE(r.reason(V{}, 5).empty());
    EXPECT_EQ(r.reason(kOpposite, 5).size(), 2U);
}

TEST(MultiHopReasoner, FollowingALinkToAMissingFactFaults) {
    MultiHopReasoner r(4);
    r.add_fact(kQuery);
    r.add_link(0, 99);
    // Links between nodes never expanded are never examined.
    r.add_link(50, 60);
    EXPECT_EQ(r.reason(kQuery, 0), (Results{{0, 1.0f}}));
    expect_fault([&] { (void)r.reason(kQuery, 1); }, "index out of bounds: the len is 1 but the index is 99");
    EXPECT_TRUE(r.reason(kOpposite, 1).empty());
}

TEST(MultiHopReasoner, NaNScoreReachedThroughALinkFaults) {
    MultiHopReasoner r(4);
    r.add_fact(kQuery);
    r.add_fact({std::numeric_limits<float>::quiet_NaN(), 1, 1, 1});
    r.add_link(0, 1);
    EXPECT_EQ(r.reason(kQuery, 0), (Results{{0, 1.0f}}));
    expect_fault([&] { (void)r.reason(kQuery, 1); }, "called `Option::unwrap()` on a `None` value");
}

TEST(MultiHopReasoner, ResetStartsIndicesAgain) {
    MultiHopReasoner r(4);
    EXPECT_EQ(r.add_fact(kQuery), 0U);
    EXPECT_EQ(r.add_fact(kQuery), 1U);
    r.add_link(0, 1);
    r.reset();
    EXPECT_EQ(r.dim(), 4U);
    EXPECT_TRUE(r.reason(kQuery, 3).empty());
    EXPECT_EQ(r.add_fact(kOpposite), 0U);
    EXPECT_TRUE(r.reason(kQuery, 3).empty());
}

TEST(MultiHopReasoner, LongLinkExpansionStopsWhenAsked) {
    MultiHopReasoner r(4);
    r.add_fact(kQuery);
    r.add_fact(kOpposite);
    r.add_link(0, 1);
    // Links between facts that never join the search still have to be looked at.
    for (std::uint64_t i = 0; i < kCancelPollInterval; ++i) r.add_link(7, 8);
    const Results want = r.reason(kQuery, 1);
    ASSERT_EQ(want.size(), 2U);
    expect_cancelled([&] { (void)r.reason(kQuery, 1); });
    EXPECT_EQ(r.reason(kQuery, 1), want);
}

}  // namespace
}  // namespace tessarin
