#include "engines/metacognition.hpp"
#include "python/classes.hpp"

namespace tessarin::py {
namespace {

using C = ClassBuilder<Metacognition, "PyMetacognition(dim)">;

}  // namespace

const ClassDef metacognition_class = C::define(
    C::init<std::uint64_t>(),
    // The Python method logs the five values one by one; the engine's other
    // overload takes a ready-made record.
    C::method<"record($self, res, coh, acc, context, hash)",
              static_cast<void (Metacognition::*)(float, float, float, Hypervector, std::uint64_t)>(
                  &Metacognition::record)>(),
    C::method<"success_rate($self)", &Metacognition::success_rate>(),
    C::method<"avg_resonance($self)", &Metacognition::avg_resonance>(),
    C::method<"recommend($self)", &Metacognition::recommend>());

}  // namespace tessarin::py
