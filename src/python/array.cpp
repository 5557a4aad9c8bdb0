#include "python/array.hpp"

#include <array>
#include <cstring>
#include <string>
#include <variant>

#include "python/convert.hpp"
#include "python/errors.hpp"

namespace tessarin::py {
namespace {

using Elements = std::variant<std::vector<float>, std::vector<std::int64_t>, std::vector<std::int8_t>>;

// Everything C++ about one array, behind one pointer so that the Python
// object itself stays a plain C layout.
struct ArrayData {
    Elements elements;
    int ndim = 1;
    std::array<Py_ssize_t, 2> shape{};
    std::array<Py_ssize_t, 2> strides{};
    Py_ssize_t itemsize = 0;
    Py_ssize_t exports = 0;  // views alive (the object cannot go while one is)
};

struct ArrayObject {
    PyObject_HEAD
    ArrayData* data;
};

ArrayData& data_of(PyObject* self) { return *reinterpret_cast<ArrayObject*>(self)->data; }

// The buffer format code and the numpy name of each element type.
template <class T>
struct ElementNames;
template <>
struct ElementNames<float> {
    static constexpr const char* format = "f";
    static constexpr const char* dtype = "float32";
};
template <>
struct ElementNames<std::int64_t> {
    static constexpr const char* format = "q";
    static constexpr const char* dtype = "int64";
};
template <>
struct ElementNames<std::int8_t> {
    static constexpr const char* format = "b";
    static constexpr const char* dtype = "int8";
};

template <class Vector>
using NamesOf = ElementNames<typename std::decay_t<Vector>::value_type>;

PyObject* g_array_type = nullptr;

template <class T>
Ref make_array(ArrayResult<T>&& a);

// A consumer may ask for any combination of the buffer request flags: the
// memory is always writable and C-contiguous, so every request can be met,
// each with only the fields it asked for, ...
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    ArrayData& d = data_of(self);
    // Except Fortran order, which a matrix of several rows and columns is not.
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && d.ndim == 2 && d.shape[0] > 1 && d.shape[1] > 1) {
        PyErr_SetString(PyExc_BufferError, "the array is C-contiguous, not Fortran-contiguous");
        view->obj = nullptr;
        return -1;
    }
    // An empty array still hands out a valid address.
    static char empty = 0;
    void* buf = std::visit([](auto& v) -> void* { return v.data(); }, d.elements);
    const auto count = std::visit([](auto& v) { return static_cast<Py_ssize_t>(v.size()); }, d.elements);
    view->buf = buf != nullptr ? buf : &empty;
    view->obj = Py_NewRef(self);
    view->len = count * d.itemsize;
    view->readonly = 0;
    view->itemsize = d.itemsize;
    view->format = (flags & PyBUF_FORMAT) != 0
                       ? const_cast<char*>(std::visit([](auto& v) { return NamesOf<decltype(v)>::format; }, d.elements))
                       : nullptr;
    view->ndim = d.ndim;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? d.shape.data() : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? d.strides.data() : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    ++d.exports;
    return 0;
}

void release_buffer(PyObject* self, Py_buffer* /*view*/) { --data_of(self).exports; }

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ArrayObject*>(self)->data;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

Py_ssize_t length(PyObject* self) { return data_of(self).shape[0]; }

Ref shape_tuple(const ArrayData& d) {
    if (d.ndim == 1) return make_tuple(to_python(static_cast<std::int64_t>(d.shape[0])));
    return make_tuple(to_python(static_cast<std::int64_t>(d.shape[0])),
                      to_python(static_cast<std::int64_t>(d.shape[1])));
}

PyObject* get_shape(PyObject* self, void*) {
    return guarded([&] { return shape_tuple(data_of(self)).release(); });
}

PyObject* get_format(PyObject* self, void*) {
    return guarded([&] {
        return to_python(std::visit([](auto& v) { return NamesOf<decltype(v)>::format; }, data_of(self).elements))
            .release();
    });
}

template <class T>
Ref element(T x) {
    if constexpr (std::is_same_v<T, float>) {
        return to_python(static_cast<double>(x));
    } else {
        return to_python(static_cast<std::int64_t>(x));
    }
}

