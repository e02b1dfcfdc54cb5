// Fuzz target for the integer and float readers: any bytes as a field text.
// Checks both integer widths against a plain digit-by-digit oracle, parse_float
// against strtod (glibc's is correctly rounded) on every text of the grammar,
// and the float text forms against parse_float (they must read back exactly);
// texts of up to 19 significant digits drawn from the input, ties and their
// neighbours among them, against strtod too.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "fuzz_common.h"
#include "values/numeric_text.h"

using namespace kelvane;
using kelvane_fuzz::show;

namespace {

// Optional sign, then one or more ASCII digits: value, or nothing when the
// text breaks the grammar or the magnitude exceeds `limit`.
bool oracle_integer(std::string_view text, uint128 limit_positive, uint128& magnitude, bool& negative) {
    size_t i = 0;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    const uint128 limit = limit_positive + (negative ? 1 : 0);
    magnitude = 0;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (!overflow) {
            if (magnitude > (limit - digit) / 10) overflow = true;
            else magnitude = magnitude * 10 + digit;
        }
    }
    return !overflow;
}

bool ascii_equal_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if ((text[i] | 0x20) != lower[i]) return false;
    return true;
}

enum class FloatShape { invalid, decimal, infinity, nan };

// The float grammar, written out independently of the reader.
FloatShape float_shape(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::string_view body = text.substr(i);
    if (ascii_equal_ignoring_case(body, "inf") || ascii_equal_ignoring_case(body, "infinity"))
        return FloatShape::infinity;
    if (ascii_equal_ignoring_case(body, "nan")) return FloatShape::nan;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return FloatShape::invalid;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponent_digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
        if (exponent_digits == 0) return FloatShape::invalid;
    }
    return i == text.size() ? FloatShape::decimal : FloatShape::invalid;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A text form must read back as the same value (any NaN as a NaN).
void check_text_form(double value, const std::string& text, const char* form) {
    const auto back = parse_float(text);
    FUZZ_CHECK(back.has_value(), "%s(%a) = '%s' does not read back", form, value, show(text).c_str());
    if (std::isnan(value)) {
        FUZZ_CHECK(std::isnan(*back), "%s(NaN) = '%s' reads back as %a", form, show(text).c_str(), *back);
    } else {
        FUZZ_CHECK(same_bits(*back, value), "%s(%a) = '%s' reads back as %a", form, value, show(text).c_str(),
                   *back);
    }
}

void check_int_bound(double value) {
    const int128 bound = int_bound(value);
    const int128 max = static_cast<int128>((static_cast<uint128>(1) << 127) - 1);
    const int128 min = -max - 1;
    if (std::isnan(value)) {
        FUZZ_CHECK(bound == 0, "int_bound(NaN) != 0");
    } else if (value >= 0x1p127) {
        FUZZ_CHECK(bound == max, "int_bound(%a) does not saturate", value);
    } else if (value < -0x1p127) {
        FUZZ_CHECK(bound == min, "int_bound(%a) does not saturate", value);
    } else {
        FUZZ_CHECK(bound == static_cast<int128>(std::trunc(value)), "int_bound(%a) is not the truncation", value);
    }
}

void check_double(double value) {
    check_text_form(value, format_float(value), "format_float");
    check_text_form(value, format_float_plain(value), "format_float_plain");
    check_int_bound(value);
}

// A text of at most 19 significant digits against strtod: the reader
// multiplies such digits by a power of five from its table.
void check_short_float(const std::string& text) {
    const auto value = parse_float(text);
    FUZZ_CHECK(value.has_value(), "parse_float('%s') fails", show(text).c_str());
    const double expected = std::strtod(text.c_str(), nullptr);
    FUZZ_CHECK(same_bits(*value, expected), "parse_float('%s') = %a, strtod gives %a", show(text).c_str(), *value,
               expected);
}

