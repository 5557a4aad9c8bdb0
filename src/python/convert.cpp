#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace tessarin::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// The standard type-mismatch message: "'<type>' object cannot be converted to '<expected>'".
[[noreturn]] void type_mismatch(PyObject* o, const char* expected) {
    Ref name = Ref::steal(check(PyType_GetName(Py_TYPE(o))));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
    throw ErrorAlreadySet{};
}

// Calls `each(item)` for every item the iterator protocol yields, in order.
template <class Each>
void for_each_item(PyObject* o, Each&& each) {
    Ref iterator = Ref::steal(check(PyObject_GetIter(o)));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

// A capacity to reserve from the object's own length, without trusting a huge
// or failing __len__: the vector still grows as items really arrive.
std::size_t reserve_hint(PyObject* o) {
    constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n < kMaxHint ? n : kMaxHint);
}

// The integer value of `o` as an int object: an exact int is its own index,
// anything else goes through __index__.
Ref index_of(PyObject* o) { return PyLong_CheckExact(o) ? Ref::borrow(o) : Ref::steal(check(PyNumber_Index(o))); }

// The integer value of `o` as a signed 64-bit number; `overflow` is +1 or -1
// (and the number meaningless) when it lies beyond that range.
struct Int64 {
    long long value = 0;
    int overflow = 0;
};

Int64 read_int64(PyObject* o) {
    Ref index = index_of(o);
    Int64 out;
    out.value = PyLong_AsLongLongAndOverflow(index.get(), &out.overflow);
    if (out.value == -1 && out.overflow == 0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return out;
}

// The signed integer kinds are all narrower than 64 bits, so an int too large
// for 64 bits is out of their range like any other and says so in the same words.
std::int64_t to_int64(PyObject* o) {
    const Int64 v = read_int64(o);
    if (v.overflow != 0) raise(PyExc_OverflowError, kOutOfRange);
    return v.value;
}

// Calls `each(item)` for every item of a sequence, in order. Exact lists and
// tuples are read by index, which yields exactly what their iterators would:
// the list's length is re-read at every step, as its iterator does, in case an
// item's conversion changes the list.
// A huge sequence can be interrupted while it is read: the call then ends
// before its engine runs.
template <class Each>
void for_each_sequence_item(PyObject* o, Each&& each_item, Py_ssize_t start = 0) {
    CancelPoll& poll = conversion_poll();
    auto each = [&](PyObject* item) {
        poll.tick(kUnitsPerPythonItem);
        each_item(item);
    };
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = start; i < PyList_Size(o); ++i) {
            // Hold the item: converting it may run code that removes it from the list.
            Ref item = Ref::borrow(PyList_GetItem(o, i));
            each(item.get());
        }
    } else if (PyTuple_CheckExact(o)) {
        const Py_ssize_t n = PyTuple_Size(o);
        for (Py_ssize_t i = 0; i < n; ++i) each(PyTuple_GetItem(o, i));
    } else {
        for_each_item(o, each);
    }
}

template <class Item, class Convert>
std::vector<Item> convert_sequence(PyObject* o, Convert&& convert) {
    require_sequence(o);
    std::vector<Item> out;
    out.reserve(reserve_hint(o));
    for_each_sequence_item(o, [&](PyObject* item) { out.push_back(convert(item)); });
    return out;
}

// Float arrays that expose a one-dimensional buffer of native floats or
// doubles (array.array, memoryview, numpy arrays) are read straight from
// memory. Each element goes through the same narrowing as an iterated item,
// so the result is identical; anything else takes the general path.
// True when iterating `o` is the native iteration of memoryview, array.array
// or numpy.ndarray (the types themselves or subclasses that keep their
// __iter__), which yields exactly the buffer's elements. A subclass that
// overrides __iter__ must be iterated.
bool iterates_its_buffer(PyObject* o) {
    void* const iter = PyType_GetSlot(Py_TYPE(o), Py_tp_iter);
    if (iter == nullptr) return false;
    if (iter == PyType_GetSlot(&PyMemoryView_Type, Py_tp_iter)) return true;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    constexpr std::array<std::pair<const char*, const char*>, 2> kArrayTypes{
        {{"array", "array"}, {"numpy", "ndarray"}}};
    for (const auto& [module_name, type_name] : kArrayTypes) {
        // Only modules the caller has already imported can have made `o`.
        PyObject* module = PyDict_GetItemString(modules, module_name);  // borrowed
        if (module == nullptr) continue;
        Ref type = Ref::steal(PyObject_GetAttrString(module, type_name));
        if (!type) {
            PyErr_Clear();
            continue;
        }
        if (PyType_Check(type.get()) &&
            iter == PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type.get()), Py_tp_iter)) {
            return true;
        }
    }
    return false;
}

bool read_float_buffer(PyObject* o, std::vector<float>& out) {
    if (!PyObject_CheckBuffer(o) || !iterates_its_buffer(o)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_ND | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const std::string_view format = view.format != nullptr ? view.format : "B";
    const bool is_float = format == "f" || format == "@f" || format == "=f";
    const bool is_double = format == "d" || format == "@d" || format == "=d";
    if (view.ndim != 1 || !(is_float || is_double) || view.itemsize != (is_float ? 4 : 8)) return false;
    const auto n = static_cast<std::size_t>(view.len / view.itemsize);
    out.resize(n);
    if (is_float) {
        std::memcpy(out.data(), view.buf, n * sizeof(float));
    } else {
        const auto* src = static_cast<const double*>(view.buf);
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(src[i]);
    }
    return true;
}

}  // namespace

CancelPoll& conversion_poll() noexcept {
    // Constant-initialised, so reaching it needs no guard.
    thread_local constinit CancelPoll poll;
    return poll;
}

