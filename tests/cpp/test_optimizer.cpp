#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "engines/optimizer.hpp"

namespace tessarin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Expected values are the Python floats callers see: 32-bit values widened.
void expect_param(const Optimizer& opt, const char* name, double want) {
    const std::optional<float> got = opt.get(name);
    ASSERT_TRUE(got.has_value()) << name;
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(*got)) << name;
    } else {
        EXPECT_EQ(static_cast<double>(*got), want) << name;
    }
}

TEST(Optimizer, FreshValuesAndUnknownNames) {
    const Optimizer opt;
    expect_param(opt, "learning_rate", 0.5);
    expect_param(opt, "momentum", 0.5);
    expect_param(opt, "inhibition_bias", 0.30000001192092896);
    expect_param(opt, "exploration_rate", 0.30000001192092896);
    expect_param(opt, "identity_lr", 0.009999999776482582);
    for (const char* name : {"Momentum", "", "momentum ", "learning"}) EXPECT_FALSE(opt.get(name)) << name;
}

TEST(Optimizer, GetParamsListsAllSevenInFieldOrder) {
    Optimizer opt;
    opt.apply("exploration_increase", 0.25f, "");
    const auto params = opt.get_params();
    const char* order[] = {"learning_rate",   "attention_weight", "momentum",        "excitation_bias",
                           "inhibition_bias", "identity_lr",      "exploration_rate"};
    for (std::size_t i = 0; i < params.size(); ++i) {
        EXPECT_STREQ(params[i].first, order[i]);
        EXPECT_EQ(params[i].second, *opt.get(order[i]));
    }
    EXPECT_EQ(params[6].second, 0.3f + 0.25f);
}

struct ActionCase {
    const char* action;
    float delta;
    const char* param;
    double want;
};

class OptimizerAction : public ::testing::TestWithParam<ActionCase> {};

TEST_P(OptimizerAction, ChangesOneParameterWithinItsBounds) {
    const ActionCase& c = GetParam();
    Optimizer opt;
    const Optimizer fresh;
    opt.apply(c.action, c.delta, "why");
    expect_param(opt, c.param, c.want);
    for (const auto& [name, value] : fresh.get_params()) {
        if (std::string(name) != c.param) {
            EXPECT_EQ(*opt.get(name), value) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OptimizerAction,
    ::testing::Values(ActionCase{"learning_rate_increase", 0.7f, "learning_rate", 1.0},
                      ActionCase{"learning_rate_increase", -0.2f, "learning_rate", 0.30000001192092896},
                      ActionCase{"learning_rate_decrease", 2.0f, "learning_rate", 0.0},
                      ActionCase{"momentum_decrease", -0.2f, "momentum", 0.30000001192092896},
                      ActionCase{"momentum_decrease", 0.2f, "momentum", 0.30000001192092896},
                      ActionCase{"attention_decrease", -0.125f, "attention_weight", 0.375},
                      ActionCase{"excitation_increase", 0.25f, "excitation_bias", 0.75},
                      ActionCase{"inhibition_increase", -1.0f, "inhibition_bias", 0.0},
                      ActionCase{"exploration_increase", 5.0f, "exploration_rate", 1.0},
                      ActionCase{"identity_lr_decrease", 5.0f, "identity_lr", 0.0010000000474974513},
                      ActionCase{"identity_lr_increase", 10.0f, "identity_lr", 10.010000228881836},
                      // NaN survives the [0, 1] clamp but not the identity floor.
                      ActionCase{"attention_increase", kNaN, "attention_weight", std::nan("")},
                      ActionCase{"identity_lr_increase", kNaN, "identity_lr", 0.0010000000474974513},
                      ActionCase{"LEARNING_RATE_INCREASE", 0.1f, "learning_rate", 0.5}));

TEST(Optimizer, IdentityLrHasNoUpperBound) {
    Optimizer opt;
    opt.apply("identity_lr_decrease", 5.0f, "");
    opt.apply("identity_lr_increase", 10.0f, "");
    expect_param(opt, "identity_lr", 10.00100040435791);
}

TEST(Optimizer, UnknownActionStillTakesAnUndoStep) {
    Optimizer opt;
    opt.apply("momentum_increase", 0.25f, "");
    opt.apply("no_such_action", 0.25f, "");
    opt.rollback();
    expect_param(opt, "momentum", 0.75);
    opt.rollback();
    expect_param(opt, "momentum", 0.5);
}

TEST(Optimizer, RollbackRemembersOnlyTheLastHundredSteps) {
    Optimizer opt;
    opt.rollback();
    EXPECT_EQ(opt.params(), CognitiveParams{});

    // Each step moves the learning rate by a power of two, so every
    // intermediate value is exact and distinct.
    CognitiveParams after_first;
    for (int i = 0; i < 101; ++i) {
        opt.apply("learning_rate_decrease", 1.0f / 1024.0f, "");
        if (i == 0) after_first = opt.params();
    }
    EXPECT_EQ(opt.history_size(), kOptimizerHistoryLimit);
    for (int i = 0; i < 100; ++i) opt.rollback();
    EXPECT_EQ(opt.params(), after_first);
    EXPECT_EQ(opt.history_size(), 0u);
    opt.rollback();
    EXPECT_EQ(opt.params(), after_first);
}

}  // namespace
}  // namespace tessarin
