#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "engines/holo_cpu_scheduler.hpp"
#include "expect_fault.hpp"

namespace tessarin {
namespace {

using V = Hypervector;
using Vs = std::vector<Hypervector>;

// "+" for +1.0 and "-" for -1.0.
std::string signs(const V& v) {
    std::string out;
    for (const float c : v) out.push_back(c > 0.0f ? '+' : '-');
    return out;
}

std::size_t agreements(const V& a, const V& b) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i) n += a[i] == b[i] ? 1 : 0;
    return n;
}

TEST(HoloCPUScheduler, EncodeAndRoleCheckValues) {
    const HoloCPUScheduler s(16, 4);
    EXPECT_EQ(signs(s.encode("abc")), "---+-+---++--+-+");
    EXPECT_EQ(signs(s.encode("")), "+++++++--++++-++");
    EXPECT_EQ(signs(s.generate_role("abc")), "+-++++-+-----+--");
}

TEST(HoloCPUScheduler, VectorsDependOnlyOnTextAndExtendWithDim) {
    const HoloCPUScheduler small(16, 1);
    const HoloCPUScheduler large(100, 9);
    for (const char* text : {"abc", "", "\xc3\xa9t\xc3\xa9"}) {
        const V role = large.generate_role(text);
        const V concept_vector = large.encode(text);
        EXPECT_EQ(small.generate_role(text), V(role.begin(), role.begin() + 16)) << text;
        EXPECT_EQ(small.encode(text), V(concept_vector.begin(), concept_vector.begin() + 16)) << text;
    }
}

TEST(HoloCPUScheduler, FreshScheduler) {
    const HoloCPUScheduler s(16, 4);
    EXPECT_FALSE(s.recall("abc"));
    EXPECT_EQ(s.export_holographic_state(), V(16, 1.0f));
    EXPECT_EQ(s.feedback_strength(), 0.5f);
    EXPECT_EQ(s.dimension(), 16u);
    EXPECT_EQ(s.quantum_capacity(), 4u);
}

TEST(HoloCPUScheduler, StoringFoldsTheKeyIntoASaturatingState) {
    HoloCPUScheduler s(16, 4);
    const V key = s.encode("abc");
    s.store_memory("abc");
    EXPECT_TRUE(s.recall("abc"));
    V want(16);
    for (std::size_t i = 0; i < 16; ++i) want[i] = key[i] < 0.0f ? 0.0f : 1.0f;
    EXPECT_EQ(s.export_holographic_state(), want);
    s.store_memory("abc");
    s.store_memory("abc");
    EXPECT_EQ(s.export_holographic_state(), key);
    EXPECT_EQ(s.concept_count(), 3u);
}

TEST(HoloCPUScheduler, RecallThresholdScalesWithStoredCount) {
    // With one concept stored, r = (agreements - disagreements) / dim: at
    // dim 20, 13 agreements give exactly 0.3f (not above the threshold) and 14
    // give 0.4. Three stored copies triple r.
    constexpr std::uint64_t kDim = 20;
    HoloCPUScheduler once(kDim, 1);
    HoloCPUScheduler thrice(kDim, 1);
    once.store_memory("abc");
    for (int i = 0; i < 3; ++i) thrice.store_memory("abc");
    const V stored = once.encode("abc");
    bool saw_13 = false;
    bool saw_14 = false;
    for (int i = 0; i < 2000 && !(saw_13 && saw_14); ++i) {
        const std::string probe = "probe" + std::to_string(i);
        const std::size_t agree = agreements(once.encode(probe), stored);
        if (agree == 13) {
            saw_13 = true;
            EXPECT_FALSE(once.recall(probe)) << probe;
            EXPECT_TRUE(thrice.recall(probe)) << probe;
        } else if (agree == 14) {
            saw_14 = true;
            EXPECT_TRUE(once.recall(probe)) << probe;
        } else if (agree <= 10) {
            EXPECT_FALSE(thrice.recall(probe)) << probe;
        }
    }
    EXPECT_TRUE(saw_13 && saw_14);
}

TEST(HoloCPUScheduler, ZeroDimRecallsNothing) {
    HoloCPUScheduler s(0, 4);
    s.store_memory("abc");
    EXPECT_FALSE(s.recall("abc"));
    EXPECT_TRUE(s.generate_role("abc").empty());
    EXPECT_TRUE(s.export_holographic_state().empty());
}

struct IntegrityCase {
    std::uint64_t dim;
    std::uint64_t qc;
    bool ok;
};

class SchedulerIntegrity : public ::testing::TestWithParam<IntegrityCase> {};

