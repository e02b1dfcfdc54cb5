// Integer and float field texts: strict grammar checks, exact 128/64-bit
// integers, correctly rounded binary64 reading and the float text forms.
#include "numeric_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "ascii.h"

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

    // One pass over the number: validate it and copy its significant digits
    // (from the first nonzero one, at most kept_digit_limit of them) into a
    // bounded buffer, to be read back as digits × 10^exponent.
    char buffer[kept_digit_limit + 1 + 32];
    size_t kept = 0;
    bool dropped_nonzero = false;
    int64_t significant = 0;      // digits from the first nonzero one on
    int64_t fraction_digits = 0;  // digits after the point
    bool any_digit = false;
    bool in_fraction = false;
    for (; p != end; ++p) {
        const char c = *p;
        if (is_digit(c)) {
            any_digit = true;
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
    if (!any_digit) return std::nullopt;

    int64_t exponent = 0;
    if (p != end) {
        if (*p != 'e' && *p != 'E') return std::nullopt;
        ++p;
        const bool exponent_negative = take_sign(p, end);
        if (p == end) return std::nullopt;
        for (; p != end; ++p) {
            const unsigned digit = static_cast<unsigned char>(*p - '0');
            if (digit > 9) return std::nullopt;
            if (exponent < exponent_saturation) exponent = exponent * 10 + digit;
        }
        if (exponent_negative) exponent = -exponent;
    }

    const double zero = negative ? -0.0 : 0.0;
    if (significant == 0) return zero;

    // Exact digits times an exact power of ten: one IEEE operation rounds
    // the product correctly (the common texts end here). Digits up to 2^53
    // are exact as a double.
    static constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int64_t scale_exponent = exponent - fraction_digits;
    if (significant <= 19 && scale_exponent >= -22 && scale_exponent <= 22) {
        uint64_t digits = 0;  // below 10^19
        for (size_t i = 0; i < kept; ++i) digits = digits * 10 + static_cast<unsigned>(buffer[i] - '0');
        if (digits <= uint64_t{1} << 53) {
            const auto digits_value = static_cast<double>(digits);
            const double value = scale_exponent >= 0 ? digits_value * exact_powers[scale_exponent]
                                                     : digits_value / exact_powers[-scale_exponent];
            return negative ? -value : value;
        }
    }

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
    return negative ? -value : value;
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
