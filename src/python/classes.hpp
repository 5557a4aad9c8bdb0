// One accessor per Python class, each defined in its own py_<engine>.cpp.
#pragma once

#include "python/class.hpp"

namespace tessarin::py {

const ClassDef& optimizer_class();
const ClassDef& holo_gen_engine_class();
const ClassDef& holo_swarm_class();

}  // namespace tessarin::py
