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

// One reading in the fixed layout. Components the pattern does not read are 0.
struct FixedReading {
    int32_t year;
    uint8_t month;
    uint8_t day;
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
    bool read(std::string_view text, FixedReading& reading) const;

    // Whether a reading resolves to a date (year, month and day read) and to
    // a time of day (hour and minute, and a second if a fraction is read).
    bool gives_date() const { return gives_date_; }
    bool gives_time() const { return gives_time_; }

private:
    struct Run {
        uint8_t position;
        uint8_t width;
        FixedNumber number;
    };

    bool has(FixedNumber number) const { return (present_ >> static_cast<unsigned>(number)) & 1u; }

    std::array<uint64_t, max_length / 8> literal_words_{};  // expected bytes outside the digits
    std::array<uint64_t, max_length / 8> digit_masks_{};    // 0xFF at every digit
    std::array<Run, static_cast<size_t>(FixedNumber::count_)> runs_{};
    uint8_t run_count_ = 0;
    uint8_t length_ = 0;
    uint16_t present_ = 0;
    bool fraction_tail_ = false;
    bool blank_open_ = false;  // the last item was a blank
    bool gives_date_ = false;
    bool gives_time_ = false;
};

}  // namespace kelvane
