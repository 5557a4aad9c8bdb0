#include "python/call.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace tessarin::py {
namespace {

// Joins the pieces of a message (built by appending, which also keeps g++ 12's
// -Wrestrict false positive on chained operator+ away).
std::string join(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (const std::string_view piece : pieces) out.append(piece);
    return out;
}

std::string plural(std::size_t n, std::string_view word) {
    return join({std::to_string(n), " ", word, n == 1 ? "" : "s"});
}

[[noreturn]] void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

}  // namespace

void bind_arguments(std::string_view qualname, std::span<const Parameter> params,
                    std::span<PyObject* const> positional, std::span<const Keyword> keywords,
                    std::span<PyObject*> slots) {
    const std::string callee = join({qualname, "()"});
    if (positional.size() > params.size()) {
        const std::string given = std::to_string(positional.size());
        if (params.empty()) raise_type_error(join({callee, " takes no arguments (", given, " given)"}));
        raise_type_error(join({callee, " takes ", plural(params.size(), "positional argument"), " but ", given,
                               positional.size() == 1 ? " was" : " were", " given"}));
    }
    for (std::size_t i = 0; i < positional.size(); ++i) slots[i] = positional[i];

    for (const Keyword& kw : keywords) {
        std::size_t found = params.size();
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(kw.name) ? PyUnicode_AsUTF8AndSize(kw.name, &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            raise_type_error(join({callee, " keywords must be strings"}));
        }
        const std::string_view name(utf8, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (params[i].name == name) found = i;
        }
        if (found == params.size()) {
            raise_type_error(join({callee, " got an unexpected keyword argument '", name, "'"}));
        }
        if (slots[found] != nullptr) {
            raise_type_error(join({callee, " got multiple values for argument '", name, "'"}));
        }
        slots[found] = kw.value;
    }

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (slots[i] == nullptr && !params[i].optional) missing.push_back(params[i].name);
    }
    if (!missing.empty()) {
        std::string names;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) names += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
            names += join({"'", missing[i], "'"});
        }
        raise_type_error(join({callee, " missing ", plural(missing.size(), "required positional argument"), ": ",
                               names}));
    }
}

void bind_fastcall(std::string_view qualname, std::span<const Parameter> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    // The top bit is the vectorcall "arguments offset" flag, not part of the count.
    constexpr std::size_t kOffsetFlag = std::size_t{1} << (8 * sizeof(std::size_t) - 1);
    const std::size_t npos = static_cast<std::size_t>(nargs) & ~kOffsetFlag;
    std::vector<Keyword> keywords;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) throw ErrorAlreadySet{};
        keywords.reserve(static_cast<std::size_t>(nkw));
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            keywords.push_back(Keyword{PyTuple_GetItem(kwnames, i), args[npos + static_cast<std::size_t>(i)]});
        }
    }
    bind_arguments(qualname, params, std::span<PyObject* const>(args, npos), keywords, slots);
}

void bind_tuple_dict(std::string_view qualname, std::span<const Parameter> params, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> slots) {
    const Py_ssize_t npos = PyTuple_Size(args);
    if (npos < 0) throw ErrorAlreadySet{};
    std::vector<PyObject*> positional(static_cast<std::size_t>(npos));
    for (Py_ssize_t i = 0; i < npos; ++i) positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    std::vector<Keyword> keywords;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) keywords.push_back(Keyword{key, value});
    }
    bind_arguments(qualname, params, positional, keywords, slots);
}

}  // namespace tessarin::py
