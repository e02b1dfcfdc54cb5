// Reading date/time field texts under percent-specifier patterns into dates,
// times of day and naive date-times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "civil.h"
#include "fixed_pattern.h"

namespace kelvane {

// Seconds of the day (0..86399) and nanoseconds (0..999,999,999). A leap
// second (:60) is flagged and counted as :59 in `seconds`.
struct TimeOfDay {
    uint32_t seconds;
    uint32_t nanosecond;
    bool leap_second = false;
};

struct NaiveDateTime {
    CivilDate date;
    TimeOfDay time;
};

// One step of a compiled pattern, two bytes. `argument` means different
// things per kind; see time_format.cpp.
struct TimeItem {
    enum class Kind : uint8_t {
        whitespace,       // skip any run of whitespace, possibly empty
        character,        // argument: the one byte to match
        literal,          // argument: match the next `argument` bytes of the literals
        numeric,          // argument: which number (NumericKind in the reader)
        month_name,       // argument 1: the rest of the full name may follow
        weekday_name,     // argument 1: the rest of the full name may follow
        half_day,         // am / pm in any case
        fraction_dot,     // optional `.` and digits
        fraction_digits,  // argument: exactly this many digits
        offset,           // argument 1: permissive (`Z`, minutes optional at the end)
        zone_name,        // skipped up to whitespace
        rfc3339,          // a whole RFC 3339 date-time
        composite,        // argument: a fixed run of items (Composite in the reader)
        error,            // a malformed specifier: every reading that reaches it fails
    };
    Kind kind;
    uint8_t argument = 0;
};

// A pattern compiled once for repeated readings, at most about two bytes a
// pattern byte plus a fixed layout when it has one. Compiling never fails: a
// malformed specifier only fails the readings that reach it.
class TimeFormat {
public:
    TimeFormat() = default;
    explicit TimeFormat(std::string_view pattern);

    const std::vector<TimeItem>& items() const { return items_; }
    // The bytes of the literal items end to end, in item order.
    std::string_view literals() const { return literals_; }
    // The fixed layout of the pattern's texts, when it has one.
    const FixedPattern* fixed() const { return fixed_ ? &*fixed_ : nullptr; }

private:
    std::vector<TimeItem> items_;
    std::string literals_;
    std::optional<FixedPattern> fixed_;
};

// The item-by-item reading. Every text read in a fixed layout must read the
// same here (the time fuzz target checks it).
std::optional<CivilDate> parse_date_by_items(std::string_view text, const TimeFormat& format);
std::optional<TimeOfDay> parse_time_by_items(std::string_view text, const TimeFormat& format);
std::optional<NaiveDateTime> parse_datetime_by_items(std::string_view text, const TimeFormat& format);

// Texts in the format's fixed layout are read straight (inline, into the
// caller's value); the others, item by item. False when the text does not
// read.
inline bool read_date(std::string_view text, const TimeFormat& format, CivilDate& date) {
    FixedReading reading;
    if (const FixedPattern* fixed = format.fixed();
        fixed != nullptr && fixed->gives_date() && fixed->read(text, reading) &&
        static_cast<int>(reading.day) <= days_in_month(reading.year, static_cast<int>(reading.month))) {
        date.year = reading.year;
        date.month = static_cast<uint8_t>(reading.month);
        date.day = static_cast<uint8_t>(reading.day);
        return true;
    }
    const std::optional<CivilDate> read = parse_date_by_items(text, format);
    if (read) date = *read;
    return read.has_value();
}

inline bool read_time(std::string_view text, const TimeFormat& format, TimeOfDay& time) {
    FixedReading reading;
    if (const FixedPattern* fixed = format.fixed();
        fixed != nullptr && fixed->gives_time() && fixed->read(text, reading)) {
        time.seconds = reading.seconds;
        time.nanosecond = reading.nanosecond;
        time.leap_second = reading.leap_second;
        return true;
    }
    const std::optional<TimeOfDay> read = parse_time_by_items(text, format);
    if (read) time = *read;
    return read.has_value();
}

inline bool read_datetime(std::string_view text, const TimeFormat& format, NaiveDateTime& datetime) {
    FixedReading reading;
    if (const FixedPattern* fixed = format.fixed();
        fixed != nullptr && fixed->gives_date() && fixed->gives_time() && fixed->read(text, reading) &&
        static_cast<int>(reading.day) <= days_in_month(reading.year, static_cast<int>(reading.month))) {
        datetime.date.year = reading.year;
        datetime.date.month = static_cast<uint8_t>(reading.month);
        datetime.date.day = static_cast<uint8_t>(reading.day);
        datetime.time.seconds = reading.seconds;
        datetime.time.nanosecond = reading.nanosecond;
        datetime.time.leap_second = reading.leap_second;
        return true;
    }
    const std::optional<NaiveDateTime> read = parse_datetime_by_items(text, format);
    if (read) datetime = *read;
    return read.has_value();
}

std::optional<CivilDate> parse_date(std::string_view text, const TimeFormat& format);
std::optional<TimeOfDay> parse_time(std::string_view text, const TimeFormat& format);
std::optional<NaiveDateTime> parse_datetime(std::string_view text, const TimeFormat& format);

}  // namespace kelvane
