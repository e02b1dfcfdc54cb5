// FieldValue: what converting one field yields, before it becomes a Python
// object. Texts are views into the line, the call's scratch or the schema.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "../values/civil.h"
#include "../values/decimal.h"
#include "../values/numeric_text.h"
#include "../values/time_format.h"

namespace kelvane {

struct Absent {};

// Local wall-clock date and time in whole seconds, with the total UTC offset
// of the zone period that holds it; `local_seconds` is the same wall clock
// counted as if it were UTC seconds since 1970-01-01T00:00:00.
struct ZonedDateTime {
    CivilDate date;
    uint32_t seconds_of_day;
    int32_t total_offset;
    int64_t local_seconds;
};

// The years Python's datetime can hold; the binding refuses dates outside.
inline constexpr int32_t min_python_year = 1;
inline constexpr int32_t max_python_year = 9999;

struct EnumInt {
    int64_t value;
};

using FieldValue = std::variant<Absent, std::string_view, int128, EnumInt, double, Decimal, bool,
                                ZonedDateTime, CivilDate, TimeOfDay>;

// Receives the converted fields of one line, in order, as soon as each passes
// its checks. Implemented by the binding.
class FieldSink {
public:
    enum class Verdict {
        accepted,
        refused,  // the value cannot be represented: the field fails with its kind's message
        aborted,  // the sink failed on its own account (its error is already recorded)
    };

    virtual Verdict record_name(std::string_view name, size_t field_count) = 0;
    virtual Verdict accept(const FieldValue& value) = 0;

protected:
    ~FieldSink() = default;
};

}  // namespace kelvane
