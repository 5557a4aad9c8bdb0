#include "core/text.hpp"

#include <algorithm>
#include <cstddef>

namespace tessarin {

namespace {

bool is_unicode_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

constexpr char32_t kNotDecoded = 0xFFFFFFFF;

// The code point encoded by exactly the bytes of `s`, or kNotDecoded. Only
// the structure is checked: an overlong or otherwise odd sequence can never
// decode to white space of the right length, so it simply stops the trim.
char32_t decode_one(std::string_view s) {
    if (s.empty()) return kNotDecoded;
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t len = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        len = 1;
        cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2;
        cp = lead & 0x1FU;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        cp = lead & 0x0FU;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        cp = lead & 0x07U;
    } else {
        return kNotDecoded;
    }
    if (s.size() != len) return kNotDecoded;
    for (std::size_t i = 1; i < len; ++i) {
        const auto cont = static_cast<unsigned char>(s[i]);
        if ((cont & 0xC0) != 0x80) return kNotDecoded;
        cp = (cp << 6) | (cont & 0x3FU);
    }
    return cp;
}

std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string_view trim_unicode_white_space(std::string_view s) {
    while (!s.empty()) {
        const std::size_t len = std::min(sequence_length(static_cast<unsigned char>(s[0])), s.size());
        if (!is_unicode_white_space(decode_one(s.substr(0, len)))) break;
        s.remove_prefix(len);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 && is_continuation(s[start])) --start;
        if (!is_unicode_white_space(decode_one(s.substr(start)))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace tessarin
