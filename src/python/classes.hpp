// One accessor per Python class, each defined in its own py_<engine>.cpp.
#pragma once

#include "python/class.hpp"

namespace tessarin::py {

}  // namespace tessarin::py