void require_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) type_mismatch(o, "Sequence");
}

std::vector<float> Arg<std::vector<float>>::convert(PyObject* o) {
    require_sequence(o);
    std::vector<float> out;
    if (read_float_buffer(o, out)) return out;
    Py_ssize_t done = 0;
    if (PyList_CheckExact(o)) {
        // Reading an exact float runs no Python code, so while the items are
        // exact floats the list cannot change and needs neither a re-read
        // length nor a held reference per item. Only the interruption poll
        // between blocks can run Python code (a signal handler), so the length
        // is read again after each one.
        Py_ssize_t n = PyList_Size(o);
        out.reserve(static_cast<std::size_t>(n));
        CancelPoll& poll = conversion_poll();
        constexpr auto kBlock = static_cast<Py_ssize_t>(kCancelBlockItems);
        while (done < n) {
            const Py_ssize_t stop = done + std::min(n - done, kBlock);
            for (PyObject* item = nullptr; done < stop && PyFloat_CheckExact(item = PyList_GetItem(o, done));
                 ++done) {
                out.push_back(static_cast<float>(PyFloat_AsDouble(item)));
            }
            if (done < stop) break;  // an item that is not an exact float
            poll.tick(static_cast<std::uint64_t>(kBlock) * kUnitsPerPythonItem);
            n = PyList_Size(o);
        }
        if (done == n) return out;
    } else {
        out.reserve(reserve_hint(o));
    }
    for_each_sequence_item(o, [&](PyObject* item) { out.push_back(Arg<float>::convert(item)); }, done);
    return out;
}

std::vector<std::int8_t> Arg<std::vector<std::int8_t>>::convert(PyObject* o) {
    return convert_sequence<std::int8_t>(o, [](PyObject* item) {
        const std::int64_t v = to_int64(item);
        if (v < std::numeric_limits<std::int8_t>::min() || v > std::numeric_limits<std::int8_t>::max()) {
            raise(PyExc_OverflowError, kOutOfRange);
        }
        return static_cast<std::int8_t>(v);
    });
}

std::vector<std::string> Arg<std::vector<std::string>>::convert(PyObject* o) {
    return convert_sequence<std::string>(o, [](PyObject* item) { return Arg<std::string>::convert(item); });
}

std::vector<std::vector<float>> Arg<std::vector<std::vector<float>>>::convert(PyObject* o) {
    return convert_sequence<std::vector<float>>(o,
                                                [](PyObject* item) { return Arg<std::vector<float>>::convert(item); });
}

std::array<float, 3> Arg<std::array<float, 3>>::convert(PyObject* o) {
    if (!PySequence_Check(o)) type_mismatch(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw ErrorAlreadySet{};
    if (n != 3) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 3 (got %zd)", n);
        throw ErrorAlreadySet{};
    }
    std::array<float, 3> out{};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = Ref::steal(check(PySequence_GetItem(o, i)));
        out[static_cast<std::size_t>(i)] = Arg<float>::convert(item.get());
    }
    return out;
}

std::uint64_t Arg<std::uint64_t>::convert(PyObject* o) {
    Ref value = index_of(o);
    const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

std::uint32_t Arg<std::uint32_t>::convert(PyObject* o) {
    // Every value above the range, however large, is refused in the same words;
    // a negative one gets the interpreter's own unsigned-conversion error.
    const Int64 v = read_int64(o);
    constexpr auto kMax = static_cast<long long>(std::numeric_limits<std::uint32_t>::max());
    if (v.overflow > 0 || (v.overflow == 0 && v.value > kMax)) {
        raise(PyExc_OverflowError, kOutOfRange);
    }
    if (v.overflow < 0 || v.value < 0) raise(PyExc_OverflowError, "can't convert negative int to unsigned");
    return static_cast<std::uint32_t>(v.value);
}

std::int32_t Arg<std::int32_t>::convert(PyObject* o) {
    const std::int64_t v = to_int64(o);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
        raise(PyExc_OverflowError, kOutOfRange);
    }
    return static_cast<std::int32_t>(v);
}

double Arg<double>::convert(PyObject* o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return v;
}

std::string Arg<std::string>::convert(PyObject* o) {
    if (!PyUnicode_Check(o)) type_mismatch(o, "PyString");
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(o, &size);
    if (bytes == nullptr) throw ErrorAlreadySet{};
    return std::string(bytes, static_cast<std::size_t>(size));
}

Ref to_python(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

Ref to_python(double v) { return Ref::steal(check(PyFloat_FromDouble(v))); }

Ref to_python(std::uint64_t v) { return Ref::steal(check(PyLong_FromUnsignedLongLong(v))); }

Ref to_python(std::int64_t v) { return Ref::steal(check(PyLong_FromLongLong(v))); }

Ref to_python(std::string_view v) {
    return Ref::steal(check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()))));
}

Ref to_python(std::span<const float> v) {
    // Most vectors are bipolar or sparse: the components +1, -1 and +0 share
    // one float object each per result instead of one allocation per
    // component. Floats are immutable, so sharing is invisible to callers.
    constexpr std::array<float, 3> kShared{1.0f, -1.0f, 0.0f};
    std::array<Ref, kShared.size()> shared;
    return make_list(v.size(), [&](std::size_t i) {
        const float x = v[i];
        for (std::size_t k = 0; k < kShared.size(); ++k) {
            if (std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(kShared[k])) {
                if (!shared[k]) shared[k] = to_python(static_cast<double>(x));
                return Ref::borrow(shared[k].get());
            }
        }
        return to_python(static_cast<double>(x));
    });
}

}  // namespace tessarin::py
