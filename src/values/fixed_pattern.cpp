// Building a fixed layout: the expected bytes and digit masks of each word
// the reading checks (the reading itself is inline in fixed_pattern.h).
#include "fixed_pattern.h"

#include <cstring>


namespace kelvane {

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
    return true;
}

}  // namespace kelvane
