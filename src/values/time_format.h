// Reading date/time field texts under percent-specifier patterns into dates,
// times of day and naive date-times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// A pattern prepared once for repeated readings. Preparing never fails: a
// malformed specifier only fails the readings that reach it.
class TimeFormat {
public:
    TimeFormat() = default;
    explicit TimeFormat(std::string_view pattern);

    const std::string& pattern() const { return pattern_; }

private:
    std::string pattern_;
};

std::optional<CivilDate> parse_date(std::string_view text, const TimeFormat& format);
std::optional<TimeOfDay> parse_time(std::string_view text, const TimeFormat& format);
std::optional<NaiveDateTime> parse_datetime(std::string_view text, const TimeFormat& format);

}  // namespace kelvane
