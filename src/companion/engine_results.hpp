// What the companion's engine classes share: results as arrays, sizes checked
// at construction, and the refusals that replace the specified classes' panics.
//
// A refusal is raised before the engine is touched, so a refused call leaves
// the engine exactly as it was; its message names what the caller passed and
// what the engine needed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "python/array.hpp"
#include "python/errors.hpp"

namespace tessarin::py {

[[noreturn]] inline void refuse(const std::string& message) { raise(PyExc_ValueError, message); }

// A vector argument needs at least `dim` components.
inline void require_components(const char* method, const char* name, std::size_t got, std::uint64_t dim) {
    if (got < dim) {
        refuse(std::string(method) + ": '" + name + "' has " + std::to_string(got) +
               " components, but this engine needs at least dim = " + std::to_string(dim));
    }
}

// Attention-style read-outs need one value per key and at least one key.
inline void require_keys_and_values(const char* method, std::size_t keys, std::size_t values) {
    if (keys == 0 || keys != values) {
        refuse(std::string(method) + ": 'keys' and 'values' must be equally long and not empty; got " +
               std::to_string(keys) + " keys and " + std::to_string(values) + " values");
    }
}

// The engine of `dim` components, or ValueError when no address space could
// hold it (the specified classes' "capacity overflow" panic).
template <class Engine, class... More>
Engine sized_engine(std::uint64_t dim, More... more) {
    try {
        return Engine(dim, more...);
    } catch (const Fault&) {
        refuse("dim " + std::to_string(dim) + " is too large: its vectors could never be held in memory");
    }
}

inline Ref float_array(std::vector<float>&& v) { return to_python(as_array(std::move(v))); }

inline Ref float_array(std::optional<std::vector<float>>&& v) {
    return v ? float_array(std::move(*v)) : Ref::borrow(Py_None);
}

inline Ref sign_array(std::vector<std::int8_t>&& v) { return to_python(as_array(std::move(v))); }

// Rows as one (n, length) array when they share a length ((0, dim) when there
// are none), else a list of one-dimensional arrays.
Ref rows_as_array(std::vector<std::vector<float>>&& rows, std::uint64_t dim);

// "<tessarin.Class dim=D size_name=N>".
std::string engine_repr(const char* cls, std::uint64_t dim, const char* size_name, std::uint64_t size);

}  // namespace tessarin::py
