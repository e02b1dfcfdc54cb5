// Column types of the feed reader: the Arrow type each field kind becomes,
// decided from the schema alone, the override texts users may give
// ("decimal128(38, 4)", "large_utf8"), and the Arrow format strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../schema/schema.h"
#include "../values/result.h"

namespace kelvane::feed {

enum class ColumnKind : uint8_t {
    utf8,
    large_utf8,
    dictionary,  // int8/int16/int32 indices over the field's enum values (utf8)
    int64,
    decimal128,
    float64,
    boolean,
    date32,
    time64,      // microseconds
    timestamp,   // unit below, with the field's zone name
};

enum class TimeUnit : uint8_t { second, milli, micro, nano };

struct ColumnType {
    ColumnKind kind = ColumnKind::utf8;
    uint8_t precision = 0;   // decimal128: 1..38
    uint8_t scale = 0;       // decimal128: 0..precision
    uint8_t index_width = 0; // dictionary: bytes per index (1, 2 or 4)
    TimeUnit unit = TimeUnit::micro;
    std::string timezone;    // timestamp

    friend bool operator==(const ColumnType&, const ColumnType&) = default;
};

// Decimal places a DECIMAL column keeps when the schema gives no
// round_decimal_places: 29 integer digits and 9 places hold every 96-bit
// coefficient with up to 9 decimal places within 38 digits.
inline constexpr uint8_t default_decimal_scale = 9;

// The type a field gets without an override.
ColumnType default_column_type(const Field& field);

// Reads an override text for `field`: the type must be one this field kind
// can fill exactly (a DATETIME's zone is always the field's own).
Result<ColumnType> parse_column_type(std::string_view text, const Field& field);

// "utf8", "decimal128(38, 4)", "timestamp[us, tz=Europe/Paris]",
// "dictionary<values=utf8, indices=int8>": how the type is shown to users.
std::string column_type_name(const ColumnType& type);

// The Arrow C data interface format string ("u", "d:38,4", "tsu:UTC", ...).
// For a dictionary column it is the index format; the values are "u".
std::string arrow_format(const ColumnType& type);

// The zone name a DATETIME column carries: the field's time_zone when the
// built-in database knows it, otherwise "UTC" (every converted value of such
// a field fails with "Invalid timezone", so the column holds only nulls and
// consumers still get a zone they can load).
std::string timestamp_zone(const DatetimeField& field);

}  // namespace kelvane::feed
