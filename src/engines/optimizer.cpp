#include "engines/optimizer.hpp"

#include <cmath>

#include "core/scan.hpp"

namespace tessarin {

namespace {

using Field = float CognitiveParams::*;

struct NamedField {
    const char* name;
    Field field;
};

constexpr std::array<NamedField, kParamCount> kFields{{
    {"learning_rate", &CognitiveParams::learning_rate},
    {"attention_weight", &CognitiveParams::attention_weight},
    {"momentum", &CognitiveParams::momentum},
    {"excitation_bias", &CognitiveParams::excitation_bias},
    {"inhibition_bias", &CognitiveParams::inhibition_bias},
    {"identity_lr", &CognitiveParams::identity_lr},
    {"exploration_rate", &CognitiveParams::exploration_rate},
}};

// identity_lr must stay positive but may grow without limit; every other
// parameter is a proportion.
constexpr float kIdentityLrFloor = 0.001f;

enum class Direction { increase, decrease };
enum class Bound { unit_interval, identity_floor };

struct Action {
    std::string_view name;
    Field field;
    Direction direction;
    Bound bound;
};

constexpr std::array<Action, 11> kActions{{
    {"learning_rate_increase", &CognitiveParams::learning_rate, Direction::increase, Bound::unit_interval},
    {"learning_rate_decrease", &CognitiveParams::learning_rate, Direction::decrease, Bound::unit_interval},
    {"attention_increase", &CognitiveParams::attention_weight, Direction::increase, Bound::unit_interval},
    {"attention_decrease", &CognitiveParams::attention_weight, Direction::decrease, Bound::unit_interval},
    {"momentum_increase", &CognitiveParams::momentum, Direction::increase, Bound::unit_interval},
    {"momentum_decrease", &CognitiveParams::momentum, Direction::decrease, Bound::unit_interval},
    {"excitation_increase", &CognitiveParams::excitation_bias, Direction::increase, Bound::unit_interval},
    {"inhibition_increase", &CognitiveParams::inhibition_bias, Direction::increase, Bound::unit_interval},
    {"identity_lr_increase", &CognitiveParams::identity_lr, Direction::increase, Bound::identity_floor},
    {"identity_lr_decrease", &CognitiveParams::identity_lr, Direction::decrease, Bound::identity_floor},
    {"exploration_increase", &CognitiveParams::exploration_rate, Direction::increase, Bound::unit_interval},
}};

// A NaN passes both comparisons and is kept: the caller sees it rather than a
// silently invented value.
float clamp_unit(float v) {
    if (v < 0.0f) v = 0.0f;
    if (v > 1.0f) v = 1.0f;
    return v;
}

float bounded(float v, Bound bound) {
    // fmax prefers the number over a NaN, so a NaN identity_lr becomes the floor.
    return bound == Bound::unit_interval ? clamp_unit(v) : std::fmax(v, kIdentityLrFloor);
}

}  // namespace

void Optimizer::apply(std::string_view action, float delta, std::string_view /*reason*/) {
    param_history_.push(params_);
    for (const Action& a : kActions) {
        if (a.name != action) continue;
        float& value = params_.*a.field;
        // An increase adds delta as given (a negative delta lowers the value);
        // a decrease always lowers it by the magnitude.
        const float moved = a.direction == Direction::increase ? add_in_order(value, delta) : value - std::fabs(delta);
        value = bounded(moved, a.bound);
        return;
    }
}

void Optimizer::rollback() {
    if (auto previous = param_history_.pop_newest()) params_ = *previous;
}

std::optional<float> Optimizer::get(std::string_view name) const {
    for (const NamedField& f : kFields) {
        if (name == f.name) return params_.*f.field;
    }
    return std::nullopt;
}

Optimizer::NamedParams Optimizer::get_params() const {
    NamedParams out{};
    for (std::size_t i = 0; i < kParamCount; ++i) out[i] = {kFields[i].name, params_.*kFields[i].field};
    return out;
}

}  // namespace tessarin
