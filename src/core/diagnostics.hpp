// System-state diagnostics encoding: four host readings bound to fixed role
// vectors and summed into one hypervector, which can ride on a payload vector
// under the diagnostics role and be taken off again.
//
// Costs: an encoding generates nine sign streams of `dim` components (four
// levels, four roles and, where bundled, the diagnostics role) and so is a few
// passes of O(dim); each function allocates its result and a few temporaries
// of the same length. Generation polls (Cancelled) and an impossible length
// is Fault "capacity overflow"; nothing else fails. No shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/algebra.hpp"

namespace tessarin {

inline constexpr std::uint64_t kDiagnosticRoleSeed = 0x7E55A21ED146C0DEULL;

struct SystemState {
    float ram_pct = 0.0f;
    float cpu_pct = 0.0f;
    std::uint32_t error_count = 0;
    std::uint32_t latency_us = 0;
};

// The level 0..255 of a reading: clamp to [0, 1e6], scale by 1000, truncate,
// keep the low 8 bits (a deliberate wrap every 0.256 units, not a saturation).
std::uint32_t quantise_level(float x);

// string_hypervector of "<label>:<level>".
Hypervector level_hypervector(std::string_view label, std::uint32_t level, std::uint64_t dim);

Hypervector diagnostic_role(std::uint64_t dim);
Hypervector encode_system_state(std::uint64_t dim, const SystemState& state);
// payload[i] + role[i] * encoding[i], over len(payload) components.
Hypervector bundle_diagnostics(HvView payload, const SystemState& state);
// role[i] * bundled[i], over len(bundled) components.
Hypervector extract_system_state(HvView bundled);

}  // namespace tessarin
