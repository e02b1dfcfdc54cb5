// Integer and float field texts: strict grammar checks, exact 128/64-bit
// integers, correctly rounded binary64 reading and the float text forms.
#include "numeric_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "ascii.h"
#include "float_powers.h"

namespace kelvane {

namespace {

// Reads an optional sign and one or more digits into a magnitude no larger
// than `positive_limit` (or `positive_limit + 1` after a minus sign).
template <class Unsigned, Unsigned positive_limit>
bool read_integer(std::string_view text, Unsigned& magnitude, bool& negative) {
    const char* p = text.data();
    const char* const end = p + text.size();
    negative = take_sign(p, end);
    if (p == end) return false;
    const Unsigned limit = positive_limit + (negative ? 1 : 0);
    // Nineteen digits fit in 64 bits whatever they are; only longer texts
    // need the overflow check.
    const size_t head = end - p > 19 ? 19 : static_cast<size_t>(end - p);
    uint64_t first_digits;
    if (!read_short_digits(p, head, first_digits)) return false;
    p += head;
    Unsigned value = first_digits;
    if (value > limit) return false;
    // Both limits (2^n - 1 and 2^n) share all but their last digit.
    constexpr Unsigned limit_tenth = positive_limit / 10;
    const unsigned limit_last_digit = static_cast<unsigned>(positive_limit % 10) + negative;
    for (; p != end; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p - '0');
        if (digit > 9) return false;
        if (value > limit_tenth || (value == limit_tenth && digit > limit_last_digit)) return false;
        value = value * 10 + digit;
    }
    magnitude = value;
    return true;
}

// ASCII case-insensitive equality with a lower-case word.
bool equals_word(const char* p, const char* end, std::string_view lower_word) {
    if (static_cast<size_t>(end - p) != lower_word.size()) return false;
    for (char expected : lower_word) {
        if ((*p++ | 0x20) != expected) return false;
    }
    return true;
}

// Significant digits kept for the conversion. A binary64 value or a midpoint
// between two of them has at most 767 significant digits, so any digits past
// 800 only matter as "some nonzero digit follows", which one extra '1' keeps.
constexpr size_t kept_digit_limit = 800;

// The exponent's running value stops growing once it reaches this. Far above
// any digit count a text can have, so a saturated exponent still decides the
// result exactly (infinity or zero), and the arithmetic stays within 64 bits.
constexpr int64_t exponent_saturation = 100'000'000'000'000'000;

char* write_int64(char* out, int64_t value) {
    return std::to_chars(out, out + 24, value).ptr;
}

}  // namespace

std::optional<int128> parse_int(std::string_view text) {
    constexpr uint128 max_positive = (static_cast<uint128>(1) << 127) - 1;
    uint128 magnitude;
    bool negative;
    if (!read_integer<uint128, max_positive>(text, magnitude, negative)) return std::nullopt;
    // Two's complement negation of the magnitude handles -2^127 too.
    return static_cast<int128>(negative ? uint128(0) - magnitude : magnitude);
}

std::optional<int64_t> parse_enum_int(std::string_view text) {
    constexpr uint64_t max_positive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t magnitude;
    bool negative;
    if (!read_integer<uint64_t, max_positive>(text, magnitude, negative)) return std::nullopt;
    return static_cast<int64_t>(negative ? uint64_t(0) - magnitude : magnitude);
}

