#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "engines/metacognition.hpp"

namespace tessarin {
namespace {

struct FixedCase {
    float value;
    int decimals;
    const char* text;
};

class FixedPoint : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedPoint, NearestDecimalTiesToEven) {
    EXPECT_EQ(fixed_point(GetParam().value, GetParam().decimals), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixedPoint,
    ::testing::Values(FixedCase{0.125f, 2, "0.12"}, FixedCase{0.375f, 2, "0.38"}, FixedCase{0.0625f, 3, "0.062"},
                      FixedCase{-0.0625f, 3, "-0.062"}, FixedCase{-1.0f, 3, "-1.000"},
                      FixedCase{0.25f, 3, "0.250"}, FixedCase{0.8f, 2, "0.80"},
                      // 0.015f and 2.675f lie just below their decimal ties: the exact value decides.
                      FixedCase{0.015f, 2, "0.01"}, FixedCase{2.675f, 2, "2.67"},
                      FixedCase{16777216.0f, 1, "16777216.0"}, FixedCase{-0.0f, 2, "-0.00"},
                      FixedCase{-std::numeric_limits<float>::max(), 3,
                                "-340282346638528859811704183484516925440.000"},
                      FixedCase{std::numeric_limits<float>::infinity(), 3, "inf"},
                      FixedCase{-std::numeric_limits<float>::infinity(), 3, "-inf"},
                      FixedCase{std::numeric_limits<float>::quiet_NaN(), 3, "NaN"}));

constexpr std::uint64_t kDim = 4;

void record(Metacognition& m, float res, float acc) { m.record(res, 0.0f, acc, Hypervector(kDim, 1.0f), 0); }

TEST(Metacognition, EmptyLogRecommendsEverything) {
    const Metacognition m(kDim);
    EXPECT_EQ(m.success_rate(), 0.0f);
    EXPECT_EQ(m.avg_resonance(), 0.0f);
    const std::vector<Recommendation> want{
        {"learning_rate_increase", 0.1f, "success rate 0.00 < 50%"},
        {"attention_increase", 0.05f, "increase focus"},
        {"identity_lr_decrease", -0.005f, "avg resonance 0.00 too low"},
    };
    EXPECT_EQ(m.recommend(), want);
    EXPECT_EQ(static_cast<double>(std::get<1>(want[2])), -0.004999999888241291);
}

struct RecommendCase {
    std::vector<std::pair<float, float>> observations;  // (res, acc)
    std::vector<Recommendation> want;
};

class MetacognitionRecommend : public ::testing::TestWithParam<RecommendCase> {};

TEST_P(MetacognitionRecommend, FollowsRateAndResonance) {
    Metacognition m(kDim);
    for (const auto& [res, acc] : GetParam().observations) record(m, res, acc);
    EXPECT_EQ(m.recommend(), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetacognitionRecommend,
    ::testing::Values(
        RecommendCase{{{0.9f, 0.9f}}, {{"momentum_increase", 0.05f, "success rate 1.00 > 80%, reinforce"}}},
        // acc must exceed 0.5 strictly; res 0.6 is not low.
        RecommendCase{{{0.6f, 0.5f}},
                      {{"learning_rate_increase", 0.1f, "success rate 0.00 < 50%"},
                       {"attention_increase", 0.05f, "increase focus"}}},
        // Four of five is exactly 0.8f, which is not above 0.8f.
        RecommendCase{{{0.9f, 0.9f}, {0.9f, 0.9f}, {0.9f, 0.9f}, {0.9f, 0.9f}, {0.5f, 0.9f}}, {}},
        // One in eight is the tie 0.125, written with the even digit.
        RecommendCase{{{0.9f, 0.9f}, {0.1f, 1}, {0.1f, 1}, {0.1f, 1}, {0.1f, 1}, {0.1f, 1}, {0.1f, 1}, {0.1f, 1}},
                      {{"learning_rate_increase", 0.1f, "success rate 0.12 < 50%"},
                       {"attention_increase", 0.05f, "increase focus"},
                       {"identity_lr_decrease", -0.005f, "avg resonance 0.20 too low"}}},
        RecommendCase{{{-2.0f, 0.9f}},
                      {{"learning_rate_increase", 0.1f, "success rate 0.00 < 50%"},
                       {"attention_increase", 0.05f, "increase focus"},
                       {"identity_lr_decrease", -0.005f, "avg resonance -2.00 too low"}}}));

TEST(Metacognition, StatisticsIgnoreContextContentsCoherenceAndHash) {
    Metacognition a(kDim);
    Metacognition b(kDim);
    a.record(0.9f, 0.0f, 0.9f, Hypervector(kDim, 1.0f), 0);
    b.record(0.9f, -7.0f, 0.9f, Hypervector{0.0f, -3.0f, 5.0f, 1e9f}, 12345);
    EXPECT_EQ(a.success_rate(), 1.0f);
    EXPECT_EQ(static_cast<double>(a.avg_resonance()), 0.8999999761581421);
    EXPECT_EQ(a.success_rate(), b.success_rate());
    EXPECT_EQ(a.avg_resonance(), b.avg_resonance());
}

TEST(Metacognition, ContextOfWrongLengthIsDiscarded) {
    Metacognition m(kDim);
    record(m, 0.9f, 0.9f);
    m.record(0.1f, 0.0f, 0.1f, Hypervector(kDim + 1, 1.0f), 0);
    m.record(0.1f, 0.0f, 0.1f, Hypervector(kDim - 1, 1.0f), 0);
    m.record(MetaRecord{0.1f, 0.0f, 0.1f, nullptr, 0});
    EXPECT_EQ(m.record_count(), 1u);
    EXPECT_EQ(m.success_rate(), 1.0f);
    EXPECT_EQ(static_cast<double>(m.avg_resonance()), 0.8999999761581421);
}

TEST(Metacognition, OldestObservationsDropOutOfBothStatistics) {
    // A first success followed by the limit's worth of failures: the success
    // must leave both the tally and the mean.
    Metacognition m(kDim);
    record(m, 1.0f, 1.0f);
    for (std::size_t i = 0; i < kMetaRecordLimit; ++i) record(m, 0.25f, 0.0f);
    EXPECT_EQ(m.record_count(), kMetaRecordLimit);
    EXPECT_EQ(m.success_rate(), 0.0f);
    EXPECT_EQ(m.avg_resonance(), 0.25f);
}

TEST(Metacognition, RateStaysExactAcrossManyWraps) {
    Metacognition m(kDim);
    std::vector<bool> all;
    for (int i = 0; i < 25000; ++i) {
        const bool success = (i * 7919) % 13 < 5;
        record(m, success ? 0.75f : 0.25f, 0.75f);
        all.push_back(success);
    }
    std::size_t kept = 0;
    for (std::size_t i = all.size() - kMetaRecordLimit; i < all.size(); ++i) kept += all[i] ? 1 : 0;
    EXPECT_EQ(m.success_rate(), static_cast<float>(kept) / static_cast<float>(kMetaRecordLimit));
}

}  // namespace
}  // namespace tessarin
