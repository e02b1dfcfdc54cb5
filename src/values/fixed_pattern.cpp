// Fixed-layout date/time reading: the layout as expected bytes and digit
// masks, checked a word at a time straight from the text, then every number
// converted and range-checked directly, by a reading made for the layout's
// shape.
#include "fixed_pattern.h"

#include <cstring>

#include "ascii.h"


namespace kelvane {
namespace {

constexpr uint64_t repeat_byte(uint8_t byte) { return byte * 0x0101010101010101u; }

uint64_t load_word(const char* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The first `length` bytes at `at` in the low bytes of a word (length below
// 8; the bytes above them are garbage, masked by the caller). Two loads that
// may overlap: no byte is read past `length`.
uint64_t load_short(const char* at, size_t length) {
    if (length >= 4) {
        uint32_t low;
        uint32_t high;
        std::memcpy(&low, at, 4);
        std::memcpy(&high, at + length - 4, 4);
        return low | uint64_t{high} << (8 * (length - 4));
    }
    uint64_t word = 0;
    for (size_t k = 0; k < length; ++k) word |= uint64_t{static_cast<unsigned char>(at[k])} << (8 * k);
    return word;
}

uint32_t two_digits(const char* at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(at[0]) * 10u + static_cast<unsigned char>(at[1])) -
           '0' * 11u;
}

uint32_t four_digits(const char* at) { return two_digits(at) * 100 + two_digits(at + 2); }

constexpr unsigned bit(FixedNumber number) { return 1u << static_cast<unsigned>(number); }

// The shapes with a reading of their own.
constexpr unsigned date = bit(FixedNumber::year) | bit(FixedNumber::month) | bit(FixedNumber::day);
constexpr unsigned short_date = bit(FixedNumber::year_mod_100) | bit(FixedNumber::month) | bit(FixedNumber::day);
constexpr unsigned hour_minute = bit(FixedNumber::hour) | bit(FixedNumber::minute);
constexpr unsigned time_of_day = hour_minute | bit(FixedNumber::second);
constexpr unsigned fine_time = time_of_day | bit(FixedNumber::nanosecond);

}  // namespace

bool FixedPattern::add_digits(FixedNumber number, unsigned width) {
    const auto bit = static_cast<uint16_t>(1u << static_cast<unsigned>(number));
    // A number read twice must agree with itself; a full year beside a
    // two-digit one must agree with it: the item-by-item reader handles both.
    const bool conflicting_year =
        (number == FixedNumber::year && has(FixedNumber::year_mod_100)) ||
        (number == FixedNumber::year_mod_100 && has(FixedNumber::year));
    if ((present_ & bit) != 0 || conflicting_year || fraction_tail_ || length_ + width > max_length) return false;
    positions_[static_cast<unsigned>(number)] = length_;
    if (number == FixedNumber::nanosecond) nanosecond_width_ = static_cast<uint8_t>(width);
    for (unsigned k = 0; k < width; ++k) digit_positions_ |= 1u << (length_ + k);
    length_ = static_cast<uint8_t>(length_ + width);
    present_ |= bit;
    blank_open_ = false;
    return true;
}

bool FixedPattern::add_literal(std::string_view bytes) {
    if (fraction_tail_ || bytes.empty() || length_ + bytes.size() > max_length) return false;
    for (const char c : bytes) literal_bytes_[length_++] = c;
    blank_open_ = false;
    return true;
}

bool FixedPattern::add_blank() {
    // Two blanks in a row would read one run of whitespace.
    if (blank_open_ || length_ == 0) return false;
    if (!add_literal(" ")) return false;
    blank_open_ = true;
    return true;
}

bool FixedPattern::add_fraction_tail() {
    if (fraction_tail_ || blank_open_ || has(FixedNumber::nanosecond)) return false;
    fraction_tail_ = true;
    return true;
}

bool FixedPattern::finish() {
    if (present_ == 0 || blank_open_) return false;
    const bool any_year = has(FixedNumber::year) || has(FixedNumber::year_mod_100);
    gives_date_ = any_year && has(FixedNumber::month) && has(FixedNumber::day);
    // A fraction belongs to a second.
    gives_time_ = has(FixedNumber::hour) && has(FixedNumber::minute) &&
                  (has(FixedNumber::second) || !(has(FixedNumber::nanosecond) || fraction_tail_));

    const unsigned word_count = (length_ + 7) / 8u;
    for (unsigned w = 0; w < word_count; ++w) {
        const unsigned offset = length_ < 8 ? 0 : (8 * w + 8 <= length_ ? 8 * w : length_ - 8u);
        word_offsets_[w] = static_cast<uint8_t>(offset);
        for (unsigned k = 0; k < 8 && offset + k < length_; ++k) {
            const unsigned at = offset + k;
            care_masks_[w] |= uint64_t{0xFF} << (8 * k);
            if ((digit_positions_ >> at) & 1u) {
                digit_masks_[w] |= uint64_t{0xFF} << (8 * k);
            } else {
                literal_words_[w] |= uint64_t{static_cast<unsigned char>(literal_bytes_[at])} << (8 * k);
            }
        }
    }
    reader_ = reader_for(length_ < 8 ? 0 : word_count, present_);
    return true;
}

template <unsigned Words, unsigned Numbers>
bool FixedPattern::read_layout(const FixedPattern& layout, std::string_view text, FixedReading& reading) {
    const auto has = [&layout](FixedNumber number) {
        return Numbers == all_numbers ? layout.has(number) : (Numbers & bit(number)) != 0;
    };
    const size_t length_ = layout.length_;
    const size_t size = text.size();
    if (size != length_ && !(layout.fraction_tail_ && size > length_)) return false;
    const char* const p = text.data();
    // Literal bytes must match, digit positions hold '0'..'9' (high nibble 3
    // and no carry out of the low one when adding 6).
    uint64_t mismatch = 0;
    const auto check = [&](uint64_t word, unsigned w) {
        const uint64_t mask = layout.digit_masks_[w];
        const uint64_t high_nibbles = mask & repeat_byte(0xF0);
        const uint64_t threes = mask & repeat_byte(0x30);
        mismatch |= ((word ^ layout.literal_words_[w]) & ~mask & layout.care_masks_[w]) | ((word & high_nibbles) ^ threes) |
                    (((word + (mask & repeat_byte(0x06))) & high_nibbles) ^ threes);
    };
    if constexpr (Words == 0) {
        check(load_short(p, length_), 0);
    } else {
        for (unsigned w = 0; w < Words; ++w) check(load_word(p + layout.word_offsets_[w]), w);
    }
    if (mismatch != 0) return false;

    // Every number is read, from the text or, when the layout lacks it,
    // from digits that pass its range.
    const auto digits_of = [&](FixedNumber number, const char* absent) {
        return has(number) ? p + layout.positions_[static_cast<unsigned>(number)] : absent;
    };
    const uint32_t year = four_digits(digits_of(FixedNumber::year, "0000"));
    const uint32_t two_digit_year = two_digits(digits_of(FixedNumber::year_mod_100, "00"));
    const uint32_t month = two_digits(digits_of(FixedNumber::month, "01"));
    const uint32_t day = two_digits(digits_of(FixedNumber::day, "01"));
    const uint32_t hour = two_digits(digits_of(FixedNumber::hour, "00"));
    const uint32_t minute = two_digits(digits_of(FixedNumber::minute, "00"));
    const uint32_t second = two_digits(digits_of(FixedNumber::second, "00"));
    // The ranges that setting each number checks.
    if ((month - 1 > 11) | (day - 1 > 30) | (hour > 23) | (minute > 59) | (second > 60)) return false;

    uint32_t nanosecond = 0;
    const unsigned nanosecond_width = layout.nanosecond_width_;
    if (has(FixedNumber::nanosecond)) {
        // %f counts nanoseconds in its nine digits; %3f and %6f are scaled.
        const char* digits = p + layout.positions_[static_cast<unsigned>(FixedNumber::nanosecond)];
        for (unsigned k = 0; k < 9; ++k) {
            nanosecond = nanosecond * 10 + (k < nanosecond_width ? static_cast<uint32_t>(digits[k] - '0') : 0);
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


FixedPattern::Reader FixedPattern::reader_for(unsigned words, unsigned numbers) {
    const auto of_words = [words]<unsigned Numbers>() -> Reader {
        switch (words) {
            case 0: return &read_layout<0, Numbers>;
            case 1: return &read_layout<1, Numbers>;
            case 2: return &read_layout<2, Numbers>;
            case 3: return &read_layout<3, Numbers>;
            default: return &read_layout<4, Numbers>;
        }
    };
    switch (numbers) {
        case date: return of_words.template operator()<date>();
        case short_date: return of_words.template operator()<short_date>();
        case hour_minute: return of_words.template operator()<hour_minute>();
        case time_of_day: return of_words.template operator()<time_of_day>();
        case fine_time: return of_words.template operator()<fine_time>();
        case date | hour_minute: return of_words.template operator()<date | hour_minute>();
        case date | time_of_day: return of_words.template operator()<date | time_of_day>();
        case date | fine_time: return of_words.template operator()<date | fine_time>();
        default: return of_words.template operator()<all_numbers>();
    }
}

}  // namespace kelvane
