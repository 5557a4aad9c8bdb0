// Numbers inside human-readable results (audit issues, recommendation and
// feedback reasons) are written in fixed-point notation. Formatting allocates
// the string and cannot otherwise fail. The digits never depend on the
// process's locale: a program that sets LC_NUMERIC to a locale with a decimal
// comma still gets a point here.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace tessarin {

// `value` with exactly `decimals` digits after the point: the decimal nearest
// to the exact 32-bit value, an exact tie going to the even digit, a negative
// value (negative zero included) with a leading minus sign. Widening to double
// is exact and the conversion is correctly rounded, so "0.125" becomes
// "0.12" and not the "0.13" that rounding half away from zero would give.
inline std::string fixed_point(float value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
    // std::to_chars writes as printf does in the C locale, whatever locale the
    // process has set, so a decimal comma never creeps into a result.
    const double wide = static_cast<double>(value);
    std::string text(static_cast<std::size_t>(64 + std::max(decimals, 0)), '\0');
    const auto written = std::to_chars(text.data(), text.data() + text.size(), wide, std::chars_format::fixed, decimals);
    text.resize(static_cast<std::size_t>(written.ptr - text.data()));
    return text;
}

// ---- Names given by callers -------------------------------------------------

// `utf8` without its leading and trailing Unicode white space (every code
// point with the White_Space property). A byte sequence that is not well-formed
// UTF-8 is never white space and stops the trim where it stands.
std::string_view trim_unicode_white_space(std::string_view utf8);

// `s` with the ASCII letters A-Z lower-cased and every other byte unchanged.
std::string ascii_lower(std::string_view s);

}  // namespace tessarin
