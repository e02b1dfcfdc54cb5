// Straight-line reading of date/time patterns whose texts have one fixed
// layout: runs of digits of fixed width between literal bytes (`%Y-%m-%d`,
// `%H:%M:%S%.f`, `%d/%m/%Y %H:%M`, ...). Texts in that layout are read with a
// few word compares and direct range checks; any other text is left to the
// item-by-item reader, which gives the same answer for the ones read here.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "ascii.h"

namespace kelvane {

namespace fixed_detail {

constexpr uint64_t repeat_byte(uint8_t byte) { return byte * 0x0101010101010101u; }

template <class Word>
inline Word load(const char* at) {
    Word word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The first `length` bytes at `at` in the low bytes of a word (length below
// 8; the bytes above them are garbage, masked by the caller). Two loads that
// may overlap: no byte is read past `length`.
inline uint64_t load_short(const char* at, size_t length) {
    if (length >= 4) {
        return load<uint32_t>(at) | uint64_t{load<uint32_t>(at + length - 4)} << (8 * (length - 4));
    }
    uint64_t word = 0;
    for (size_t k = 0; k < length; ++k) word |= uint64_t{static_cast<unsigned char>(at[k])} << (8 * k);
    return word;
}

inline uint32_t two_digits(const char* at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(at[0]) * 10u + static_cast<unsigned char>(at[1])) -
           '0' * 11u;
}

inline uint32_t four_digits(const char* at) { return two_digits(at) * 100 + two_digits(at + 2); }

}  // namespace fixed_detail

// What a run of digits sets.
enum class FixedNumber : uint8_t {
    year,          // %Y: 4 digits
    year_mod_100,  // %y: 2 digits, 00..69 are 2000..2069
    month,
    day,
    hour,          // %H: 0..23
    minute,
    second,        // 0..60, 60 a leap second
    nanosecond,    // %f (9 digits, a count) or %3f %6f %9f (scaled)
    count_,
};

// One reading in the fixed layout. Numbers the pattern does not read hold
// values in their range (a month or day of 1, otherwise 0).
struct FixedReading {
    int32_t year;
    uint32_t month;
    uint32_t day;
    uint32_t seconds;     // of the day; a leap second counts as :59
    uint32_t nanosecond;  // 0..999,999,999
    bool leap_second;
};

class FixedPattern {
public:
    // The layout is at most this long, not counting a fraction at the end.
    static constexpr size_t max_length = 32;

    // Building, item by item; each returns false when the pattern leaves the
    // shape (the pattern then has no fixed layout).
    bool add_digits(FixedNumber number, unsigned width);
    bool add_literal(std::string_view bytes);
    // A whitespace item: one blank in the layout. It must be followed by
    // digits or a literal.
    bool add_blank();
    // `%.f` as the last item: an optional dot and digits after the layout.
    bool add_fraction_tail();
    // Completes the layout; false when it reads nothing or ends in a blank.
    bool finish();

    // The text read in the layout, or false when the text is not in the
    // layout or a number is out of its range (the item-by-item reader then
    // decides). Every number read is checked as setting it would check it.
    [[gnu::always_inline]] bool read(std::string_view text, FixedReading& reading) const;

    // Whether a reading resolves to a date (year, month and day read) and to
    // a time of day (hour and minute, and a second if a fraction is read).
    bool gives_date() const { return gives_date_; }
    bool gives_time() const { return gives_time_; }

private:
    bool has(FixedNumber number) const { return (present_ >> static_cast<unsigned>(number)) & 1u; }

