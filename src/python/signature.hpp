// Text signatures as compile-time values.
//
// Every function, method and class is declared by its text signature, such as
// "store($self, key, value, position)" or "generate_photon($self, position,
// direction=None, wavelength=None)". From that one string the binding derives
// the Python name, the parameter names used for keywords and error messages,
// which parameters may be omitted, and the first line of the docstring, so the
// three can never disagree.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace tessarin::py {

template <std::size_t N>
struct FixedString {
    char data[N]{};
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, data); }
    constexpr std::string_view view() const { return {data, N - 1}; }
    constexpr std::size_t size() const { return N - 1; }
};

struct Parameter {
    std::string_view name;
    bool optional = false;  // written "name=None": may be omitted, None meaning absent
};

template <std::size_t Count>
struct Signature {
    std::string_view name;
    bool has_self = false;
    std::array<Parameter, Count> params{};
};

namespace detail {

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

constexpr std::string_view parameter_list(std::string_view sig) {
    const std::size_t open = sig.find('(');
    const std::size_t close = sig.rfind(')');
    return sig.substr(open + 1, close - open - 1);
}

// Splits the parameter list; calls f(piece) for each non-empty entry.
template <class F>
constexpr void for_each_entry(std::string_view sig, F&& f) {
    std::string_view rest = parameter_list(sig);
    while (!trim(rest).empty()) {
        const std::size_t comma = rest.find(',');
        f(trim(rest.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
}

constexpr std::size_t parameter_count(std::string_view sig) {
    std::size_t n = 0;
    for_each_entry(sig, [&](std::string_view entry) {
        if (entry != "$self") ++n;
    });
    return n;
}

}  // namespace detail

template <FixedString Sig>
constexpr auto parse_signature() {
    constexpr std::string_view sig = Sig.view();
    static_assert(sig.find('(') != std::string_view::npos && sig.back() == ')', "malformed text signature");
    Signature<detail::parameter_count(sig)> out;
    out.name = sig.substr(0, sig.find('('));
    std::size_t i = 0;
    detail::for_each_entry(sig, [&](std::string_view entry) {
        if (entry == "$self") {
            out.has_self = true;
            return;
        }
        constexpr std::string_view kNoneDefault = "=None";
        const bool optional = entry.ends_with(kNoneDefault);
        if (optional) entry.remove_suffix(kNoneDefault.size());
        out.params[i++] = Parameter{entry, optional};
    });
    return out;
}

// The docstring "<signature>\n--\n\n<text>" as one static NUL-terminated string.
template <FixedString Sig, FixedString Text>
struct Docstring {
    static constexpr std::string_view kSeparator = "\n--\n\n";
    static constexpr auto value = [] {
        std::array<char, Sig.size() + kSeparator.size() + Text.size() + 1> out{};
        auto it = std::copy(Sig.view().begin(), Sig.view().end(), out.begin());
        it = std::copy(kSeparator.begin(), kSeparator.end(), it);
        std::copy(Text.view().begin(), Text.view().end(), it);
        return out;
    }();
    static constexpr const char* c_str() { return value.data(); }
};

// The name as a static NUL-terminated string (for PyMethodDef::ml_name).
template <FixedString Sig>
struct NameOf {
    static constexpr auto value = [] {
        constexpr std::string_view name = parse_signature<Sig>().name;
        std::array<char, name.size() + 1> out{};
        std::copy(name.begin(), name.end(), out.begin());
        return out;
    }();
    static constexpr const char* c_str() { return value.data(); }
};

}  // namespace tessarin::py
