// Straight-line reading of date/time patterns whose texts have one fixed
// layout: runs of digits of fixed width between literal bytes (`%Y-%m-%d`,
// `%H:%M:%S%.f`, `%d/%m/%Y %H:%M`, ...). Texts in that layout are read with a
// few word compares and direct range checks; any other text is left to the
// item-by-item reader, which gives the same answer for the ones read here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kelvane {

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
    bool read(std::string_view text, FixedReading& reading) const { return reader_(*this, text, reading); }

    // Whether a reading resolves to a date (year, month and day read) and to
    // a time of day (hour and minute, and a second if a fraction is read).
    bool gives_date() const { return gives_date_; }
    bool gives_time() const { return gives_time_; }

private:
    using Reader = bool (*)(const FixedPattern&, std::string_view, FixedReading&);
    // The reading of a layout of `Words` words to check (0: shorter than
    // one) holding the numbers of the mask `Numbers` (all_numbers: any,
    // looked up in present_). Each common shape has its own, with no test for
    // what it lacks.
    static constexpr unsigned all_numbers = 0xFFFF;
    template <unsigned Words, unsigned Numbers>
    static bool read_layout(const FixedPattern& layout, std::string_view text, FixedReading& reading);
    static Reader reader_for(unsigned words, unsigned numbers);

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
    Reader reader_ = nullptr;
    uint8_t length_ = 0;
    uint16_t present_ = 0;
    bool fraction_tail_ = false;
    bool blank_open_ = false;  // the last item was a blank
    bool gives_date_ = false;
    bool gives_time_ = false;
};

}  // namespace kelvane
