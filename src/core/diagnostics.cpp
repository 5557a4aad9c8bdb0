#include "core/diagnostics.hpp"

#include <array>
#include <cmath>

#include "core/fault.hpp"
#include "core/generators.hpp"
#include "core/scan.hpp"

namespace tessarin {

std::uint32_t quantise_level(float x) {
    constexpr float kCeiling = 1000000.0f;
    constexpr float kScale = 1000.0f;
    const float y = x < 0.0f ? 0.0f : x;
    const float z = y > kCeiling ? kCeiling : y;
    const float p = z * kScale;
    const std::uint32_t u = std::isnan(p) ? 0U : static_cast<std::uint32_t>(p);
    return u & 0xFFU;
}

Hypervector level_hypervector(std::string_view label, std::uint32_t level, std::uint64_t dim) {
    std::string text(label);
    text += ':';
    text += std::to_string(level);
    return string_hypervector(text, dim);
}

Hypervector diagnostic_role(std::uint64_t dim) { return lcg_bipolar_stream(kDiagnosticRoleSeed, dim); }

Hypervector encode_system_state(std::uint64_t dim, const SystemState& state) {
    struct Field {
        std::string_view label;
        std::string_view role;
        float reading;
    };
    // Counts become the nearest 32-bit float before they are quantised.
    const std::array<Field, 4> fields{{
        {"ram", "ram_role", state.ram_pct},
        {"cpu", "cpu_role", state.cpu_pct},
        {"err", "err_role", static_cast<float>(state.error_count)},
        {"lat", "lat_role", static_cast<float>(state.latency_us)},
    }};
    Hypervector acc = zeroed<float>(dim);
    for (const Field& f : fields) {
        Hypervector bound = level_hypervector(f.label, quantise_level(f.reading), dim);
        multiply_each_in_order(bound, string_hypervector(f.role, dim), bound);
        add_each_in_order(acc, bound, acc);
    }
    return acc;
}

Hypervector bundle_diagnostics(HvView payload, const SystemState& state) {
    const Hypervector role = diagnostic_role(payload.size());
    const Hypervector encoding = encode_system_state(payload.size(), state);
    Hypervector out(payload.size());
    multiply_each_in_order(role, encoding, out);
    add_each_in_order(payload, out, out);
    return out;
}

Hypervector extract_system_state(HvView bundled) { return hdc_bind(diagnostic_role(bundled.size()), bundled); }

}  // namespace tessarin