    // Bytes as built: the literal bytes, and which positions are digits.
    std::array<char, max_length> literal_bytes_{};
    uint32_t digit_positions_ = 0;
    // The layout as words read at word_offsets_ (the last one may overlap its
    // neighbour, so that no word reaches past the layout; unused words are
    // read at 0 and checked against nothing).
    std::array<uint64_t, max_length / 8> literal_words_{};  // expected bytes outside the digits
    std::array<uint64_t, max_length / 8> digit_masks_{};    // 0xFF at every digit
    std::array<uint64_t, max_length / 8> care_masks_{};     // 0xFF at every byte of the layout
    std::array<uint8_t, max_length / 8> word_offsets_{};
    // Where each number's digits begin.
    std::array<uint8_t, static_cast<size_t>(FixedNumber::count_)> positions_{};
    uint8_t nanosecond_width_ = 0;
    uint8_t length_ = 0;
    uint16_t present_ = 0;
    bool fraction_tail_ = false;
    bool blank_open_ = false;  // the last item was a blank
    bool gives_date_ = false;
    bool gives_time_ = false;
};

// The reading is inline: its result stays in registers for the caller.
inline bool FixedPattern::read(std::string_view text, FixedReading& reading) const {
    const size_t size = text.size();
    if (size != length_ && !(fraction_tail_ && size > length_)) return false;
    const char* const p = text.data();
    // Literal bytes must match, digit positions hold '0'..'9' (high nibble 3
    // and no carry out of the low one when adding 6).
    uint64_t mismatch = 0;
    const auto check = [&](uint64_t word, unsigned w) {
        const uint64_t mask = digit_masks_[w];
        const uint64_t high_nibbles = mask & fixed_detail::repeat_byte(0xF0);
        const uint64_t threes = mask & fixed_detail::repeat_byte(0x30);
        mismatch |= ((word ^ literal_words_[w]) & ~mask & care_masks_[w]) | ((word & high_nibbles) ^ threes) |
                    (((word + (mask & fixed_detail::repeat_byte(0x06))) & high_nibbles) ^ threes);
    };
    if (length_ < 8) {
        check(fixed_detail::load_short(p, length_), 0);
    } else {
        for (unsigned w = 0; w < max_length / 8; ++w) check(fixed_detail::load<uint64_t>(p + word_offsets_[w]), w);
    }
    if (mismatch != 0) return false;

    // Every number is read, from the text or, when the layout lacks it,
    // from digits that pass its range.
    const auto digits_of = [&](FixedNumber number, const char* absent) {
        return has(number) ? p + positions_[static_cast<unsigned>(number)] : absent;
    };
    const uint32_t year = fixed_detail::four_digits(digits_of(FixedNumber::year, "0000"));
    const uint32_t two_digit_year = fixed_detail::two_digits(digits_of(FixedNumber::year_mod_100, "00"));
    const uint32_t month = fixed_detail::two_digits(digits_of(FixedNumber::month, "01"));
    const uint32_t day = fixed_detail::two_digits(digits_of(FixedNumber::day, "01"));
    const uint32_t hour = fixed_detail::two_digits(digits_of(FixedNumber::hour, "00"));
    const uint32_t minute = fixed_detail::two_digits(digits_of(FixedNumber::minute, "00"));
    const uint32_t second = fixed_detail::two_digits(digits_of(FixedNumber::second, "00"));
    // The ranges that setting each number checks.
    if ((month - 1 > 11) | (day - 1 > 30) | (hour > 23) | (minute > 59) | (second > 60)) return false;

    uint32_t nanosecond = 0;
    if (nanosecond_width_ != 0) {
        // %f counts nanoseconds in its nine digits; %3f and %6f are scaled.
        const char* digits = p + positions_[static_cast<unsigned>(FixedNumber::nanosecond)];
        for (unsigned k = 0; k < 9; ++k) {
            nanosecond = nanosecond * 10 + (k < nanosecond_width_ ? static_cast<uint32_t>(digits[k] - '0') : 0);
        }
    }
    if (size > length_) {
        // The fraction: a dot and one or more digits, the first nine counting.
        if (p[length_] != '.' || size == length_ + 1u) return false;
        for (size_t at = length_ + 1u; at < size; ++at) {
            if (!is_digit(p[at])) return false;
            if (at < length_ + 10u) nanosecond = nanosecond * 10 + static_cast<uint32_t>(p[at] - '0');
        }
        for (size_t digits = size - length_ - 1; digits < 9; ++digits) nanosecond *= 10;
    }

    const uint32_t century_year = two_digit_year < 70 ? 2000 + two_digit_year : 1900 + two_digit_year;
    reading.year = static_cast<int32_t>(has(FixedNumber::year) ? year
                                        : has(FixedNumber::year_mod_100) ? century_year
                                                                         : 0);
    reading.month = month;
    reading.day = day;
    reading.leap_second = second == 60;
    reading.seconds = hour * 3600 + minute * 60 + (second == 60 ? 59 : second);
    reading.nanosecond = nanosecond;
    return true;
}

}  // namespace kelvane
