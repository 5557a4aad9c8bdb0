#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engines/self_audit.hpp"

namespace tessarin {
namespace {

using V = Hypervector;
using Issues = std::vector<std::string>;

V negated(V v) {
    for (float& x : v) x = -x;
    return v;
}

const V kV{1, -1, 1, 1, -1, -1, 1, -1, 1, 1};

TEST(SelfAudit, FirstBipolarAuditPasses) {
    SelfAudit audit(kV.size());
    EXPECT_EQ(audit.full_audit(kV), AuditResult(1.0f, true, Issues{}));
}

struct DriftCase {
    std::uint64_t dim;
    V hv;
    Issues want;
};

class SelfAuditDrift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(SelfAuditDrift, CountsNearZeroAgainstATenthOfDim) {
    SelfAudit audit(GetParam().dim);
    EXPECT_EQ(std::get<2>(audit.full_audit(GetParam().hv)), GetParam().want);
}

V with_zeros(std::size_t zeros, std::size_t length) {
    V v(length, 1.0f);
    std::fill_n(v.begin(), zeros, 0.0f);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelfAuditDrift,
    ::testing::Values(DriftCase{100, with_zeros(10, 100), {}},
                      DriftCase{100, with_zeros(11, 100), {"drift detected: 11 elements near zero"}},
                      DriftCase{109, with_zeros(11, 100), {"drift detected: 11 elements near zero"}},
                      DriftCase{110, with_zeros(11, 100), {}},
                      DriftCase{9, V{0.0f, 1.0f}, {"drift detected: 1 elements near zero"}},
                      // 0.1f itself is not near zero; NaN never is.
                      DriftCase{9, V{0.1f, -0.1f, std::numeric_limits<float>::quiet_NaN()}, {}},
                      DriftCase{9, V{0.09f, -0.05f, -0.0f}, {"drift detected: 3 elements near zero"}}));

TEST(SelfAudit, NegationIsInconsistentWithHistory) {
    SelfAudit audit(kV.size());
    audit.full_audit(kV);
    const auto [score, passed, issues] = audit.full_audit(negated(kV));
    EXPECT_EQ(static_cast<double>(score), 0.8999999761581421);
    EXPECT_FALSE(passed);
    EXPECT_EQ(issues, Issues{"low history consistency: -1.000"});
}

TEST(SelfAudit, DriftAndHistoryIssuesTogether) {
    SelfAudit audit(100);
    audit.full_audit(V(100, 1.0f));
    const auto [score, passed, issues] = audit.full_audit(with_zeros(60, 100));
    EXPECT_EQ(static_cast<double>(score), 0.800000011920929);
    EXPECT_FALSE(passed);
    EXPECT_EQ(issues, (Issues{"drift detected: 60 elements near zero", "low history consistency: 0.400"}));
}

TEST(SelfAudit, HistoryCheckUsesTheFiveNewestEntries) {
    // One v then five -v: the window of the five newest gives -1.000; six
    // entries would give -0.667 and the five oldest -0.600.
    SelfAudit audit(0);
    audit.full_audit(kV);
    for (int i = 0; i < 5; ++i) audit.full_audit(negated(kV));
    EXPECT_EQ(std::get<2>(audit.full_audit(kV)), Issues{"low history consistency: -1.000"});
}

TEST(SelfAudit, HistoryKeepsTheNewestHundred) {
    SelfAudit audit(0);
    for (int i = 0; i < 101; ++i) audit.full_audit(kV);
    EXPECT_EQ(audit.history_size(), kAuditHistoryLimit);
    // The window still sees the newest entries after the wrap.
    audit.full_audit(negated(kV));
    EXPECT_EQ(std::get<2>(audit.full_audit(negated(kV))), Issues{"low history consistency: -0.600"});
    EXPECT_EQ(audit.history_size(), kAuditHistoryLimit);
}

TEST(SelfAudit, EmptyVectorIsRememberedWithoutHistoryIssue) {
    SelfAudit audit(0);
    audit.full_audit(kV);
    EXPECT_EQ(audit.full_audit(V{}), AuditResult(1.0f, true, Issues{}));
    EXPECT_EQ(audit.history_size(), 2u);
}

struct ConsistencyCase {
    V h1;
    V h2;
    double score;
    Issues issues;
};

class SelfAuditConsistency : public ::testing::TestWithParam<ConsistencyCase> {};

TEST_P(SelfAuditConsistency, PassesAtSevenTenths) {
    const SelfAudit audit(4);
    const ConsistencyCase& c = GetParam();
    const auto [score, passed, issues] = audit.check_consistency(c.h1, c.h2);
    EXPECT_EQ(static_cast<double>(score), c.score);
    EXPECT_EQ(passed, c.issues.empty());
    EXPECT_EQ(issues, c.issues);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelfAuditConsistency,
    ::testing::Values(ConsistencyCase{kV, kV, 1.0, {}}, ConsistencyCase{kV, negated(kV), 0.0, {"low consistency: 0.000"}},
                      // 7 of 10 agree: exactly the threshold, which passes.
                      ConsistencyCase{kV, V{1, -1, 1, 1, -1, -1, 1, 1, -1, -1}, 0.699999988079071, {}},
                      ConsistencyCase{kV, V{1, -1, 1, 1, -1, -1, -1, 1, -1, -1}, 0.6000000238418579,
                                      {"low consistency: 0.600"}},
                      // Only the common prefix counts, divided by len(h1).
                      ConsistencyCase{V{1, 1, 1, 1}, V{1, 1}, 0.75, {}}));

TEST(SelfAudit, EmptyFirstVectorNeitherPassesNorReports) {
    const SelfAudit audit(4);
    const auto [score, passed, issues] = audit.check_consistency(V{}, kV);
    EXPECT_TRUE(std::isnan(score));
    EXPECT_FALSE(passed);
    EXPECT_TRUE(issues.empty());
}

}  // namespace
}  // namespace tessarin