TEST_P(SchedulerIntegrity, NeedsDimAndCapacity) {
    HoloCPUScheduler s(GetParam().dim, GetParam().qc);
    EXPECT_EQ(s.run_audit_integrity_check(), GetParam().ok);
    s.store_memory("x");
    s.process_feedback(0.9f);
    EXPECT_EQ(s.run_audit_integrity_check(), GetParam().ok);
}

INSTANTIATE_TEST_SUITE_P(Configs, SchedulerIntegrity,
                         ::testing::Values(IntegrityCase{0, 4, false}, IntegrityCase{16, 0, false},
                                           IntegrityCase{16, 4, true}));

struct FeedbackCase {
    float signal;
    double strength;
};

class SchedulerFeedback : public ::testing::TestWithParam<FeedbackCase> {};

TEST_P(SchedulerFeedback, MovesTheLearningRate) {
    HoloCPUScheduler s(8, 2);
    s.process_feedback(GetParam().signal);
    EXPECT_EQ(static_cast<double>(s.feedback_strength()), GetParam().strength);
}

INSTANTIATE_TEST_SUITE_P(Signals, SchedulerFeedback,
                         ::testing::Values(FeedbackCase{0.9f, 0.8999999761581421},
                                           FeedbackCase{0.2f, 0.19999998807907104}, FeedbackCase{0.5f, 0.5},
                                           FeedbackCase{2.0f, 1.0}, FeedbackCase{-1.0f, 0.0}));

TEST(HoloCPUScheduler, FeedbackDrivesTheOptimizerLikeApply) {
    HoloCPUScheduler s(8, 2);
    Optimizer direct;
    for (const float signal : {0.9f, 0.2f, 0.5f, 0.75f, 0.625f, 0.0f, 1.5f, 0.51f}) {
        s.process_feedback(signal);
        const float x = signal - 0.5f;
        direct.apply(x > 0.0f ? "learning_rate_increase" : "learning_rate_decrease", std::fabs(x), "");
        EXPECT_EQ(s.optimizer().params(), direct.params()) << signal;
    }
    EXPECT_EQ(s.optimizer().history_size(), direct.history_size());
}

TEST(HoloCPUScheduler, FeedbackReasonText) {
    EXPECT_EQ(HoloCPUScheduler::feedback_reason(0.25f), "feedback signal: 0.250");
    EXPECT_EQ(HoloCPUScheduler::feedback_reason(-1.0625f), "feedback signal: -1.062");
}

TEST(HoloCPUScheduler, EndlessFeedbackIsLoggedWithinTheLogLimits) {
    HoloCPUScheduler s(64, 2);
    for (int i = 0; i < 1000000; ++i) s.process_feedback(i % 4 == 0 ? 0.75f : 0.25f);
    EXPECT_EQ(s.metacognition().record_count(), kMetaRecordLimit);
    EXPECT_EQ(s.optimizer().history_size(), kOptimizerHistoryLimit);
    EXPECT_EQ(s.metacognition().success_rate(), 0.25f);
    EXPECT_EQ(s.metacognition().avg_resonance(), 0.375f);
}

TEST(HoloCPUScheduler, GroverSearchIsTheAttentionReadOut) {
    const V q{1, 1, 1, 1, 1, 1, 1, 1};
    const V k2{1, 1, 1, 1, 1, 1, 1, -1};
    const Vs keys{q, k2};
    const Vs values{V{1, 2, 3, 4, 5}, V{-4, 8, 0.5f}};
    for (const std::uint64_t dim : {0u, 3u, 8u}) {
        HoloCPUScheduler s(dim, 7);
        QuantumAttentionHead head(dim, 1);
        EXPECT_EQ(s.quantum_grover_search(q, keys, values), head.compute(q, keys, values)) << dim;
        EXPECT_EQ(s.quantum_grover_search(q, Vs{k2}, Vs{values[0]}), values[0]) << dim;
        EXPECT_THROW(s.quantum_grover_search(q, keys, Vs{}), Fault);
    }
}

TEST(HoloCPUScheduler, ImpossibleDimIsAFaultNotACrash) {
    for (const std::uint64_t dim : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 62}) {
        EXPECT_THROW(HoloCPUScheduler(dim, 1), Fault);
    }
}

TEST(HoloCPUScheduler, CancelledStoreChangesNothing) {
    HoloCPUScheduler s(2 * kCancelPollInterval, 4);
    s.store_memory("first");
    const V world = s.export_holographic_state();
    expect_cancelled([&] { s.store_memory("second"); });
    EXPECT_EQ(s.concept_count(), 1U);
    EXPECT_EQ(s.export_holographic_state(), world);
    EXPECT_TRUE(s.recall("first"));
    EXPECT_FALSE(s.recall("second"));
}

}  // namespace
}  // namespace tessarin
