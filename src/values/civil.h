// Proleptic Gregorian calendar arithmetic on plain integers: days since
// 1970-01-01 to and from year/month/day. Exact for every 32-bit year.
#pragma once

#include <cstdint>

namespace kelvane {

struct CivilDate {
    int32_t year;
    uint8_t month;  // 1..12
    uint8_t day;    // 1..31
};

constexpr bool is_leap_year(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

inline constexpr int month_lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

constexpr int days_in_month(int64_t year, int month) {
    return month == 2 && is_leap_year(year) ? 29 : month_lengths[month - 1];
}

// Days from 1970-01-01 to the given date (negative before it).
constexpr int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct CivilDays {
    int64_t year;
    int month;
    int day;
};

constexpr CivilDays civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t mp = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

}  // namespace kelvane
