// The array result kind: numbers handed to Python as one object exporting the
// buffer protocol, so that numpy (np.asarray), memoryview and any other
// consumer share its memory instead of copying it.
//
// An engine or core function returns an owned std::vector (float32, int64 or
// int8 elements) with its shape; `to_python(ArrayResult<T>&&)` moves the
// vector into a new instance of the array type without copying the elements.
// The instance has a fixed shape and owns its memory for its whole life:
// nothing can resize or free it, so no view exported from it can be left
// pointing at memory that moved. The elements are writable through a view.
//
// The type is made once per process, by the module that hands arrays out
// (`make_array_type`), and is not instantiable from Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "core/batch.hpp"
#include "python/ref.hpp"

namespace tessarin::py {

// One or two dimensions, row-major and C-contiguous.
template <class T>
struct ArrayResult {
    std::vector<T> values;
    std::uint64_t rows = 0;  // the single dimension when !matrix
    std::uint64_t cols = 0;
    bool matrix = false;
};

// A (count, dim) array of a table's rows; a one-dimensional array of a vector.
template <class T>
ArrayResult<T> as_array(Table<T>&& t) {
    return ArrayResult<T>{std::move(t.values), t.count, t.dim, true};
}
template <class T>
ArrayResult<T> as_array(std::vector<T>&& v) {
    const auto n = static_cast<std::uint64_t>(v.size());
    return ArrayResult<T>{std::move(v), n, 0, false};
}

// Makes the array type under `qualified_name` ("package.Name") on the first
// call, and returns it (borrowed) on every call; null with an error set when
// making it failed.
PyObject* make_array_type(const char* qualified_name);

// The module function that unpickles an array; the module that makes the
// type adds it as `_rebuild_array` and registers the function object it made,
// which every pickled array names.
extern PyMethodDef array_rebuild_def;
void set_array_rebuild(PyObject* function);

// Whether `o` is an instance of the array type, which only a module that made
// the type can have handed out (false in every other module).
bool is_array(PyObject* o);

Ref to_python(ArrayResult<float>&& a);
Ref to_python(ArrayResult<std::int64_t>&& a);
Ref to_python(ArrayResult<std::int8_t>&& a);
// A table is a two-dimensional array, a TopK the tuple (scores, indices).
inline Ref to_python(FloatTable&& t) { return to_python(as_array(std::move(t))); }
Ref to_python(TopK&& best);

}  // namespace tessarin::py