namespace {

// w * 10^q correctly rounded (ties to even), for 1 <= w < 2^64, when the
// result is a normal binary64 or infinity and the power table decides it;
// nullopt otherwise (the caller then reads the digits exactly).
//
// 10^q = 5^q * 2^q, and the table holds 5^q = (S + f) * 2^e with S of 128
// bits (top bit set) and 0 <= f < 1, f = 0 for 0 <= q <= 55. With w shifted
// left until its top bit is set (wn = w * 2^lz), the 192-bit product X = wn * S
// is the true T = wn * 5^q * 2^-e short by wn * f < 2^64: T lies in
// [X, X + 2^64). The 53 bits under X's top bit are the significand, the bit
// below them is the half, the rest decides the rounding. When 5^q is exact,
// T = X and rounding is plain. Otherwise T > X: a rest at or above the half
// rounds up whatever T is (a carry out of the rest rounds down to the same
// value); a rest below the half rounds down unless the rest's bits from 2^64
// up are all ones, where T may reach the half: undecided.
std::optional<double> scaled_by_power_of_ten(uint64_t w, int64_t q) {
    using float_powers::powers_of_five;
    if (q < float_powers::min_exponent || q > float_powers::max_exponent) return std::nullopt;
    const float_powers::Power& power = powers_of_five[q - float_powers::min_exponent];
    const int lz = __builtin_clzll(w);
    const uint64_t wn = w << lz;
    const uint128 high_product = static_cast<uint128>(wn) * power.high;
    const uint128 low_product = static_cast<uint128>(wn) * power.low;
    const uint64_t x0 = static_cast<uint64_t>(low_product);
    const uint128 middle = (low_product >> 64) + static_cast<uint64_t>(high_product);
    const uint64_t x1 = static_cast<uint64_t>(middle);
    const uint64_t x2 = static_cast<uint64_t>(high_product >> 64) + static_cast<uint64_t>(middle >> 64);

    // X's top bit is bit 191 or 190 (wn >= 2^63, S >= 2^127).
    const int top_is_191 = static_cast<int>(x2 >> 63);
    const int shift = 10 + top_is_191;  // bits of x2 under the significand
    uint64_t significand = x2 >> shift;
    const bool half = (x2 >> (shift - 1)) & 1;
    const uint64_t below_mask = (uint64_t{1} << (shift - 1)) - 1;
    const uint64_t below = x2 & below_mask;
    // value = T * 2^(e + q - lz), T in [2^top, 2^(top + 1)).
    int64_t exponent = 190 + top_is_191 + power.binary_exponent + q - lz;
    if (exponent < -1022) return std::nullopt;  // subnormal: fewer bits to round to
    if (exponent > 1023) return std::numeric_limits<double>::infinity();

    bool up;
    if (q >= 0 && q <= float_powers::max_exact_exponent) {
        up = half && ((below | x1 | x0) != 0 || (significand & 1) != 0);
    } else {
        if (!half && below == below_mask && x1 == UINT64_MAX) return std::nullopt;
        up = half;
    }
    significand += up;
    if (significand == uint64_t{1} << 53) {
        significand >>= 1;
        ++exponent;
        if (exponent > 1023) return std::numeric_limits<double>::infinity();
    }
    const uint64_t bits = static_cast<uint64_t>(exponent + 1023) << 52 | (significand & ((uint64_t{1} << 52) - 1));
    return std::bit_cast<double>(bits);
}

// Reads the run of digits at `p` eight bytes at a time, appending its
// significant digits (from the first nonzero one of the number on) to
// `digits` and counting them in `significant`; returns the run's length.
// Sets `too_long` instead once there would be more than 19.
inline size_t take_digits(const char*& p, const char* end, uint64_t& digits, int64_t& significant, bool& too_long) {
    static constexpr uint64_t powers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    constexpr uint64_t zeros = 0x3030303030303030u;
    size_t taken = 0;
    while (p != end) {
        // The bytes up to the end, at most eight, zero bytes past it.
        const uint64_t word = load_up_to_eight(p, std::min<size_t>(8, static_cast<size_t>(end - p)));
        // The lowest byte that is not a digit is flagged exactly (a borrow or
        // carry only ever reaches the bytes above it); zero bytes past the
        // end are not digits.
        const uint64_t not_digit = ((word + 0x4646464646464646u) | (word - zeros)) & 0x8080808080808080u;
        const unsigned run = not_digit == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(not_digit)) / 8;
        if (run == 0) break;
        // The run right-aligned in eight digit places.
        const uint64_t aligned = run == 8 ? word : word << (8 * (8 - run)) | zeros >> (8 * run);
        const uint32_t value = eight_digits_value(aligned);
        if (digits == 0) {
            // Leading zeros carry nothing; the first nonzero digit starts
            // the count (the lowest nonzero byte of the aligned digits).
            if (value != 0) significant = 8 - __builtin_ctzll(aligned - zeros) / 8;
        } else {
            significant += run;
        }
        if (significant > 19) {
            too_long = true;
            return taken;
        }
        digits = digits * powers[run] + value;
        p += run;
        taken += run;
        if (run < 8) break;
    }
    return taken;
}

