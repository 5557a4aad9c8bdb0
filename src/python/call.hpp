// From a Python call to an engine call and back.
//
// `bind_arguments` places positional and keyword arguments into parameter
// slots with the interpreter's usual TypeErrors; `convert_arguments` turns the
// slots into the C++ values the target's parameter types ask for, strictly in
// parameter order, stopping at the first failure; `invoke_and_convert` calls
// the target and converts what it returns. Module functions and class methods
// share all three; they differ only in what comes before (thread and borrow
// checks, in class.hpp).
#pragma once

#include <Python.h>

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/signature.hpp"

namespace tessarin::py {

// A keyword argument: its name (a str) and value, both borrowed.
struct Keyword {
    PyObject* name;
    PyObject* value;
};

// Fills `slots` (one per parameter, null when absent) or raises the standard
// TypeError for too many positional arguments, an unknown keyword, a value
// given twice or a missing required argument. `qualname` names the callable in
// those messages.
void bind_arguments(std::string_view qualname, std::span<const Parameter> params,
                    std::span<PyObject* const> positional, std::span<const Keyword> keywords,
                    std::span<PyObject*> slots);

// The same for the vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
void bind_fastcall(std::string_view qualname, std::span<const Parameter> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The same for the tuple-and-dict convention (tp_new).
void bind_tuple_dict(std::string_view qualname, std::span<const Parameter> params, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> slots);

// ---- callable introspection ------------------------------------------------------

template <class... P>
struct TypeList {
    static constexpr std::size_t size = sizeof...(P);
};

template <class F>
struct Callable;

template <class R, class... P>
struct Callable<R (*)(P...)> {
    using Result = R;
    using Params = TypeList<P...>;
};

template <class R, class... P>
struct Callable<R (*)(P...) noexcept> : Callable<R (*)(P...)> {};

// ---- conversion and invocation ------------------------------------------------------

// An argument kind may opt out of the "argument '<name>': " prefix (for
// conversions whose TypeErrors are documented to pass through unchanged) by
// declaring `static constexpr bool kPrefixTypeErrors = false;`.
template <class S>
constexpr bool prefixes_type_errors() {
    if constexpr (requires { Arg<S>::kPrefixTypeErrors; }) {
        return Arg<S>::kPrefixTypeErrors;
    } else {
        return true;
    }
}

// A kind whose ValueErrors are about the argument as a whole (a shape, a
// sign) declares `static constexpr bool kPrefixValueErrors = true;` to have
// them prefixed in the same way.
template <class S>
struct WithoutOptional {
    using type = S;
};
template <class T>
struct WithoutOptional<std::optional<T>> {
    using type = T;
};

template <class S>
constexpr bool prefixes_value_errors() {
    using Kind = typename WithoutOptional<S>::type;
    if constexpr (requires { Arg<Kind>::kPrefixValueErrors; }) {
        return Arg<Kind>::kPrefixValueErrors;
    } else {
        return false;
    }
}

template <class P>
Storage<P> convert_one(PyObject* slot, const Parameter& param) {
    try {
        if (slot == nullptr) {
            if constexpr (requires { Arg<Storage<P>>::convert(nullptr); }) {
                return Arg<Storage<P>>::convert(nullptr);
            }
        }
        return Arg<Storage<P>>::convert(slot);
    } catch (const ErrorAlreadySet&) {
        if constexpr (prefixes_type_errors<Storage<P>>()) {
            // The data() of a name inside a text signature is not NUL-terminated.
            const std::string name(param.name);
            prefix_type_error(name.c_str());
        }
        if constexpr (prefixes_value_errors<Storage<P>>()) {
            const std::string name(param.name);
            prefix_value_error(name.c_str());
        }
        throw;
    }
}

// An argument kind may ask to be converted after every other argument of the
// call by declaring `static constexpr bool kConvertedLast = true;` (for an
// argument whose form decides how the others are used, while the others are
// to be checked whichever form it takes).
template <class S>
constexpr bool converted_last() {
    if constexpr (requires { Arg<S>::kConvertedLast; }) {
        return Arg<S>::kConvertedLast;
    } else {
        return false;
    }
}

// Converts every slot into its parameter's storage, left to right (brace
// initialisation fixes the evaluation order); kinds converted last follow in a
// second pass, again left to right.
template <class... P, std::size_t N, std::size_t... I>
std::tuple<Storage<P>...> convert_arguments_impl(TypeList<P...>, [[maybe_unused]] const std::array<PyObject*, N>& slots,
                                                 [[maybe_unused]] std::span<const Parameter> params,
                                                 std::index_sequence<I...>) {
    if constexpr (!(converted_last<Storage<P>>() || ...)) {
        return std::tuple<Storage<P>...>{convert_one<P>(slots[I], params[I])...};
    } else {
        std::tuple<std::optional<Storage<P>>...> early{
            converted_last<Storage<P>>() ? std::nullopt
                                         : std::optional<Storage<P>>(convert_one<P>(slots[I], params[I]))...};
        ((converted_last<Storage<P>>() ? (void)std::get<I>(early).emplace(convert_one<P>(slots[I], params[I]))
                                       : (void)0),
         ...);
        return std::tuple<Storage<P>...>{std::move(*std::get<I>(early))...};
    }
}

template <class List, std::size_t N>
auto convert_arguments(const std::array<PyObject*, N>& slots, std::span<const Parameter> params) {
    return convert_arguments_impl(List{}, slots, params, std::make_index_sequence<N>{});
}

// Calls f(prefix..., converted...) and converts the result (None for void).
template <class F, class Tuple, class... Prefix>
Ref invoke_and_convert(F&& f, Tuple&& converted, Prefix&&... prefix) {
    auto call = [&]() -> decltype(auto) {
        return std::apply(
            [&](auto&&... args) -> decltype(auto) {
                return std::invoke(std::forward<F>(f), std::forward<Prefix>(prefix)..., std::move(args)...);
            },
            std::forward<Tuple>(converted));
    };
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        call();
        return Ref::borrow(Py_None);
    } else {
        return to_python(call());
    }
}

// ---- module functions ------------------------------------------------------------

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The PyMethodDef's function type is a union in spirit; the interpreter calls
// it with the signature its flags announce.
inline PyCFunction as_cfunction(FastcallFunction f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <FixedString Sig, auto F>
PyObject* function_trampoline(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        static constexpr auto sig = parse_signature<Sig>();
        using Target = Callable<decltype(F)>;
        static_assert(Target::Params::size == sig.params.size(),
                      "the text signature and the function disagree on the number of parameters");
        std::array<PyObject*, sig.params.size()> slots{};
        bind_fastcall(sig.name, sig.params, args, nargs, kwnames, slots);
        auto converted = convert_arguments<typename Target::Params>(slots, sig.params);
        return invoke_and_convert(F, std::move(converted)).release();
    });
}

// One module function: its text signature, its target (a plain function or a
// captureless lambda turned into a function pointer with unary +), and the
// documentation text after the signature.
template <FixedString Sig, auto F, FixedString Doc = "">
PyMethodDef function() {
    return PyMethodDef{NameOf<Sig>::c_str(), as_cfunction(&function_trampoline<Sig, F>),
                       METH_FASTCALL | METH_KEYWORDS, Docstring<Sig, Doc>::c_str()};
}

}  // namespace tessarin::py