PyObject* tolist(PyObject* self, PyObject* /*unused*/) {
    return guarded([&] {
        const ArrayData& d = data_of(self);
        return std::visit(
                   [&](const auto& v) {
                       if (d.ndim == 1) return make_list(v.size(), [&](std::size_t i) { return element(v[i]); });
                       const auto cols = static_cast<std::size_t>(d.shape[1]);
                       return make_list(static_cast<std::size_t>(d.shape[0]), [&](std::size_t r) {
                           return make_list(cols, [&](std::size_t c) { return element(v[r * cols + c]); });
                       });
                   },
                   d.elements)
            .release();
    });
}

PyObject* repr(PyObject* self) {
    return guarded([&] {
        const ArrayData& d = data_of(self);
        Ref name = Ref::steal(check(PyType_GetName(Py_TYPE(self))));
        Ref shape = Ref::steal(check(PyObject_Repr(shape_tuple(d).get())));
        const char* dtype = std::visit([](auto& v) { return NamesOf<decltype(v)>::dtype; }, d.elements);
        return check(PyUnicode_FromFormat("<%U %s %U>", name.get(), dtype, shape.get()));
    });
}

// The function that rebuilds a pickled array (the module's `_rebuild_array`),
// which pickle finds again by its module and name.
PyObject* g_rebuild = nullptr;

// Pickled as (format, shape, elements): the elements as bytes, or under
// protocol 5 as a PickleBuffer over this array's own memory, which a
// pickler may pass out of band instead of copying into the stream.
PyObject* reduce_ex(PyObject* self, PyObject* protocol_arg) {
    return guarded([&] {
        if (g_rebuild == nullptr) raise(PyExc_RuntimeError, "the array type has not been made");
        const long protocol = PyLong_AsLong(protocol_arg);
        if (protocol == -1 && PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
        const ArrayData& d = data_of(self);
        Ref elements;
        if (protocol >= 5) {
            Ref pickle = Ref::steal(check(PyImport_ImportModule("pickle")));
            Ref buffer_type = Ref::steal(check(PyObject_GetAttrString(pickle.get(), "PickleBuffer")));
            elements = Ref::steal(check(PyObject_CallFunctionObjArgs(buffer_type.get(), self, nullptr)));
        } else {
            std::visit(
                [&](const auto& v) {
                    elements = Ref::steal(check(PyBytes_FromStringAndSize(
                        reinterpret_cast<const char*>(v.data()), static_cast<Py_ssize_t>(v.size() * sizeof(v[0])))));
                },
                d.elements);
        }
        Ref format = Ref::steal(check(get_format(self, nullptr)));
        Ref arguments = make_tuple(std::move(format), shape_tuple(d), std::move(elements));
        return make_tuple(Ref::borrow(g_rebuild), std::move(arguments)).release();
    });
}

template <class T>
Ref rebuilt(const Py_buffer& view, const std::array<std::uint64_t, 2>& shape, bool matrix) {
    const std::uint64_t count = matrix ? shape[0] * shape[1] : shape[0];
    if (matrix && shape[1] != 0 && count / shape[1] != shape[0]) raise(PyExc_ValueError, "array shape too large");
    if (static_cast<std::uint64_t>(view.len) / sizeof(T) != count || static_cast<std::uint64_t>(view.len) % sizeof(T) != 0) {
        raise(PyExc_ValueError, "array elements do not fill its shape");
    }
    ArrayResult<T> a;
    a.values.resize(static_cast<std::size_t>(count));
    if (count != 0) std::memcpy(a.values.data(), view.buf, static_cast<std::size_t>(view.len));
    a.rows = shape[0];
    a.cols = matrix ? shape[1] : 0;
    a.matrix = matrix;
    return make_array(std::move(a));
}

PyObject* rebuild(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&] {
        if (nargs != 3) raise(PyExc_TypeError, "_rebuild_array takes (format, shape, elements)");
        const std::string format = Arg<std::string>::convert(args[0]);
        if (!PyTuple_Check(args[1]) || PyTuple_Size(args[1]) < 1 || PyTuple_Size(args[1]) > 2) {
            raise(PyExc_ValueError, "array shape must be a tuple of one or two ints");
        }
        const bool matrix = PyTuple_Size(args[1]) == 2;
        std::array<std::uint64_t, 2> shape{};
        for (Py_ssize_t i = 0; i < PyTuple_Size(args[1]); ++i) {
            shape[static_cast<std::size_t>(i)] = Arg<std::uint64_t>::convert(PyTuple_GetItem(args[1], i));
        }
        Py_buffer view;
        if (PyObject_GetBuffer(args[2], &view, PyBUF_SIMPLE) < 0) throw ErrorAlreadySet{};
        struct Release {
            Py_buffer* v;
            ~Release() { PyBuffer_Release(v); }
        } release{&view};
        if (format == "f") return rebuilt<float>(view, shape, matrix).release();
        if (format == "q") return rebuilt<std::int64_t>(view, shape, matrix).release();
        if (format == "b") return rebuilt<std::int8_t>(view, shape, matrix).release();
        raise(PyExc_ValueError, "array format must be 'f', 'q' or 'b'");
    });
}