// Reads the exponent after 'e'/'E' at `p` (saturating); false when malformed.
bool read_exponent(const char* p, const char* end, int64_t& exponent) {
    const bool exponent_negative = take_sign(p, end);
    if (p == end) return false;
    exponent = 0;
    for (; p != end; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p - '0');
        if (digit > 9) return false;
        if (exponent < exponent_saturation) exponent = exponent * 10 + digit;
    }
    if (exponent_negative) exponent = -exponent;
    return true;
}

// digits * 10^exponent read exactly by the standard library, the digits given
// as text (at most kept_digit_limit + 1 of them in a buffer with room for the
// exponent).
std::optional<double> read_exactly(char* buffer, size_t kept, int64_t buffer_exponent, int64_t leading) {
    char* tail = buffer + kept;
    *tail++ = 'e';
    tail = write_int64(tail, buffer_exponent);
    double value = 0;
    const auto [ptr, ec] = std::from_chars(buffer, tail, value);
    if (ec == std::errc::result_out_of_range) {
        value = leading > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || ptr != tail) {
        return std::nullopt;  // cannot happen: the buffer is well formed
    }
    return value;
}

// The number from `p` (after the sign) when it has more than 19 significant
// digits: they are kept as text, up to kept_digit_limit of them.
std::optional<double> parse_long_float(const char* p, const char* end, bool negative) {
    char buffer[kept_digit_limit + 1 + 32];
    size_t kept = 0;
    bool dropped_nonzero = false;
    int64_t significant = 0;      // digits from the first nonzero one on
    int64_t fraction_digits = 0;  // digits after the point
    bool in_fraction = false;
    for (; p != end; ++p) {
        const char c = *p;
        if (is_digit(c)) {
            fraction_digits += in_fraction;
            if (significant == 0 && c == '0') continue;
            ++significant;
            if (kept < kept_digit_limit) {
                buffer[kept++] = c;
            } else if (c != '0') {
                dropped_nonzero = true;
            }
        } else if (c == '.' && !in_fraction) {
            in_fraction = true;
        } else {
            break;
        }
    }
    int64_t exponent = 0;
    if (p != end) {
        if ((*p != 'e' && *p != 'E') || !read_exponent(p + 1, end, exponent)) return std::nullopt;
    }
    const double zero = negative ? -0.0 : 0.0;
    const double infinity = negative ? -std::numeric_limits<double>::infinity()
                                     : std::numeric_limits<double>::infinity();
    // The value lies in [10^leading, 10^(leading+1)).
    const int64_t leading = significant - 1 - fraction_digits + exponent;
    if (leading >= 309) return infinity;   // above 1e309
    if (leading <= -325) return zero;      // below 1e-324, under half the least subnormal

    int64_t buffer_exponent = exponent - fraction_digits + (significant - static_cast<int64_t>(kept));
    if (dropped_nonzero) {
        buffer[kept++] = '1';
        --buffer_exponent;
    }
    const std::optional<double> value = read_exactly(buffer, kept, buffer_exponent, leading);
    if (!value) return std::nullopt;
    return negative ? -*value : *value;
}

}  // namespace

