// Fuzz target for date/time reading and zone placement: the input is
// "pattern NUL text" (without a NUL, the input serves as both). Every reading
// runs twice, once on a pattern prepared for the occasion, and must agree with
// itself and stay inside the ranges its type promises; date-times are then
// placed in a few zones with real transitions, and the text is also tried as
// a zone name.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_common.h"
#include "values/civil.h"
#include "values/time_format.h"
#include "values/zone_db.h"

using namespace kelvane;
using kelvane_fuzz::show;

namespace {

constexpr int32_t min_year = -262143;
constexpr int32_t max_year = 262142;

void check_date(const CivilDate& date, std::string_view pattern, std::string_view text) {
    FUZZ_CHECK(date.year >= min_year && date.year <= max_year && date.month >= 1 && date.month <= 12 &&
                   date.day >= 1 && date.day <= days_in_month(date.year, date.month),
               "pattern '%s' text '%s' gives %d-%d-%d", show(pattern).c_str(), show(text).c_str(), date.year,
               date.month, date.day);
}

void check_time(const TimeOfDay& time, std::string_view pattern, std::string_view text) {
    FUZZ_CHECK(time.seconds < 86400 && time.nanosecond < 2000000000u &&
                   (time.nanosecond < 1000000000u || time.seconds % 60 == 59),
               "pattern '%s' text '%s' gives %u s %u ns", show(pattern).c_str(), show(text).c_str(), time.seconds,
               time.nanosecond);
}

bool same(const std::optional<CivilDate>& a, const std::optional<CivilDate>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->year == b->year && a->month == b->month && a->day == b->day);
}

bool same(const std::optional<TimeOfDay>& a, const std::optional<TimeOfDay>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->seconds == b->seconds && a->nanosecond == b->nanosecond);
}

void check_placement(const Zone& zone, int64_t local_seconds, std::string_view name) {
    const Placement first = place_in_zone(zone, local_seconds);
    const Placement again = place_in_zone(zone, local_seconds);
    FUZZ_CHECK(first.kind == again.kind && (first.kind != PlacementKind::unique ||
                                            first.total_offset == again.total_offset),
               "placement in %s is not repeatable", show(name).c_str());
    if (first.kind == PlacementKind::unique) {
        FUZZ_CHECK(first.total_offset > -86400 && first.total_offset < 86400, "offset %d in %s at %lld",
                   first.total_offset, show(name).c_str(), static_cast<long long>(local_seconds));
    }
}

constexpr const char* zone_names[] = {"UTC", "Europe/Paris", "America/New_York", "Australia/Sydney",
                                      "Asia/Almaty", "Europe/Dublin", "Pacific/Apia", "America/St_Johns"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string_view pattern = nul == std::string_view::npos ? input : input.substr(0, nul);
    const std::string_view text = nul == std::string_view::npos ? input : input.substr(nul + 1);

    const TimeFormat format(pattern);
    // Private copies so that a reading that runs past its text is caught.
    const std::string text_copy(text);

    const auto date = parse_date(text, format);
    if (date) check_date(*date, pattern, text);
    FUZZ_CHECK(same(date, parse_date(text_copy, TimeFormat(pattern))), "parse_date not repeatable on '%s' '%s'",
               show(pattern).c_str(), show(text).c_str());

    const auto time = parse_time(text, format);
    if (time) check_time(*time, pattern, text);
    FUZZ_CHECK(same(time, parse_time(text_copy, TimeFormat(pattern))), "parse_time not repeatable on '%s' '%s'",
               show(pattern).c_str(), show(text).c_str());

    const auto datetime = parse_datetime(text, format);
    const auto datetime_again = parse_datetime(text_copy, TimeFormat(pattern));
    FUZZ_CHECK(datetime.has_value() == datetime_again.has_value() &&
                   (!datetime || (same(datetime->date, datetime_again->date) &&
                                  same(datetime->time, datetime_again->time))),
               "parse_datetime not repeatable on '%s' '%s'", show(pattern).c_str(), show(text).c_str());
    if (datetime) {
        check_date(datetime->date, pattern, text);
        check_time(datetime->time, pattern, text);
        const int64_t local_seconds =
            days_from_civil(datetime->date.year, datetime->date.month, datetime->date.day) * 86400 +
            datetime->time.seconds;
        for (const char* name : zone_names) {
            if (const Zone* zone = find_zone(name)) check_placement(*zone, local_seconds, name);
        }
        if (const Zone* utc = find_zone("UTC")) {
            const Placement placement = place_in_zone(*utc, local_seconds);
            FUZZ_CHECK(placement.kind == PlacementKind::unique && placement.total_offset == 0,
                       "UTC placement not unique +00:00");
        }
    }

    // The text as a zone name, placed at an instant taken from the input.
    if (const Zone* zone = find_zone(text_copy)) {
        int64_t local_seconds = 0;
        std::memcpy(&local_seconds, data, std::min(size, sizeof local_seconds));
        // Keep to the years a reading can produce.
        local_seconds %= int64_t{8300000000000};
        check_placement(*zone, local_seconds, text);
    }
    return 0;
}
