#include "engines/holo_gen_engine.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<HoloGenEngine, "PyHoloGenEngine(dim)">;

}  // namespace

const ClassDef holo_gen_engine_class = C::define(
    C::init<std::uint64_t>(),
    C::method<"structural_dimension($self)", &HoloGenEngine::structural_dimension>(),
    C::method<"generate_pixel_geometry($self, x, y, frame_id=None)", &HoloGenEngine::generate_pixel_geometry>(),
    C::method<"generate_material_mapping($self, position, normal, material_id)",
              &HoloGenEngine::generate_material_mapping>(),
    C::method<"generate_photon($self, position, direction=None, wavelength=None)",
              &HoloGenEngine::generate_photon>(),
    C::method<"encode_bvh_node($self, min_bounds, max_bounds, left, right)", &HoloGenEngine::encode_bvh_node>(),
    C::method<"simulate_counterfactual($self, root_state, intervention)",
              &HoloGenEngine::simulate_counterfactual>());

}  // namespace tessarin::py
