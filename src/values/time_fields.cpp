// Range and agreement checks on date/time components, and the date, time and
// date-time rules that turn a filled record into a value.
#include "time_fields.h"

#include <limits>

namespace kelvane {
namespace {

constexpr int64_t i32_min = std::numeric_limits<int32_t>::min();
constexpr int64_t i32_max = std::numeric_limits<int32_t>::max();
constexpr int64_t i64_min = std::numeric_limits<int64_t>::min();
constexpr int64_t i64_max = std::numeric_limits<int64_t>::max();

struct Range {
    int64_t low;
    int64_t high;
};

// Indexed by Component.
constexpr Range component_ranges[] = {
    {i32_min, i32_max},      // year
    {0, i32_max},            // year_div_100
    {0, 99},                 // year_mod_100
    {i32_min, i32_max},      // isoyear
    {0, 99},                 // isoyear_mod_100
    {1, 12},                 // month
    {1, 31},                 // day
    {1, 366},                // ordinal
    {0, 53},                 // week_from_sun
    {0, 53},                 // week_from_mon
    {1, 53},                 // isoweek
    {0, 6},                  // weekday
    {0, 1},                  // hour_div_12
    {0, 11},                 // hour_mod_12
    {0, 59},                 // minute
    {0, 60},                 // second
    {0, 999'999'999},        // nanosecond
    {i64_min, i64_max},      // timestamp
    {i64_min, i64_max},      // offset
};
static_assert(std::size(component_ranges) == static_cast<size_t>(Component::count_));

constexpr int64_t seconds_per_day = 86400;

constexpr int64_t floor_mod(int64_t value, int64_t divisor) {
    const int64_t remainder = value % divisor;
    return remainder < 0 ? remainder + divisor : remainder;
}

constexpr int64_t floor_div(int64_t value, int64_t divisor) {
    return (value - floor_mod(value, divisor)) / divisor;
}

// 1970-01-01 was a Thursday.
constexpr int weekday_from_sunday(int64_t days) { return static_cast<int>(floor_mod(days + 4, 7)); }
constexpr int weekday_from_monday(int64_t days) { return static_cast<int>(floor_mod(days + 3, 7)); }

constexpr int days_in_year(int64_t year) { return is_leap_year(year) ? 366 : 365; }

// A year with its optional century and two-digit parts, combined by the year
// rule. `known` is false when none of the parts was read.
struct YearOutcome {
    Resolution status;
    bool known;
    int64_t value;
};

YearOutcome resolve_year(const Parsed& parsed, Component full, const Component* century,
                         Component two_digit) {
    const bool has_full = parsed.has(full);
    const bool has_century = century != nullptr && parsed.has(*century);
    const bool has_two_digit = parsed.has(two_digit);
    if (has_full) {
        const int64_t year = parsed.get(full);
        if (has_century || has_two_digit) {
            if (year < 0) return {Resolution::invalid, false, 0};
            if (has_century && year / 100 != parsed.get(*century)) return {Resolution::invalid, false, 0};
            if (has_two_digit && year % 100 != parsed.get(two_digit)) return {Resolution::invalid, false, 0};
        }
        return {Resolution::ok, true, year};
    }
    if (has_century && has_two_digit) {
        return {Resolution::ok, true, parsed.get(*century) * 100 + parsed.get(two_digit)};
    }
    if (has_two_digit) {
        const int64_t two = parsed.get(two_digit);
        return {Resolution::ok, true, two < 70 ? 2000 + two : 1900 + two};
    }
    if (has_century) return {Resolution::missing, false, 0};
    return {Resolution::ok, false, 0};
}

bool year_in_range(int64_t year) { return year >= min_resolved_year && year <= max_resolved_year; }

// Day of year (1-based) of the first day of `year` that falls on `weekday`
// (counted from the week's first day, as `first_weekday_of_jan1` is).
int first_weekday_ordinal(int first_weekday_of_jan1) { return 1 + (7 - first_weekday_of_jan1) % 7; }

// Week number of a day under the Sunday- or Monday-first rule: days before
// the year's first such weekday are week 0.
int64_t week_number(int ordinal, int weekday_from_week_start) {
    return (ordinal - 1 - weekday_from_week_start + 7) / 7;
}

struct IsoWeekDate {
    int64_t year;
    int64_t week;
};

IsoWeekDate iso_week_date(int64_t days) {
    // The ISO year and week are those of the Thursday of the day's week.
    const int64_t thursday = days - weekday_from_monday(days) + 3;
    const CivilDays civil = civil_from_days(thursday);
    const int64_t ordinal = thursday - days_from_civil(civil.year, 1, 1) + 1;
    return {civil.year, (ordinal - 1) / 7 + 1};
}

// Days since 1970-01-01 of a date from the components, before agreement.
Resolution find_date(const Parsed& parsed, const YearOutcome& year, const YearOutcome& isoyear,
                     int64_t& days) {
    using C = Component;
    if (year.known) {
        const int64_t y = year.value;
        if (parsed.has(C::month) && parsed.has(C::day)) {
            const int month = static_cast<int>(parsed.get(C::month));
            const int64_t day = parsed.get(C::day);
            if (!year_in_range(y) || day > days_in_month(y, month)) return Resolution::invalid;
            days = days_from_civil(y, month, static_cast<int>(day));
            return Resolution::ok;
        }
        if (parsed.has(C::ordinal)) {
            const int64_t ordinal = parsed.get(C::ordinal);
            if (!year_in_range(y) || ordinal > days_in_year(y)) return Resolution::invalid;
            days = days_from_civil(y, 1, 1) + ordinal - 1;
            return Resolution::ok;
        }
        const bool sunday_weeks = parsed.has(C::week_from_sun);
        if ((sunday_weeks || parsed.has(C::week_from_mon)) && parsed.has(C::weekday)) {
            if (!year_in_range(y)) return Resolution::invalid;
            const int64_t jan1 = days_from_civil(y, 1, 1);
            const int64_t weekday_sun = parsed.get(C::weekday);
            int first_day;
            int64_t week;
            int64_t into_week;
            if (sunday_weeks) {
                first_day = first_weekday_ordinal(weekday_from_sunday(jan1));
                week = parsed.get(C::week_from_sun);
                into_week = weekday_sun;
            } else {
                first_day = first_weekday_ordinal(weekday_from_monday(jan1));
                week = parsed.get(C::week_from_mon);
                into_week = (weekday_sun + 6) % 7;
            }
            const int64_t ordinal = first_day + 7 * (week - 1) + into_week;
            if (ordinal < 1 || ordinal > days_in_year(y)) return Resolution::invalid;
            days = jan1 + ordinal - 1;
            return Resolution::ok;
        }
    }
    if (isoyear.known && parsed.has(C::isoweek) && parsed.has(C::weekday)) {
        const int64_t y = isoyear.value;
        // Beyond this the result is out of range anyway; keeps the sums small.
        if (y < min_resolved_year - 1 || y > max_resolved_year + 1) return Resolution::invalid;
        const int64_t jan4 = days_from_civil(y, 1, 4);
        const int64_t week1_monday = jan4 - weekday_from_monday(jan4);
        const int64_t week = parsed.get(C::isoweek);
        days = week1_monday + 7 * (week - 1) + (parsed.get(C::weekday) + 6) % 7;
        const IsoWeekDate check = iso_week_date(days);
        if (check.year != y || check.week != week) return Resolution::invalid;  // no week 53
        return Resolution::ok;
    }
    return Resolution::missing;
}

// Every date component read must describe the date found (`civil`, `days`).
bool date_agrees(const Parsed& parsed, const CivilDays& civil, int64_t days) {
    using C = Component;
    const auto agrees = [&parsed](Component component, int64_t actual) {
        return !parsed.has(component) || parsed.get(component) == actual;
    };
    // A negative year has no century or two-digit part to agree with.
    const auto agrees_in_parts = [&parsed](Component component, int64_t year, int64_t part) {
        return !parsed.has(component) || (year >= 0 && parsed.get(component) == part);
    };
    if (!agrees(C::year, civil.year) || !agrees_in_parts(C::year_div_100, civil.year, civil.year / 100) ||
        !agrees_in_parts(C::year_mod_100, civil.year, civil.year % 100) || !agrees(C::month, civil.month) ||
        !agrees(C::day, civil.day) || !agrees(C::weekday, weekday_from_sunday(days))) {
        return false;
    }
    if (parsed.has(C::ordinal) || parsed.has(C::week_from_sun) || parsed.has(C::week_from_mon)) {
        const int ordinal = static_cast<int>(days - days_from_civil(civil.year, 1, 1) + 1);
        if (!agrees(C::ordinal, ordinal) ||
            !agrees(C::week_from_sun, week_number(ordinal, weekday_from_sunday(days))) ||
            !agrees(C::week_from_mon, week_number(ordinal, weekday_from_monday(days)))) {
            return false;
        }
    }
    if (parsed.has(C::isoyear) || parsed.has(C::isoyear_mod_100) || parsed.has(C::isoweek)) {
        const IsoWeekDate iso = iso_week_date(days);
        if (!agrees(C::isoyear, iso.year) || !agrees_in_parts(C::isoyear_mod_100, iso.year, iso.year % 100) ||
            !agrees(C::isoweek, iso.week)) {
            return false;
        }
    }
    return true;
}

Resolution resolve_days(const Parsed& parsed, int64_t& days, CivilDays& civil) {
    static constexpr Component century = Component::year_div_100;
    const YearOutcome year = resolve_year(parsed, Component::year, &century, Component::year_mod_100);
    if (year.status != Resolution::ok) return year.status;
    const YearOutcome isoyear = resolve_year(parsed, Component::isoyear, nullptr, Component::isoyear_mod_100);
    if (isoyear.status != Resolution::ok) return isoyear.status;
    const Resolution found = find_date(parsed, year, isoyear, days);
    if (found != Resolution::ok) return found;
    civil = civil_from_days(days);
    if (!year_in_range(civil.year)) return Resolution::invalid;
    return date_agrees(parsed, civil, days) ? Resolution::ok : Resolution::invalid;
}

CivilDate to_civil_date(const CivilDays& civil) {
    return {static_cast<int32_t>(civil.year), static_cast<uint8_t>(civil.month), static_cast<uint8_t>(civil.day)};
}

}  // namespace

bool Parsed::set(Component component, int64_t value) {
    const unsigned i = index(component);
    const Range range = component_ranges[i];
    if (value < range.low || value > range.high) return false;
    const uint32_t bit = 1u << i;
    if (set_mask_ & bit) return values_[i] == value;
    values_[i] = value;
    set_mask_ |= bit;
    return true;
}

Resolution resolve_date(const Parsed& parsed, CivilDate& date) {
    int64_t days = 0;
    CivilDays civil{};
    const Resolution status = resolve_days(parsed, days, civil);
    if (status == Resolution::ok) date = to_civil_date(civil);
    return status;
}

Resolution resolve_time(const Parsed& parsed, TimeOfDay& time) {
    using C = Component;
    if (!parsed.has(C::hour_div_12) || !parsed.has(C::hour_mod_12) || !parsed.has(C::minute)) {
        return Resolution::missing;
    }
    // A fraction belongs to a second: without one it has nothing to refine.
    if (parsed.has(C::nanosecond) && !parsed.has(C::second)) return Resolution::missing;
    const int64_t hour = 12 * parsed.get(C::hour_div_12) + parsed.get(C::hour_mod_12);
    const int64_t second = parsed.has(C::second) ? parsed.get(C::second) : 0;
    time.leap_second = second == 60;
    time.seconds = static_cast<uint32_t>(hour * 3600 + parsed.get(C::minute) * 60 + (time.leap_second ? 59 : second));
    time.nanosecond = static_cast<uint32_t>(parsed.has(C::nanosecond) ? parsed.get(C::nanosecond) : 0);
    return Resolution::ok;
}

Resolution resolve_datetime(Parsed& parsed, NaiveDateTime& datetime) {
    using C = Component;
    int64_t days = 0;
    CivilDays civil{};
    const Resolution date_status = resolve_days(parsed, days, civil);
    const Resolution time_status = resolve_time(parsed, datetime.time);
    if (date_status == Resolution::ok && time_status == Resolution::ok) {
        datetime.date = to_civil_date(civil);
        if (parsed.has(C::timestamp)) {
            const int64_t count = days * seconds_per_day + datetime.time.seconds;
            const int64_t timestamp = parsed.get(C::timestamp);
            if (timestamp != count && !(datetime.time.leap_second && timestamp == count + 1)) return Resolution::invalid;
        }
        return Resolution::ok;
    }
    if (!parsed.has(C::timestamp)) return date_status == Resolution::ok ? time_status : date_status;
    if (date_status == Resolution::invalid || time_status == Resolution::invalid) return Resolution::invalid;

    int64_t timestamp = parsed.get(C::timestamp);
    const bool leap_second = parsed.has(C::second) && parsed.get(C::second) == 60;
    if (leap_second) {
        const int64_t timestamp_second = floor_mod(timestamp, 60);
        if (timestamp_second == 0) {
            --timestamp;  // cannot wrap: a second of 0 means the timestamp is not the minimum
        } else if (timestamp_second != 59) {
            return Resolution::invalid;
        }
    }
    const int64_t stamp_days = floor_div(timestamp, seconds_per_day);
    const int64_t stamp_seconds = timestamp - stamp_days * seconds_per_day;
    const CivilDays stamp_date = civil_from_days(stamp_days);
    const int64_t ordinal = stamp_days - days_from_civil(stamp_date.year, 1, 1) + 1;
    const int64_t hour = stamp_seconds / 3600;
    // The year check comes first: beyond 32 bits the calendar sums above are
    // still exact in 64 bits, and the set refuses the year.
    if (!parsed.set(C::year, stamp_date.year) || !parsed.set(C::ordinal, ordinal) ||
        !parsed.set(C::hour_div_12, hour / 12) || !parsed.set(C::hour_mod_12, hour % 12) ||
        !parsed.set(C::minute, stamp_seconds / 60 % 60) ||
        (!leap_second && !parsed.set(C::second, stamp_seconds % 60))) {
        return Resolution::invalid;
    }
    const Resolution again_date = resolve_days(parsed, days, civil);
    if (again_date != Resolution::ok) return again_date;
    const Resolution again_time = resolve_time(parsed, datetime.time);
    if (again_time != Resolution::ok) return again_time;
    datetime.date = to_civil_date(civil);
    return Resolution::ok;
}

}  // namespace kelvane
