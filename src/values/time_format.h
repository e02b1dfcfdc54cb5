// Reading date/time field texts under percent-specifier patterns into dates,
// times of day and naive date-times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "civil.h"

namespace kelvane {

// Seconds of the day (0..86399) and nanoseconds (0..1,999,999,999; from
// 1,000,000,000 on the reading was a leap second and `seconds` ends in :59).
struct TimeOfDay {
    uint32_t seconds;
    uint32_t nanosecond;
};

struct NaiveDateTime {
    CivilDate date;
    TimeOfDay time;
};

// One step of a prepared pattern. `argument` and the literal span mean
// different things per kind; see time_format.cpp.
struct TimeItem {
    enum class Kind : uint8_t {
        whitespace,        // skip any run of whitespace, possibly empty
        literal,           // bytes [offset, offset + length) of the literal store
        numeric,           // argument: which number (NumericKind in the reader)
        month_name,        // argument 1: the rest of the full name may follow
        weekday_name,      // argument 1: the rest of the full name may follow
        half_day,          // am / pm in any case
        fraction_dot,      // optional `.` and digits
        fraction_digits,   // argument: exactly this many digits
        offset,            // argument 1: permissive (`Z`, minutes optional at the end)
        zone_name,         // skipped up to whitespace
        rfc3339,           // a whole RFC 3339 date-time
        error,             // a malformed specifier: every reading that reaches it fails
    };
    Kind kind;
    uint8_t argument = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
};

// A pattern prepared once for repeated readings. Preparing never fails: a
// malformed specifier only fails the readings that reach it.
class TimeFormat {
public:
    TimeFormat() = default;
    explicit TimeFormat(std::string_view pattern);

    const std::string& pattern() const { return pattern_; }
    const std::vector<TimeItem>& items() const { return items_; }
    // Literal bytes the items refer to (composites bring their own separators).
    std::string_view literal(const TimeItem& item) const {
        return std::string_view(literals_).substr(item.offset, item.length);
    }

private:
    std::string pattern_;
    std::string literals_;
    std::vector<TimeItem> items_;
};

std::optional<CivilDate> parse_date(std::string_view text, const TimeFormat& format);
std::optional<TimeOfDay> parse_time(std::string_view text, const TimeFormat& format);
std::optional<NaiveDateTime> parse_datetime(std::string_view text, const TimeFormat& format);

}  // namespace kelvane
