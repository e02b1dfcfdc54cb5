// Decimal: reading field and schema texts, comparison, half-even rounding to
// a number of places and the canonical text form.
#include "decimal.h"

#include <array>
#include <cstring>

#include "ascii.h"

namespace kelvane {

static_assert(sizeof(Decimal) == 16, "a Decimal is passed by value in two registers' worth");

namespace {

using uint128 = unsigned __int128;

constexpr std::array<uint128, 39> make_powers_of_ten() {
    std::array<uint128, 39> powers{};
    powers[0] = 1;
    for (size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
}
constexpr std::array<uint128, 39> power_of_ten = make_powers_of_ten();

// "00", "01", ... "99" one after the other.
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs digit_pairs;

// The grammar shared by both readers: optional sign, digits with at most one
// point, underscores once a digit has been read. `rounding` selects what
// happens at the two limits after the point (28 digits, 2^96 - 1): the exact
// reader fails, the rounding one lets the next digit decide and stops there.
template <bool rounding>
std::optional<Decimal> read_decimal(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = take_sign(p, end);
    if (p == end || (!is_digit(*p) && *p != '.')) return std::nullopt;

    // Most texts fit 64 bits; the 128-bit accumulator takes over from 10^18.
    uint64_t small = 0;
    uint128 coefficient = 0;
    bool wide = false;
    bool any_digit = false;
    bool in_fraction = false;
    uint32_t scale = 0;
    for (; p != end; ++p) {
        const char c = *p;
        if (in_fraction && scale == Decimal::max_scale) break;  // at the limit
        const unsigned digit = static_cast<unsigned char>(c - '0');
        if (digit <= 9) {
            any_digit = true;
            if (!wide) {
                small = small * 10 + digit;
                if (small >= 1000000000000000000u) {
                    wide = true;
                    coefficient = small;
                }
            } else {
                const uint128 next = coefficient * 10 + digit;
                if (next > Decimal::max_coefficient) break;  // at the limit
                coefficient = next;
            }
            scale += in_fraction;
        } else if (c == '.' && !in_fraction) {
            in_fraction = true;
        } else if (c != '_' || !any_digit) {
            return std::nullopt;
        }
    }
    if (!wide) coefficient = small;
    if (p == end) {
        if (!any_digit) return std::nullopt;
        return Decimal::from_parts(negative, coefficient, scale);
    }

    // A limit was reached with text left over. Before the point that is
    // always a failure; after it the exact reader fails too.
    if (!rounding || !in_fraction) return std::nullopt;
    // Underscores carry no value anywhere else, so the deciding digit is the
    // next digit past them.
    while (p != end && *p == '_') ++p;
    if (p == end) return Decimal::from_parts(negative, coefficient, scale);
    if (!is_digit(*p)) return std::nullopt;
    if (*p >= '5') {
        if (coefficient == Decimal::max_coefficient) {
            // Rounding up would carry to 2^96: drop one more digit instead.
            if (scale == 0) return std::nullopt;
            coefficient = (coefficient + 5) / 10;
            --scale;
        } else {
            ++coefficient;
        }
    }
    return Decimal::from_parts(negative, coefficient, scale);
}

}  // namespace

std::optional<Decimal> Decimal::read_exactly(std::string_view text) { return read_decimal<false>(text); }

std::optional<Decimal> Decimal::from_str(std::string_view text) { return read_decimal<true>(text); }

namespace {

// An unsigned 32-bit text: optional '+', one or more digits, any number of
// leading zeros.
std::optional<uint32_t> read_u32(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && text[i] == '+') ++i;
    if (i == text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i])) return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<Decimal> Decimal::from_scientific(std::string_view text) {
    const size_t e = text.find_first_of("eE");
    if (e == std::string_view::npos) return std::nullopt;
    const std::optional<Decimal> base = from_str(text.substr(0, e));
    if (!base) return std::nullopt;
    std::string_view exponent_text = text.substr(e + 1);
    const bool exponent_negative = !exponent_text.empty() && exponent_text[0] == '-';
    if (exponent_negative) exponent_text.remove_prefix(1);
    const std::optional<uint32_t> k = read_u32(exponent_text);
    if (!k) return std::nullopt;

    const uint128 coefficient = base->coefficient();
    const uint32_t scale = base->scale();
    if (exponent_negative) {
        // 64-bit sum: scale + k must not wrap past 2^32.
        const uint64_t new_scale = uint64_t{scale} + *k;
        if (new_scale > max_scale) return std::nullopt;
        return from_parts(base->negative(), coefficient, static_cast<uint32_t>(new_scale));
    }
    if (*k <= scale) return from_parts(base->negative(), coefficient, scale - *k);
    if (*k > max_scale) return std::nullopt;
    const uint128 factor = power_of_ten[*k - scale];
    if (coefficient > max_coefficient / factor) return std::nullopt;
    return from_parts(base->negative(), coefficient * factor, 0);
}

Decimal Decimal::from_int64(int64_t value) {
    const uint64_t magnitude = value < 0 ? uint64_t(0) - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    return Decimal(value < 0, magnitude, 0);
}

Decimal Decimal::from_uint64(uint64_t value) { return Decimal(false, value, 0); }

Decimal Decimal::rounded(uint32_t places) const {
    const uint128 c = coefficient();
    if (c == 0) return Decimal(false, 0, places);
    const uint32_t dropped = scale_ - places;
    const uint128 divisor = power_of_ten[dropped];
    uint128 quotient = c / divisor;
    const uint128 remainder = c - quotient * divisor;
    const uint128 half = divisor / 2;
    if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
    return Decimal(negative_, quotient, places);
}

int compare(const Decimal& a, const Decimal& b) {
    const uint128 ca = a.coefficient();
    const uint128 cb = b.coefficient();
    const int sign_a = ca == 0 ? 0 : (a.negative() ? -1 : 1);
    const int sign_b = cb == 0 ? 0 : (b.negative() ? -1 : 1);
    if (sign_a != sign_b) return sign_a < sign_b ? -1 : 1;
    if (sign_a == 0) return 0;

    // Bring both magnitudes to the larger scale. A coefficient that would
    // leave 128 bits there is certainly the larger one: the other is below 2^96.
    int magnitude_order;
    const uint32_t sa = a.scale();
    const uint32_t sb = b.scale();
    auto order = [](uint128 x, uint128 y) { return x < y ? -1 : (x > y ? 1 : 0); };
    if (sa == sb) {
        magnitude_order = order(ca, cb);
    } else if (sa < sb) {
        const uint128 factor = power_of_ten[sb - sa];
        magnitude_order = ca > ~uint128(0) / factor ? 1 : order(ca * factor, cb);
    } else {
        const uint128 factor = power_of_ten[sa - sb];
        magnitude_order = cb > ~uint128(0) / factor ? -1 : order(ca, cb * factor);
    }
    return sign_a < 0 ? -magnitude_order : magnitude_order;
}

size_t Decimal::write(char* buffer) const {
    // Digits of the coefficient written backwards from the end of a scratch
    // area (29 digits at most). The 96 bits are split into chunks of nine
    // decimal digits by long division on 32-bit limbs, which keeps every
    // step in 64-bit arithmetic.
    char digits[40];
    char* const digits_end = digits + sizeof digits;
    char* first = digits_end;
    uint64_t rest = low_;
    if (high_ != 0) {
        uint32_t limbs[3] = {high_, static_cast<uint32_t>(low_ >> 32), static_cast<uint32_t>(low_)};
        for (;;) {
            uint64_t remainder = 0;
            for (uint32_t& limb : limbs) {
                const uint64_t current = remainder << 32 | limb;
                limb = static_cast<uint32_t>(current / 1000000000);
                remainder = current % 1000000000;
            }
            auto chunk = static_cast<uint32_t>(remainder);
            for (int i = 0; i < 9; ++i) {
                *--first = static_cast<char>('0' + chunk % 10);
                chunk /= 10;
            }
            if (limbs[0] == 0) break;  // the rest now fits 64 bits
        }
        rest = static_cast<uint64_t>(limbs[1]) << 32 | limbs[2];
    }
    // Two digits a step.
    while (rest >= 100) {
        first -= 2;
        std::memcpy(first, digit_pairs.text + 2 * (rest % 100), 2);
        rest /= 100;
    }
    if (rest >= 10) {
        first -= 2;
        std::memcpy(first, digit_pairs.text + 2 * rest, 2);
    } else {
        *--first = static_cast<char>('0' + rest);
    }
    // Chunk digits may have left leading zeros; keep at least one digit.
    while (first < digits_end - 1 && *first == '0') ++first;

    // At least scale + 1 digits, so that something stands before the point.
    const int scale = scale_;
    while (digits_end - first < scale + 1) *--first = '0';

    char* out = buffer;
    if (negative_) *out++ = '-';
    const size_t whole = static_cast<size_t>(digits_end - first - scale);
    std::memcpy(out, first, whole);
    out += whole;
    if (scale > 0) {
        *out++ = '.';
        std::memcpy(out, first + whole, static_cast<size_t>(scale));
        out += scale;
    }
    return static_cast<size_t>(out - buffer);
}

std::string Decimal::to_string() const {
    char buffer[text_capacity];
    return std::string(buffer, write(buffer));
}

}  // namespace kelvane
