// Numbers and placeholders in messages.
//
// A number in a message is written in the shortest decimal form that reads
// back as the same 32- or 64-bit value, in positional notation without
// exponent; a whole number has no fractional part (2.0 is "2"), a negative
// zero is "-0", and not-a-number and the infinities are "NaN", "inf", "-inf".
// Integers are plain decimal.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace kelvane {

std::string format_number(float value);
std::string format_number(double value);

inline std::string to_text(float value) { return format_number(value); }
inline std::string to_text(double value) { return format_number(value); }
inline std::string to_text(std::string_view text) { return std::string(text); }
inline std::string to_text(const char* text) { return std::string(text); }
inline std::string to_text(const std::string& text) { return text; }
inline std::string to_text(bool value) { return value ? "true" : "false"; }
template <std::integral I>
    requires(!std::same_as<I, bool>)
std::string to_text(I value) {
    return std::to_string(value);
}

// Fills each "{}" of `pattern`, left to right, with the next argument's text.
// Surplus placeholders stay as written; surplus arguments are ignored.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
    const std::string texts[] = {std::string(), to_text(args)...};
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    std::size_t next = 1;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        if (pattern[k] == '{' && k + 1 < pattern.size() && pattern[k + 1] == '}' &&
            next <= sizeof...(Args)) {
            out += texts[next++];
            ++k;
        } else {
            out += pattern[k];
        }
    }
    return out;
}

}  // namespace kelvane
