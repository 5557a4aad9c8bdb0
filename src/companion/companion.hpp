// The companion package's native module, tessarin._native: its functions and
// classes, declared as tables in this directory with the binding toolkit of
// src/python/, which the specified module shares.
#pragma once

#include <Python.h>

#include <span>

#include "python/class.hpp"

namespace tessarin::py {

std::span<const PyMethodDef> companion_functions();

extern const ClassDef item_memory_class;

}  // namespace tessarin::py
