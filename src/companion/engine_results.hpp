// What the companion's engine classes share: results as arrays, sizes checked
// at construction, and the refusals that replace the specified classes' panics.
//
// A refusal is made before the engine is touched, so a refused call leaves the
// engine exactly as it was; its message names what the caller passed and what
// the engine needed. Refusals are C++ exceptions (InputError: ValueError,
// std::out_of_range: IndexError) and results are C++ values, so that a target
// may run without the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/fault.hpp"
#include "python/array.hpp"

namespace tessarin::py {

[[noreturn]] inline void refuse(const std::string& message) { throw InputError(message); }

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

using FloatArray = ArrayResult<float>;
using SignArray = ArrayResult<std::int8_t>;

inline std::optional<FloatArray> as_array(std::optional<std::vector<float>>&& v) {
    if (!v) return std::nullopt;
    return as_array(std::move(*v));
}

// An array or None.
template <class T>
Ref to_python(std::optional<ArrayResult<T>>&& a) {
    return a ? to_python(std::move(*a)) : Ref::borrow(Py_None);
}

// Rows handed out as one (n, length) array when they share a length ((0, dim)
// when there are none), else as a list of one-dimensional arrays.
struct RowsResult {
    std::vector<std::vector<float>> rows;
    std::uint64_t dim = 0;
};
Ref to_python(RowsResult&& r);

// "<tessarin.Class dim=D size_name=N>".
std::string engine_repr(const char* cls, std::uint64_t dim, const char* size_name, std::uint64_t size);

// The work estimate of a long method (units of about a nanosecond): `Units`
// of the engine's own measure, whatever the call's arguments.
template <auto Units>
struct WorkOf {
    template <class Engine, class... Args>
    std::uint64_t operator()(const Engine& engine, const Args&...) const {
        return Units(engine);
    }
};

}  // namespace tessarin::py
