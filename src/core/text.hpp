// Numbers inside human-readable results (audit issues, recommendation and
// feedback reasons) are written in fixed-point notation.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

namespace tessarin {

// `value` with exactly `decimals` digits after the point: the decimal nearest
// to the exact 32-bit value, an exact tie going to the even digit, a negative
// value (negative zero included) with a leading minus sign. Widening to double
// is exact and glibc's conversion is correctly rounded, so "0.125" becomes
// "0.12" and not the "0.13" that rounding half away from zero would give.
inline std::string fixed_point(float value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
    const double wide = static_cast<double>(value);
    const int length = std::snprintf(nullptr, 0, "%.*f", decimals, wide);
    std::string text(static_cast<std::size_t>(length), '\0');
    // The buffer holds length + 1 bytes: std::string keeps room for the terminator.
    std::snprintf(text.data(), text.size() + 1, "%.*f", decimals, wide);
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