// Digits and an exponent drawn from the input (every exponent the table
// holds and some past it), and the tie above a double drawn from it written
// to 19 digits with its neighbours in the last digit: the products closest
// to a rounding boundary.
void check_short_floats(const uint8_t* data) {
    uint64_t digits;
    std::memcpy(&digits, data, 8);
    uint16_t exponent_bits;
    std::memcpy(&exponent_bits, data + 8, 2);
    const int exponent = static_cast<int>(exponent_bits % 720) - 370;
    uint64_t limit = 1;
    for (int kept = 1 + data[0] % 19; kept > 0; --kept) limit *= 10;
    digits %= limit;
    check_short_float(std::to_string(digits == 0 ? 1 : digits) + "e" + std::to_string(exponent));

    double low;
    std::memcpy(&low, data, 8);
    low = std::fabs(low);
    if (!std::isfinite(low) || low == std::numeric_limits<double>::max()) return;
    const long double tie = (static_cast<long double>(low) + std::nextafter(low, INFINITY)) / 2;  // exact
    char written[64];
    std::snprintf(written, sizeof written, "%.18Le", tie);  // d.dddddddddddddddddde±x
    const std::string text(written);
    const size_t e = text.find('e');
    const uint64_t mantissa = std::stoull(text.substr(0, 1) + text.substr(2, e - 2));
    const int tie_exponent = std::stoi(text.substr(e + 1)) - 18;
    for (const uint64_t near : {mantissa - 1, mantissa, mantissa + 1})
        check_short_float(std::to_string(near) + "e" + std::to_string(tie_exponent));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Integers: the 128-bit and 64-bit readers against the oracle.
    uint128 magnitude;
    bool negative;
    const auto wide = parse_int(text);
    const bool wide_expected =
        oracle_integer(text, (static_cast<uint128>(1) << 127) - 1, magnitude, negative);
    FUZZ_CHECK(wide.has_value() == wide_expected, "parse_int('%s') success %d, expected %d", show(text).c_str(),
               wide.has_value(), wide_expected);
    if (wide) {
        const int128 expected = static_cast<int128>(negative ? uint128(0) - magnitude : magnitude);
        FUZZ_CHECK(*wide == expected, "parse_int('%s') has the wrong value", show(text).c_str());
    }
    const auto narrow = parse_enum_int(text);
    const bool narrow_expected = oracle_integer(text, INT64_MAX, magnitude, negative);
    FUZZ_CHECK(narrow.has_value() == narrow_expected, "parse_enum_int('%s') success %d, expected %d",
               show(text).c_str(), narrow.has_value(), narrow_expected);
    if (narrow) {
        FUZZ_CHECK(wide && *wide == *narrow, "parse_enum_int and parse_int disagree on '%s'", show(text).c_str());
    }

    // Floats: grammar first, then the value against strtod.
    const auto value = parse_float(text);
    const FloatShape shape = float_shape(text);
    FUZZ_CHECK(value.has_value() == (shape != FloatShape::invalid), "parse_float('%s') success %d, shape %d",
               show(text).c_str(), value.has_value(), static_cast<int>(shape));
    if (value) {
        const bool minus = !text.empty() && text[0] == '-';
        if (shape == FloatShape::nan) {
            FUZZ_CHECK(std::isnan(*value) && std::signbit(*value) == minus, "parse_float('%s') = %a",
                       show(text).c_str(), *value);
        } else if (shape == FloatShape::infinity) {
            FUZZ_CHECK(std::isinf(*value) && std::signbit(*value) == minus, "parse_float('%s') = %a",
                       show(text).c_str(), *value);
        } else if (size < 60000) {
            // Below this length the exponent cap cannot change the result.
            const std::string copy(text);
            const double expected = std::strtod(copy.c_str(), nullptr);
            FUZZ_CHECK(same_bits(*value, expected), "parse_float('%s') = %a, strtod gives %a", show(text).c_str(),
                       *value, expected);
        }
        check_double(*value);
    }

    if (size >= 10) check_short_floats(data);

    // Every bit pattern through the text forms and the integer bound.
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, data, sizeof raw);
        check_double(raw);
    }
    return 0;
}