PyMethodDef kMethods[] = {
    {"tolist", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tolist)), METH_NOARGS,
     "tolist($self)\n--\n\nThe elements as (nested) lists of Python floats or ints."},
    {"__reduce_ex__", &reduce_ex, METH_O,
     "__reduce_ex__($self, protocol)\n--\n\nPickles the array (its elements out of band under protocol 5)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"shape", &get_shape, nullptr, "The dimensions, as a tuple of one or two ints.", nullptr},
    {"format", &get_format, nullptr, "The element's buffer format code: 'f' (float32), 'q' (int64) or 'b' (int8).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class T>
Ref make_array(ArrayResult<T>&& a) {
    if (g_array_type == nullptr) raise(PyExc_RuntimeError, "the array type has not been made");
    auto data = std::make_unique<ArrayData>();
    data->itemsize = static_cast<Py_ssize_t>(sizeof(T));
    if (a.matrix) {
        data->ndim = 2;
        data->shape = {static_cast<Py_ssize_t>(a.rows), static_cast<Py_ssize_t>(a.cols)};
        data->strides = {static_cast<Py_ssize_t>(a.cols * sizeof(T)), data->itemsize};
    } else {
        data->ndim = 1;
        data->shape = {static_cast<Py_ssize_t>(a.rows), 0};
        data->strides = {data->itemsize, 0};
    }
    data->elements = std::move(a.values);
    auto* type = reinterpret_cast<PyTypeObject*>(g_array_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = check(alloc(type, 0));
    reinterpret_cast<ArrayObject*>(self)->data = data.release();
    return Ref::steal(self);
}

}  // namespace

PyObject* make_array_type(const char* qualified_name) {
    if (g_array_type != nullptr) return g_array_type;
    static const std::string doc =
        std::string(qualified_name) +
        "\n\nAn array of float32, int64 or int8 numbers that shares its memory with numpy and memoryview\n"
        "through the buffer protocol: np.asarray(a) copies nothing. One or two dimensions, C-contiguous\n"
        "and writable; the shape never changes. Results of the package's functions and methods.";
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},                // what the type is
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},         // frees the elements
        {Py_tp_repr, reinterpret_cast<void*>(&repr)},               // "<tessarin.Array float32 (2, 3)>"
        {Py_tp_methods, kMethods},                                  // tolist
        {Py_tp_getset, kGetSet},                                    // shape, format
        {Py_mp_length, reinterpret_cast<void*>(&length)},           // len(): the first dimension
        {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},    // shares the elements
        {Py_bf_releasebuffer, reinterpret_cast<void*>(&release_buffer)},  // counts views returned
        {0, nullptr},
    };
    PyType_Spec spec{};
    spec.name = qualified_name;
    spec.basicsize = static_cast<int>(sizeof(ArrayObject));
    // Made only by the package: not instantiable, not subclassable.
    spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    spec.slots = slots;
    g_array_type = PyType_FromSpec(&spec);
    return g_array_type;
}

PyMethodDef array_rebuild_def = {
    "_rebuild_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rebuild)), METH_FASTCALL,
    "_rebuild_array(format, shape, elements)\n--\n\nAn array from its pickled parts."};

void set_array_rebuild(PyObject* function) {
    Py_XDECREF(g_rebuild);
    g_rebuild = Py_NewRef(function);
}

bool is_array(PyObject* o) { return g_array_type != nullptr && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(g_array_type); }

Ref to_python(ArrayResult<float>&& a) { return make_array(std::move(a)); }
Ref to_python(ArrayResult<std::int64_t>&& a) { return make_array(std::move(a)); }
Ref to_python(ArrayResult<std::int8_t>&& a) { return make_array(std::move(a)); }

Ref to_python(TopK&& best) {
    return make_tuple(to_python(as_array(std::move(best.scores))), to_python(as_array(std::move(best.indices))));
}

}  // namespace tessarin::py
