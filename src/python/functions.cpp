// The module functions, one line each: text signature, target, documentation.
#include "python/functions.hpp"

#include "core/algebra.hpp"
#include "core/diagnostics.hpp"
#include "core/generators.hpp"
#include "core/hebbian.hpp"
#include "python/call.hpp"

namespace tessarin::py {
namespace {

SystemState reading(float ram_pct, float cpu_pct, std::uint32_t error_count, std::uint32_t latency_us) {
    return SystemState{ram_pct, cpu_pct, error_count, latency_us};
}

const PyMethodDef kFunctions[] = {
    function<"rand_bipolar(dim)", &rand_bipolar>(),
    function<"resonance(a, b)", &resonance>(),
    function<"hdc_bind(a, b)", &hdc_bind,
             "Bind: element-wise multiplication (Patent §Definition 2 — multiplicative binding).\n"
             "For bipolar: same→+1, different→-1. Self-inverse: bind(bind(A,B), A) ≈ B.\n"
             "Generalizes correctly to non-bipolar superpositions (World Vector, bundles).">(),
    function<"hdc_bundle(a, b)", &hdc_bundle,
             "Bundle: majority-vote superposition (Patent TESSARIN-2026-001 §Definition 3).\n"
             "⊕({v_i}) = sign(Σ v_i). For two inputs: if equal→that value, if unequal→sign of sum.\n"
             "This preserves signal for arbitrary N items when iterated.">(),
    function<"hdc_unbind(compound, key)", &hdc_unbind,
             "Unbind: inverse of bind. Given compound=bind(A,B) and key=A,\n"
             "returns an approximation of B via bind(key, compound).\n\n"
             "# Arguments\n"
             "* `compound` — the bound hypervector (A ⊗ B)\n"
             "* `key` — the known operand (A) used to unbind\n\n"
             "Note: bind/unbind are self-inverse, so unbind(A⊗B, A) ≈ B\n"
             "only when A and B are sufficiently orthogonal in the HDC space.">(),
    function<"hebbian(weights, pre, post, lr, dim)", &hebbian,
             "Hebbian weight update: W' = W + η · (pre ⊗ post)\n\n"
             "Implements O(D) sparse Hebbian outer-product update.\n"
             "Only diagonal and a subset of off-diagonal elements are updated\n"
             "per step, making it tractable for high-dimensional spaces.\n\n"
             "# Arguments\n"
             "* `weights` — mutable weight matrix flattened as dim×dim\n"
             "* `pre` — pre-synaptic hypervector\n"
             "* `post` — post-synaptic hypervector\n"
             "* `lr` — learning rate (η)\n"
             "* `dim` — hypervector dimension">(),
    function<"hdc_permute(v, n)", +[](HvView v, std::int32_t n) { return hdc_permute(v, n); },
             "Permute a hypervector by right-cyclic rotation.\n\n"
             "# Arguments\n"
             "* `v` — the hypervector to permute\n"
             "* `n` — number of positions to rotate right (modulo dim); negative values rotate left equivalent\n\n"
             "Right-cyclic rotation by n means element at index i moves to (i + n) % dim.\n"
             "Example: [a,b,c,d] rotated right by 1 → [d,a,b,c]">(),
    function<"normalise_bipolar(v)", &normalise_bipolar>(),
    function<"hv_hash(v)", &hv_hash>(),
    function<"hv_hash_string(s, dim)", &string_hypervector>(),
    function<"diagnostic_role(dim)", &diagnostic_role>(),
    function<"encode_system_state(dim, ram_pct, cpu_pct, error_count, latency_us)",
             +[](std::uint64_t dim, float ram_pct, float cpu_pct, std::uint32_t error_count,
                 std::uint32_t latency_us) {
                 return encode_system_state(dim, reading(ram_pct, cpu_pct, error_count, latency_us));
             }>(),
    function<"bundle_diagnostics(payload, ram_pct, cpu_pct, error_count, latency_us)",
             +[](HvView payload, float ram_pct, float cpu_pct, std::uint32_t error_count, std::uint32_t latency_us) {
                 return bundle_diagnostics(payload, reading(ram_pct, cpu_pct, error_count, latency_us));
             }>(),
    function<"extract_system_state(bundled)", &extract_system_state>(),
};

}  // namespace

std::span<const PyMethodDef> module_functions() { return kFunctions; }

}  // namespace tessarin::py
