// Integer and float field texts: the strict grammars, exact 128/64-bit
// integers, correctly rounded binary64, and the float text forms shown to users.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

using int128 = __int128;
using uint128 = unsigned __int128;

// Optional sign then ASCII digits; nothing else. Out of range fails.
std::optional<int128> parse_int(std::string_view text);
std::optional<int64_t> parse_enum_int(std::string_view text);

// Optional sign then inf/infinity/nan (any case) or a decimal number with an
// optional exponent. Correctly rounded, ties to even; overflow gives infinity.
std::optional<double> parse_float(std::string_view text);

// A binary64 bound as a 128-bit integer: truncation toward zero, saturation
// at both ends of the range, NaN as 0.
int128 int_bound(double value);

// Shortest round-trip text with ".0" on whole numbers, and exponent form below
// 1e-4 or from 1e16 on: "5.0", "-0.0", "1e16", "1.5e-5", "NaN", "inf".
std::string format_float(double value);

// Shortest round-trip text in plain notation, no exponent and no ".0":
// "1", "2500", "0.0000001", "-0".
std::string format_float_plain(double value);

}  // namespace kelvane
