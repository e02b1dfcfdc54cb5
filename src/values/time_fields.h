// The record of date and time components that one reading fills in, with the
// checks made on every set and the rules that resolve it into a date, a time
// of day or a naive date-time.
#pragma once

#include <cstdint>

#include "civil.h"
#include "time_format.h"

namespace kelvane {

// Every component a pattern can set. Each starts unset; a set value must lie
// in its range, and setting a component again must repeat the stored value.
enum class Component : uint8_t {
    year,             // any 32-bit value
    year_div_100,     // century, 0..2^31-1
    year_mod_100,     // 0..99
    isoyear,          // any 32-bit value
    isoyear_mod_100,  // 0..99
    month,            // 1..12
    day,              // 1..31
    ordinal,          // day of year, 1..366
    week_from_sun,    // 0..53
    week_from_mon,    // 0..53
    isoweek,          // 1..53
    weekday,          // days since Sunday, 0..6
    hour_div_12,      // half of the day: 0 = AM, 1 = PM
    hour_mod_12,      // hour within the half, 0..11
    minute,           // 0..59
    second,           // 0..60 (60 is a leap second)
    nanosecond,       // 0..999,999,999
    timestamp,        // seconds since 1970-01-01T00:00:00 UTC, any 64-bit value
    offset,           // seconds east of UTC; read for its form only
    count_,
};

class Parsed {
public:
    // False when the value is out of range or disagrees with an earlier one.
    [[nodiscard]] bool set(Component component, int64_t value);

    bool has(Component component) const { return (set_mask_ >> index(component)) & 1u; }
    int64_t get(Component component) const { return values_[index(component)]; }

private:
    static constexpr unsigned index(Component component) { return static_cast<unsigned>(component); }

    int64_t values_[static_cast<unsigned>(Component::count_)] = {};
    uint32_t set_mask_ = 0;
};

// Why a rule gave no value: a component it needs was never read, or what was
// read is impossible (a nonexistent date, components that disagree).
enum class Resolution : uint8_t { ok, missing, invalid };

// Dates that resolution can yield.
inline constexpr int64_t min_resolved_year = -262143;
inline constexpr int64_t max_resolved_year = 262142;

Resolution resolve_date(const Parsed& parsed, CivilDate& date);
Resolution resolve_time(const Parsed& parsed, TimeOfDay& time);
// Falls back on a `timestamp` component when the date or time is incomplete,
// so it may add components to `parsed`.
Resolution resolve_datetime(Parsed& parsed, NaiveDateTime& datetime);

// The components that every successful reading under `format` sets, bit i for
// Component i (optional parts such as `%.f` set none). Resolving a record that
// holds just these tells whether the format can ever give a value.
uint32_t components_always_read(const TimeFormat& format);

}  // namespace kelvane
