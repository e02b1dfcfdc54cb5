// Placeholder: date/time texts are not read yet.
#include "time_format.h"

namespace kelvane {

TimeFormat::TimeFormat(std::string_view pattern) : pattern_(pattern) {}

std::optional<CivilDate> parse_date(std::string_view, const TimeFormat&) { return std::nullopt; }
std::optional<TimeOfDay> parse_time(std::string_view, const TimeFormat&) { return std::nullopt; }
std::optional<NaiveDateTime> parse_datetime(std::string_view, const TimeFormat&) { return std::nullopt; }

}  // namespace kelvane
