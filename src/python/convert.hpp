// Argument kinds and result conversion.
//
// An engine member's parameter types decide how each Python argument is
// converted: the binding looks at the C++ type (a span or vector of floats is
// a Hypervector, std::uint64_t a size, std::uint32_t a uint32, std::int32_t an
// int32, double a float scalar, float a float scalar narrowed to 32 bits,
// std::string(_view) a string, std::optional<X> an optional X, a variant one of
// its alternatives by a rule of its own, ...). Storage<P>
// names the owned value a parameter of type P is converted into; Arg<T>::convert
// builds it or throws ErrorAlreadySet with the Python error pending.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/batch.hpp"
#include "core/cancel.hpp"
#include "python/array.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace tessarin::py {

// A result that becomes a dict, keys and values converted in order.
template <class K, class V>
struct Dict {
    std::vector<std::pair<K, V>> items;
};

// The (key, value) pairs of any range as a Dict.
template <class Range>
auto as_dict(const Range& pairs) {
    using Pair = std::remove_cvref_t<decltype(*std::begin(pairs))>;
    Dict<typename Pair::first_type, typename Pair::second_type> out;
    out.items.assign(std::begin(pairs), std::end(pairs));
    return out;
}

// ---- argument kinds ----------------------------------------------------------

template <class T>
struct Arg;

template <>
struct Arg<std::vector<float>> {  // Hypervector
    static std::vector<float> convert(PyObject* o);
};
template <>
struct Arg<std::vector<std::int8_t>> {  // small-integer sequence
    static std::vector<std::int8_t> convert(PyObject* o);
};
template <>
struct Arg<std::array<float, 3>> {  // three-float array
    static std::array<float, 3> convert(PyObject* o);
};
template <>
struct Arg<std::uint64_t> {  // size
    static std::uint64_t convert(PyObject* o);
};
template <>
struct Arg<std::uint32_t> {  // uint32
    static std::uint32_t convert(PyObject* o);
};
template <>
struct Arg<std::int32_t> {  // int32
    static std::int32_t convert(PyObject* o);
};
template <>
struct Arg<double> {  // float scalar
    static double convert(PyObject* o);
};
template <>
struct Arg<float> {  // float scalar, narrowed to 32 bits (round to nearest)
    static float convert(PyObject* o) { return static_cast<float>(Arg<double>::convert(o)); }
};
template <>
struct Arg<std::string> {  // string: UTF-8 bytes of a str
    static std::string convert(PyObject* o);
};
template <>
struct Arg<std::vector<std::string>> {  // sequence of strings
    static std::vector<std::string> convert(PyObject* o);
};
template <>
struct Arg<std::vector<std::vector<float>>> {  // sequence of Hypervectors
    static std::vector<std::vector<float>> convert(PyObject* o);
};
template <>
struct Arg<std::variant<std::vector<std::int8_t>, std::string>> {
    // A small-integer sequence when the object converts as one, otherwise the
    // object's display text (what str() makes of it). Only an ordinary
    // conversion failure selects the text; anything else propagates unchanged,
    // and so never with the argument prefix.
    static constexpr bool kPrefixTypeErrors = false;
    static std::variant<std::vector<std::int8_t>, std::string> convert(PyObject* o);
};
template <>
struct Arg<std::variant<std::string, std::array<float, 3>>> {
    // Any str as its text, anything else as a three-float array whose errors
    // pass through without the argument prefix. Converted after the call's
    // other arguments: which form it takes decides how they are used, but
    // they are checked either way.
    static constexpr bool kPrefixTypeErrors = false;
    static constexpr bool kConvertedLast = true;
    static std::variant<std::string, std::array<float, 3>> convert(PyObject* o);
};
// ---- the companion package's kinds ----------------------------------------------

template <>
struct Arg<std::int64_t> {  // int64
    static std::int64_t convert(PyObject* o);
};
template <>
struct Arg<bool> {  // a bool (True or False, nothing else)
    static bool convert(PyObject* o);
};
// A non-negative int (a count, a size, a seed): a negative one is a
// ValueError naming the argument, one beyond 64 bits an OverflowError.
struct Count {
    std::uint64_t value = 0;
};
template <>
struct Arg<Count> {
    static constexpr bool kPrefixValueErrors = true;
    static Count convert(PyObject* o);
};
// Rows of one length: a two-dimensional numeric buffer (numpy array or
// memoryview) or a sequence of vectors gives its rows, a one-dimensional
// buffer or a sequence of numbers one row. Every row is read exactly as a
// Hypervector argument is. Rows of different lengths, and an empty sequence
// (which has no row length), are ValueErrors naming the argument; a buffer
// of shape (0, n) is zero rows of length n.
template <>
struct Arg<FloatTable> {
    static constexpr bool kPrefixValueErrors = true;
    static FloatTable convert(PyObject* o);
};

// Any object, untouched (a default handed back as it was given); an omitted
// argument is None.
template <>
struct Arg<Ref> {
    static Ref convert(PyObject* o) { return Ref::borrow(o == nullptr ? Py_None : o); }
};

// Indices: a one- or two-dimensional buffer of integers of any integer format,
// size and byte order, read exactly (a one-dimensional buffer is one row).
// Anything else, floats included, is a TypeError naming the argument; a
// value beyond 64 signed bits an OverflowError.
template <>
struct Arg<IndexTable> {
    static IndexTable convert(PyObject* o);
};

