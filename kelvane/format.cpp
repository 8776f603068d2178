#include "kelvane/format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace kelvane {

namespace {

// std::to_chars in scientific form with no precision gives the shortest
// digits that round-trip; they are then laid out positionally. (Its fixed
// form would print the exact binary value of large numbers instead.)
template <class F>
std::string shortest_positional(F value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));

    // text = [-]d[.ddd]e(+|-)XX
    std::string out;
    std::size_t k = 0;
    if (text[k] == '-') out += text[k++];
    const std::size_t e = text.find('e');
    std::string digits;
    for (std::size_t m = k; m < e; ++m) {
        if (text[m] != '.') digits += text[m];
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);
    // value = 0.d1d2d3... x 10^(exponent + 1)
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

}  // namespace

std::string format_number(float value) { return shortest_positional(value); }
std::string format_number(double value) { return shortest_positional(value); }

}  // namespace kelvane
