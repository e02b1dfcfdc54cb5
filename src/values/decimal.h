// Decimal: exact fixed-point number (sign, 96-bit coefficient, scale 0..28)
// with its text conversions, comparison ignoring scale and half-even rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ascii.h"

namespace kelvane {

class Decimal {
public:
    static constexpr unsigned __int128 max_coefficient = (static_cast<unsigned __int128>(1) << 96) - 1;
    static constexpr uint32_t max_scale = 28;
    // The canonical text never exceeds 31 characters.
    static constexpr size_t text_capacity = 32;

    constexpr Decimal() = default;  // zero, scale 0

    // Field text: exact, fails at either limit. The common short texts are
    // read inline.
    static std::optional<Decimal> from_str_exact(std::string_view text) {
        Decimal value;
        if (read_short(text, value)) return value;
        return read_exactly(text);
    }
    // Schema text: like from_str_exact but rounds at the limits.
    static std::optional<Decimal> from_str(std::string_view text);
    // Schema text with an exponent ("1.5e-3").
    static std::optional<Decimal> from_scientific(std::string_view text);
    static Decimal from_int64(int64_t value);
    // From its parts; requires coefficient <= max_coefficient and
    // scale <= max_scale. A zero coefficient is never negative.
    static constexpr Decimal from_parts(bool negative, unsigned __int128 coefficient, uint32_t scale) {
        return Decimal(negative, coefficient, scale);
    }
    static Decimal from_uint64(uint64_t value);

    bool negative() const { return negative_; }
    unsigned __int128 coefficient() const {
        return static_cast<unsigned __int128>(high_) << 64 | low_;
    }
    uint32_t scale() const { return scale_; }

    // Round half to even to `places` digits after the point; never pads.
    Decimal round_dp(uint32_t places) const {
        if (places >= scale_) return *this;
        return rounded(places);
    }

    // Canonical text ("-1.50", "0.00", "100") into `buffer` (text_capacity
    // bytes); returns its length.
    size_t write(char* buffer) const;
    std::string to_string() const;

    // Value comparison: <0, 0 or >0. Scale never matters.
    friend int compare(const Decimal& a, const Decimal& b);

private:
    Decimal rounded(uint32_t places) const;  // places < scale
    static std::optional<Decimal> read_exactly(std::string_view text);

    // The common field text: optional sign, digits, optional point and
    // digits, 1..19 digits in all. Reads it, or returns false for anything
    // else (which read_exactly then decides).
    static bool read_short(std::string_view text, Decimal& value) {
        const char* p = text.data();
        const char* const end = p + text.size();
        const bool negative = take_sign(p, end);
        const auto length = static_cast<size_t>(end - p);
        if (length == 0 || length > 20) return false;
        size_t whole = 0;
        while (whole < length && p[whole] != '.') ++whole;
        const size_t places = whole == length ? 0 : length - whole - 1;
        if (whole + places == 0 || whole + places > 19) return false;
        uint64_t whole_value = 0;
        uint64_t fraction_value = 0;
        if (whole != 0 && !read_short_digits(p, whole, whole_value)) return false;
        if (places != 0 && !read_short_digits(p + whole + 1, places, fraction_value)) return false;
        value = Decimal(negative, static_cast<unsigned __int128>(whole_value) * small_powers[places] + fraction_value,
                        static_cast<uint32_t>(places));
        return true;
    }

    // 10^0 .. 10^19.
    static constexpr uint64_t small_powers[20] = {1u,
                                                  10u,
                                                  100u,
                                                  1000u,
                                                  10000u,
                                                  100000u,
                                                  1000000u,
                                                  10000000u,
                                                  100000000u,
                                                  1000000000u,
                                                  10000000000u,
                                                  100000000000u,
                                                  1000000000000u,
                                                  10000000000000u,
                                                  100000000000000u,
                                                  1000000000000000u,
                                                  10000000000000000u,
                                                  100000000000000000u,
                                                  1000000000000000000u,
                                                  10000000000000000000u};

    constexpr Decimal(bool negative, unsigned __int128 coefficient, uint32_t scale)
        : low_(static_cast<uint64_t>(coefficient)),
          high_(static_cast<uint32_t>(coefficient >> 64)),
          scale_(static_cast<uint8_t>(scale)),
          negative_(negative && coefficient != 0) {}

    // 96-bit coefficient split so that a Decimal takes 16 bytes.
    uint64_t low_ = 0;
    uint32_t high_ = 0;
    uint8_t scale_ = 0;
    bool negative_ = false;
};

}  // namespace kelvane