template <class T>
struct Arg<std::optional<T>> {  // optional X: None means absent
    static std::optional<T> convert(PyObject* o) {
        if (o == nullptr || o == Py_None) return std::nullopt;
        return Arg<T>::convert(o);
    }
};

// Storage<P>: the owned value a parameter declared as P is converted into.
template <class P>
struct StorageOf {
    using type = std::remove_cvref_t<P>;
};
template <class P>
using Storage = typename StorageOf<std::remove_cvref_t<P>>::type;
template <>
struct StorageOf<std::span<const float>> {
    using type = std::vector<float>;
};
template <>
struct StorageOf<std::span<const std::int8_t>> {
    using type = std::vector<std::int8_t>;
};
template <>
struct StorageOf<std::span<const std::vector<float>>> {
    using type = std::vector<std::vector<float>>;
};
template <>
struct StorageOf<std::string_view> {
    using type = std::string;
};
template <class T>
struct StorageOf<std::optional<T>> {
    using type = std::optional<Storage<T>>;
};

// The shared failure of the sequence kinds: a str is refused outright, then
// anything failing the interpreter's sequence check.
void require_sequence(PyObject* o);

// ---- results -----------------------------------------------------------------

Ref to_python(bool v);
Ref to_python(double v);
inline Ref to_python(float v) { return to_python(static_cast<double>(v)); }
Ref to_python(std::uint64_t v);
Ref to_python(std::int64_t v);
inline Ref to_python(std::uint32_t v) { return to_python(static_cast<std::uint64_t>(v)); }
inline Ref to_python(std::int32_t v) { return to_python(static_cast<std::int64_t>(v)); }
inline Ref to_python(std::int8_t v) { return to_python(static_cast<std::int64_t>(v)); }
Ref to_python(std::string_view v);
inline Ref to_python(const std::string& v) { return to_python(std::string_view(v)); }
inline Ref to_python(const char* v) { return to_python(std::string_view(v)); }
inline Ref to_python(Ref v) { return v; }
Ref to_python(std::span<const float> v);
inline Ref to_python(const std::vector<float>& v) { return to_python(std::span<const float>(v)); }

template <class T>
Ref to_python(const std::optional<T>& v);
template <class T>
Ref to_python(const std::vector<T>& v);
template <class... T>
Ref to_python(const std::tuple<T...>& v);
template <class A, class B>
Ref to_python(const std::pair<A, B>& v);
template <class K, class V>
Ref to_python(const Dict<K, V>& v);

// Cancellation units for making or reading one Python item (an object
// allocated or inspected: tens of nanoseconds).
inline constexpr std::uint64_t kUnitsPerPythonItem = 16;

// The calling thread's poll for conversions. Nested conversions (a list of
// vectors, in or out) count their work on the same poll, so that many short
// items add up to a poll as one long one does.
CancelPoll& conversion_poll() noexcept;

// Lists longer than this are built by appending rather than by filling a list
// made at full length: an interrupted build then frees only the items made so
// far, instead of first reading every empty slot of a huge list.
inline constexpr std::size_t kLongestPrefilledList = std::size_t{1} << 20;

// A new list of `n` items, item i produced by make(i). A huge result can be
// interrupted while it is built; the object it came from is not involved.
template <class Make>
Ref make_list(std::size_t n, Make&& make) {
    CancelPoll& poll = conversion_poll();
    if (n > kLongestPrefilledList) {
        Ref list = Ref::steal(check(PyList_New(0)));
        for (std::size_t i = 0; i < n; ++i) {
            poll.tick(kUnitsPerPythonItem);
            Ref item = make(i);
            if (PyList_Append(list.get(), item.get()) < 0) throw ErrorAlreadySet{};
        }
        return list;
    }
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i) {
        poll.tick(kUnitsPerPythonItem);
        Ref item = make(i);
        // SetItem steals the item, even on failure.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) throw ErrorAlreadySet{};
    }
    return list;
}

template <class... Items>
Ref make_tuple(Items&&... items) {
    Ref tuple = Ref::steal(check(PyTuple_New(sizeof...(Items))));
    Py_ssize_t i = 0;
    auto put = [&](Ref item) {
        if (PyTuple_SetItem(tuple.get(), i++, item.release()) < 0) throw ErrorAlreadySet{};
    };
    (put(std::forward<Items>(items)), ...);
    return tuple;
}

template <class T>
Ref to_python(const std::optional<T>& v) {
    return v ? to_python(*v) : Ref::borrow(Py_None);
}

template <class T>
Ref to_python(const std::vector<T>& v) {
    return make_list(v.size(), [&](std::size_t i) { return to_python(v[i]); });
}

template <class... T>
Ref to_python(const std::tuple<T...>& v) {
    return std::apply([](const auto&... items) { return make_tuple(to_python(items)...); }, v);
}

template <class A, class B>
Ref to_python(const std::pair<A, B>& v) {
    return make_tuple(to_python(v.first), to_python(v.second));
}

template <class K, class V>
Ref to_python(const Dict<K, V>& v) {
    Ref dict = Ref::steal(check(PyDict_New()));
    for (const auto& [key, value] : v.items) {
        Ref k = to_python(key);
        Ref val = to_python(value);
        if (PyDict_SetItem(dict.get(), k.get(), val.get()) < 0) throw ErrorAlreadySet{};
    }
    return dict;
}

}  // namespace tessarin::py