std::optional<double> parse_float(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = take_sign(p, end);
    if (p == end) return std::nullopt;

    if (!is_digit(*p) && *p != '.') {
        double special;
        if (equals_word(p, end, "inf") || equals_word(p, end, "infinity")) {
            special = std::numeric_limits<double>::infinity();
        } else if (equals_word(p, end, "nan")) {
            special = std::numeric_limits<double>::quiet_NaN();
        } else {
            return std::nullopt;
        }
        return std::copysign(special, negative ? -1.0 : 1.0);
    }

    // One pass over the number: validate it and gather its significant
    // digits (from the first nonzero one) into a word. Past 19 of them the
    // digits are read again, kept as text.
    const char* const number = p;
    uint64_t digits = 0;
    int64_t significant = 0;
    bool too_long = false;
    const size_t whole_digits = take_digits(p, end, digits, significant, too_long);
    size_t fraction_digits = 0;
    if (!too_long && p != end && *p == '.') {
        ++p;
        fraction_digits = take_digits(p, end, digits, significant, too_long);
    }
    if (too_long) return parse_long_float(number, end, negative);
    const bool any_digit = whole_digits + fraction_digits != 0;
    if (!any_digit) return std::nullopt;

    int64_t exponent = 0;
    if (p != end) {
        if ((*p != 'e' && *p != 'E') || !read_exponent(p + 1, end, exponent)) return std::nullopt;
    }

    const double zero = negative ? -0.0 : 0.0;
    if (digits == 0) return zero;

    // Exact digits times an exact power of ten: one IEEE operation rounds
    // the product correctly (the common texts end here). Digits up to 2^53
    // are exact as a double.
    static constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int64_t scale_exponent = exponent - static_cast<int64_t>(fraction_digits);
    if (digits <= uint64_t{1} << 53 && scale_exponent >= -22 && scale_exponent <= 22) {
        const auto digits_value = static_cast<double>(digits);
        const double value = scale_exponent >= 0 ? digits_value * exact_powers[scale_exponent]
                                                 : digits_value / exact_powers[-scale_exponent];
        return negative ? -value : value;
    }

    // The value lies in [10^leading, 10^(leading+1)).
    const int64_t leading = significant - 1 + scale_exponent;
    if (leading >= 309) return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (leading <= -325) return zero;  // below 1e-324, under half the least subnormal

    std::optional<double> value = scaled_by_power_of_ten(digits, scale_exponent);
    if (!value) {
        char buffer[64];
        const char* digits_end = std::to_chars(buffer, buffer + 24, digits).ptr;
        value = read_exactly(buffer, static_cast<size_t>(digits_end - buffer), scale_exponent, leading);
        if (!value) return std::nullopt;
    }
    return negative ? -*value : *value;
}

int128 int_bound(double value) {
    constexpr double two_to_127 = 170141183460469231731687303715884105728.0;
    constexpr int128 max = static_cast<int128>((static_cast<uint128>(1) << 127) - 1);
    if (std::isnan(value)) return 0;
    if (value >= two_to_127) return max;
    if (value < -two_to_127) return -max - 1;
    return static_cast<int128>(value);  // truncates toward zero
}

namespace {

// The shortest round-trip digits of a finite value: digits without sign or
// point, and the power of ten of the first digit.
struct ShortestDigits {
    char digits[24];
    int length;
    int exponent;
    bool negative;
};

ShortestDigits shortest_digits(double value) {
    ShortestDigits result{};
    char text[40];
    const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* p = text;
    result.negative = *p == '-';
    p += result.negative;
    while (p != end && *p != 'e') {
        if (*p != '.') result.digits[result.length++] = *p;
        ++p;
    }
    ++p;  // 'e'
    std::from_chars(*p == '+' ? p + 1 : p, end, result.exponent);
    return result;
}

// Plain notation of the digits: "2500", "0.0001", "12.5"; `whole_suffix` is
// appended when nothing follows the point.
std::string plain_text(const ShortestDigits& shortest, bool with_sign, const char* whole_suffix) {
    std::string out;
    out.reserve(48);
    if (with_sign && shortest.negative) out += '-';
    const std::string_view digits(shortest.digits, shortest.length);
    if (shortest.exponent < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-shortest.exponent - 1), '0');
        out += digits;
    } else if (shortest.length <= shortest.exponent + 1) {
        out += digits;
        out.append(static_cast<size_t>(shortest.exponent + 1 - shortest.length), '0');
        out += whole_suffix;
    } else {
        out += digits.substr(0, shortest.exponent + 1);
        out += '.';
        out += digits.substr(shortest.exponent + 1);
    }
    return out;
}

}  // namespace

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const ShortestDigits shortest = shortest_digits(value);
    const double magnitude = std::fabs(value);
    if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        return plain_text(shortest, true, ".0");
    }
    std::string out;
    if (shortest.negative) out += '-';
    out += shortest.digits[0];
    if (shortest.length > 1) {
        out += '.';
        out.append(shortest.digits + 1, shortest.length - 1);
    }
    out += 'e';
    out += std::to_string(shortest.exponent);
    return out;
}

std::string format_float_plain(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return plain_text(shortest_digits(value), true, "");
}

}  // namespace kelvane
