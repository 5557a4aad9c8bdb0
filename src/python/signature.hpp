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
    bool optional = false;  // written "name=<default>": may be omitted (absent: None, or the default shown)
};

template <std::size_t Count>
struct Signature {
    std::string_view name;
    bool has_self = false;
    std::array<Parameter, Count> params{};
};

namespace detail {

// Plain index loops rather than string_view::find and friends: under
// -fsanitize=undefined g++ refuses the library's pointer tests in constant
// expressions over template parameter objects.
constexpr std::size_t index_of(std::string_view s, char c, std::size_t from = 0) {
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] == c) return i;
    }
    return s.size();
}

constexpr bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

constexpr std::string_view trim(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && s[begin] == ' ') ++begin;
    while (end > begin && s[end - 1] == ' ') --end;
    return s.substr(begin, end - begin);
}

constexpr std::string_view parameter_list(std::string_view sig) {
    const std::size_t open = index_of(sig, '(');
    return sig.substr(open + 1, sig.size() - open - 2);  // the signature ends with ')'
}

// Splits the parameter list; calls f(piece) for each entry.
template <class F>
constexpr void for_each_entry(std::string_view sig, F&& f) {
    const std::string_view list = parameter_list(sig);
    if (trim(list).empty()) return;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = index_of(list, ',', start);
        f(trim(list.substr(start, comma - start)));
        if (comma == list.size()) break;
        start = comma + 1;
    }
}

constexpr std::size_t parameter_count(std::string_view sig) {
    std::size_t n = 0;
    for_each_entry(sig, [&](std::string_view entry) {
        if (!same(entry, "$self")) ++n;
    });
    return n;
}

}  // namespace detail

template <FixedString Sig>
constexpr auto parse_signature() {
    constexpr std::string_view sig = Sig.view();
    static_assert(detail::index_of(sig, '(') < sig.size() && sig[sig.size() - 1] == ')', "malformed text signature");
    Signature<detail::parameter_count(sig)> out;
    out.name = sig.substr(0, detail::index_of(sig, '('));
    std::size_t i = 0;
    detail::for_each_entry(sig, [&](std::string_view entry) {
        if (detail::same(entry, "$self")) {
            out.has_self = true;
            return;
        }
        // "name=<default>": the argument may be omitted; its kind (an
        // optional) says what absence means, and the text shows the default.
        const std::size_t equals = detail::index_of(entry, '=');
        const bool optional = equals < entry.size();
        if (optional) entry = detail::trim(entry.substr(0, equals));
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
