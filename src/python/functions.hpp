#pragma once

#include <Python.h>

#include <span>

namespace tessarin::py {

// The module functions in the order the module adds them.
std::span<const PyMethodDef> module_functions();

}  // namespace tessarin::py
