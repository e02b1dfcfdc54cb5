// Fixed-layout date/time reading: the layout as expected bytes and digit
// masks, checked eight bytes at a time, then each run of digits converted
// and range-checked directly.
#include "fixed_pattern.h"

#include <cstring>

#include "ascii.h"

namespace kelvane {
namespace {

constexpr uint64_t repeat_byte(uint8_t byte) { return byte * 0x0101010101010101u; }

uint64_t load_word(const unsigned char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Copies `length` (1..32) bytes with fixed-size moves that may overlap, so
// that no variable-length copy runs per reading.
void copy_prefix(unsigned char* out, const char* in, size_t length) {
    if (length >= 16) {
        std::memcpy(out, in, 16);
        std::memcpy(out + length - 16, in + length - 16, 16);
    } else if (length >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + length - 8, in + length - 8, 8);
    } else if (length >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + length - 4, in + length - 4, 4);
    } else {
        for (size_t k = 0; k < length; ++k) out[k] = static_cast<unsigned char>(in[k]);
    }
}

uint32_t two_digits(const unsigned char* at) { return at[0] * 10u + at[1] - '0' * 11u; }

}  // namespace

bool FixedPattern::add_digits(FixedNumber number, unsigned width) {
    const auto bit = static_cast<uint16_t>(1u << static_cast<unsigned>(number));
    // A number read twice must agree with itself; a full year beside a
    // two-digit one must agree with it: the item-by-item reader handles both.
    const bool conflicting_year =
        (number == FixedNumber::year && has(FixedNumber::year_mod_100)) ||
        (number == FixedNumber::year_mod_100 && has(FixedNumber::year));
    if ((present_ & bit) != 0 || conflicting_year || fraction_tail_ || length_ + width > max_length) return false;
    runs_[run_count_++] = Run{length_, static_cast<uint8_t>(width), number};
    for (unsigned k = 0; k < width; ++k) {
        const unsigned at = length_ + k;
        digit_masks_[at / 8] |= uint64_t{0xFF} << (8 * (at % 8));
    }
    length_ = static_cast<uint8_t>(length_ + width);
    present_ |= bit;
    blank_open_ = false;
    return true;
}

bool FixedPattern::add_literal(std::string_view bytes) {
    if (fraction_tail_ || bytes.empty() || length_ + bytes.size() > max_length) return false;
    for (const char c : bytes) {
        const unsigned at = length_++;
        literal_words_[at / 8] |= uint64_t{static_cast<unsigned char>(c)} << (8 * (at % 8));
    }
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
    if (run_count_ == 0 || blank_open_) return false;
    const bool any_year = has(FixedNumber::year) || has(FixedNumber::year_mod_100);
    gives_date_ = any_year && has(FixedNumber::month) && has(FixedNumber::day);
    // A fraction belongs to a second.
    gives_time_ = has(FixedNumber::hour) && has(FixedNumber::minute) &&
                  (has(FixedNumber::second) || !(has(FixedNumber::nanosecond) || fraction_tail_));
    return true;
}

bool FixedPattern::read(std::string_view text, FixedReading& reading) const {
    const size_t size = text.size();
    if (size != length_ && !(fraction_tail_ && size > length_)) return false;
    unsigned char bytes[max_length] = {};
    copy_prefix(bytes, text.data(), length_);
    // Literal bytes must match, digit positions hold '0'..'9' (high nibble 3
    // and no carry out of the low one when adding 6).
    uint64_t mismatch = 0;
    for (size_t w = 0; w < max_length / 8; ++w) {
        const uint64_t word = load_word(bytes + 8 * w);
        const uint64_t mask = digit_masks_[w];
        const uint64_t high_nibbles = mask & repeat_byte(0xF0);
        const uint64_t threes = mask & repeat_byte(0x30);
        mismatch |= ((word ^ literal_words_[w]) & ~mask) | ((word & high_nibbles) ^ threes) |
                    (((word + (mask & repeat_byte(0x06))) & high_nibbles) ^ threes);
    }
    if (mismatch != 0) return false;

    uint32_t values[static_cast<size_t>(FixedNumber::count_)] = {};
    for (unsigned r = 0; r < run_count_; ++r) {
        const Run run = runs_[r];
        const unsigned char* digits = bytes + run.position;
        uint32_t value;
        if (run.width == 2) {
            value = two_digits(digits);
        } else if (run.width == 4) {
            value = two_digits(digits) * 100 + two_digits(digits + 2);
        } else {
            value = 0;
            for (unsigned k = 0; k < run.width; ++k) value = value * 10 + (digits[k] - '0');
            // A fraction of fewer than nine digits is scaled; %f counts them.
            for (unsigned k = run.width; k < 9 && run.number == FixedNumber::nanosecond; ++k) value *= 10;
        }
        values[static_cast<unsigned>(run.number)] = value;
    }
    const auto value = [&values](FixedNumber number) { return values[static_cast<unsigned>(number)]; };
    const auto within = [&](FixedNumber number, uint32_t low, uint32_t high) {
        return !has(number) || (value(number) >= low && value(number) <= high);
    };
    if (!within(FixedNumber::month, 1, 12) || !within(FixedNumber::day, 1, 31) ||
        !within(FixedNumber::hour, 0, 23) || !within(FixedNumber::minute, 0, 59) ||
        !within(FixedNumber::second, 0, 60)) {
        return false;
    }

    uint32_t nanosecond = value(FixedNumber::nanosecond);
    if (size > length_) {
        // The fraction: a dot and one or more digits, the first nine counting.
        if (text[length_] != '.' || size == length_ + 1u) return false;
        nanosecond = 0;
        for (size_t at = length_ + 1u; at < size; ++at) {
            if (!is_digit(text[at])) return false;
            if (at < length_ + 10u) nanosecond = nanosecond * 10 + static_cast<uint32_t>(text[at] - '0');
        }
        for (size_t digits = size - length_ - 1; digits < 9; ++digits) nanosecond *= 10;
    }

    const uint32_t two_digit_year = value(FixedNumber::year_mod_100);
    reading.year = has(FixedNumber::year) ? static_cast<int32_t>(value(FixedNumber::year))
                   : has(FixedNumber::year_mod_100)
                       ? static_cast<int32_t>(two_digit_year < 70 ? 2000 + two_digit_year : 1900 + two_digit_year)
                       : 0;
    reading.month = static_cast<uint8_t>(value(FixedNumber::month));
    reading.day = static_cast<uint8_t>(value(FixedNumber::day));
    const uint32_t second = value(FixedNumber::second);
    reading.leap_second = second == 60;
    reading.seconds = value(FixedNumber::hour) * 3600 + value(FixedNumber::minute) * 60 + (second == 60 ? 59 : second);
    reading.nanosecond = nanosecond;
    return true;
}

}  // namespace kelvane
