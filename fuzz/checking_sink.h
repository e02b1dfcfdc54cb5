// A FieldSink for the fuzz targets: checks every value the line parser hands
// over against the ranges its type promises, reads every text it points to,
// and refuses dates the Python binding cannot hold (years outside 1..9999),
// as the binding does.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_common.h"
#include "parser/field_value.h"
#include "values/time_fields.h"

namespace kelvane_fuzz {

class CheckingSink final : public kelvane::FieldSink {
public:
    size_t expected_fields = 0;
    size_t accepted = 0;
    bool refused = false;  // the last value was refused as the binding would
    std::string name;
    uint64_t digest = 0;
    // Per delivered value: its text for the text kinds (copied, the views
    // die with the call), "absent" for no value, nothing for other kinds.
    struct Delivered {
        bool absent = false;
        std::optional<std::string> text;
    };
    std::vector<Delivered> delivered;

    Verdict record_name(std::string_view record, size_t field_count) override {
        name.assign(record);
        expected_fields = field_count;
        accepted = 0;
        refused = false;
        digest = touch(record);
        delivered.clear();
        return Verdict::accepted;
    }

    Verdict accept(const kelvane::FieldValue& value) override {
        FUZZ_CHECK(accepted < expected_fields, "more values than fields (%zu)", expected_fields);
        ++accepted;
        Delivered entry;
        entry.absent = std::holds_alternative<kelvane::Absent>(value);
        if (const auto* text = std::get_if<std::string_view>(&value)) entry.text = std::string(*text);
        delivered.push_back(std::move(entry));
        return std::visit(*this, value);
    }

    // One overload per FieldValue alternative.
    Verdict operator()(kelvane::Absent) { return Verdict::accepted; }
    Verdict operator()(std::string_view text) {
        digest = touch(text, digest);
        return Verdict::accepted;
    }
    Verdict operator()(kelvane::int128) { return Verdict::accepted; }
    Verdict operator()(kelvane::EnumInt) { return Verdict::accepted; }
    Verdict operator()(double) { return Verdict::accepted; }
    Verdict operator()(const kelvane::Decimal& d) {
        FUZZ_CHECK(d.coefficient() <= kelvane::Decimal::max_coefficient && d.scale() <= 28 &&
                       !(d.negative() && d.coefficient() == 0),
                   "malformed decimal");
        return Verdict::accepted;
    }
    Verdict operator()(bool) { return Verdict::accepted; }
    Verdict operator()(const kelvane::ZonedDateTime& value) {
        check_date(value.date);
        FUZZ_CHECK(value.seconds_of_day < 86400, "seconds of day %u", value.seconds_of_day);
        FUZZ_CHECK(value.total_offset > -86400 && value.total_offset < 86400, "offset %d", value.total_offset);
        FUZZ_CHECK(value.local_seconds ==
                       kelvane::days_from_civil(value.date.year, value.date.month, value.date.day) * 86400 +
                           value.seconds_of_day,
                   "local seconds %lld", static_cast<long long>(value.local_seconds));
        return verdict(holdable(value.date));
    }
    Verdict operator()(const kelvane::CivilDate& date) {
        check_date(date);
        return verdict(holdable(date));
    }
    Verdict operator()(const kelvane::TimeOfDay& time) {
        FUZZ_CHECK(time.seconds < 86400 && time.nanosecond < 1000000000u &&
                       (!time.leap_second || time.seconds % 60 == 59),
                   "time %u s %u ns (leap %d)", time.seconds, time.nanosecond, time.leap_second);
        return Verdict::accepted;
    }

private:
    Verdict verdict(bool holdable_value) {
        refused = !holdable_value;
        return holdable_value ? Verdict::accepted : Verdict::refused;
    }
    static void check_date(const kelvane::CivilDate& date) {
        FUZZ_CHECK(date.year >= kelvane::min_resolved_year && date.year <= kelvane::max_resolved_year && date.month >= 1 && date.month <= 12 &&
                       date.day >= 1 && date.day <= kelvane::days_in_month(date.year, date.month),
                   "date %d-%d-%d", date.year, date.month, date.day);
    }
    static bool holdable(const kelvane::CivilDate& date) {
        return date.year >= kelvane::min_python_year && date.year <= kelvane::max_python_year;
    }
};

}  // namespace kelvane_fuzz
