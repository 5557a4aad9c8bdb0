#include "engines/holo_gen_engine.hpp"

#include "companion/companion.hpp"
#include "companion/engine_results.hpp"

namespace tessarin::py {
namespace {

using E = HoloGenEngine;
using C = ClassBuilder<E, "GenEngine(dim)",
                       "The generation engine of tessarin_hdc.PyHoloGenEngine with int8 arrays out and its length\n"
                       "faults refused as ValueError. No method changes the engine.",
                       Threading::Shared, "tessarin">;

void require_signs(const E& g, const char* method, const char* name, std::size_t got) {
    if (got != g.structural_dimension()) {
        refuse(std::string(method) + ": '" + name + "' has " + std::to_string(got) +
               " components, but this engine needs exactly dim = " + std::to_string(g.structural_dimension()));
    }
}

std::size_t operand_length(const E& g, const CounterfactualOperand& o) {
    const auto* signs = std::get_if<SignVector>(&o);
    return signs != nullptr ? signs->size() : g.structural_dimension();
}

SignArray pixel(const E& g, std::uint32_t x, std::uint32_t y, std::optional<std::uint64_t> frame_id) {
    return as_array(g.generate_pixel_geometry(x, y, frame_id));
}

SignArray material(const E& g, const Vec3& position, const Vec3& normal, std::uint32_t material_id) {
    return as_array(g.generate_material_mapping(position, normal, material_id));
}

SignArray photon(const E& g, const PhotonPosition& position, std::optional<Vec3> direction,
                 std::optional<float> wavelength) {
    const std::uint64_t dim = g.structural_dimension();
    // Nothing changes, so the engine's own refusals of the position keep
    // their order and the band fault is named afterwards.
    try {
        return as_array(g.generate_photon(position, direction, wavelength));
    } catch (const Fault&) {
        refuse("generate_photon: the wavelength code needs dim 0 or at least " + std::to_string(kWavelengthBands) +
               " (one band per 32nd of the vector); this engine has dim " + std::to_string(dim));
    }
}

SignArray bvh(const E& g, const Vec3& min_bounds, const Vec3& max_bounds, SignView left, SignView right) {
    require_signs(g, "encode_bvh_node", "left", left.size());
    require_signs(g, "encode_bvh_node", "right", right.size());
    return as_array(g.encode_bvh_node(min_bounds, max_bounds, left, right));
}

SignArray counterfactual(const E& g, const CounterfactualOperand& root_state,
                         const CounterfactualOperand& intervention) {
    const std::size_t a = operand_length(g, root_state);
    const std::size_t b = operand_length(g, intervention);
    if (a != b) {
        refuse("simulate_counterfactual: 'root_state' has " + std::to_string(a) + " components and 'intervention' " +
               std::to_string(b) + "; they must be equally long (a text operand has dim = " +
               std::to_string(g.structural_dimension()) + ")");
    }
    return as_array(g.simulate_counterfactual(root_state, intervention));
}

}  // namespace

const ClassDef gen_engine_class = C::define(
    C::constructor<&sized_engine<E>>(),
    C::method<"structural_dimension($self)", &E::structural_dimension>(),
    C::method<"generate_pixel_geometry($self, x, y, frame_id=None)", &pixel>(),
    C::method<"generate_material_mapping($self, position, normal, material_id)", &material>(),
    C::method<"generate_photon($self, position, direction=None, wavelength=None)", &photon>(),
    C::method<"encode_bvh_node($self, min_bounds, max_bounds, left, right)", &bvh>(),
    C::method<"simulate_counterfactual($self, root_state, intervention)", &counterfactual>(),
    C::repr<+[](const E& e) {
        return "<tessarin.GenEngine dim=" + std::to_string(e.structural_dimension()) + ">";
    }>(),
    C::snapshots<&E::snapshot_to, &E::from_snapshot>());

}  // namespace tessarin::py
