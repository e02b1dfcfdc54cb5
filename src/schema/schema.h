// The schema records a Parser is built from: Schema, Line, and the ten field
// records. Plain values holding the document's members in declared order (the
// order shows in field messages); record_tables.h describes each of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "../values/decimal.h"
#include "../values/result.h"

namespace kelvane {

struct StrField {
    bool required = false;
    std::optional<uint64_t> min_length;
    std::optional<uint64_t> max_length;
    std::optional<std::string> invalid_characters;
};

struct StrEnumField {
    bool required = false;
    std::vector<std::string> values;
};

struct IntField {
    bool required = false;
    std::optional<double> min_value;
    std::optional<double> max_value;
};

struct IntEnumField {
    bool required = false;
    std::vector<int64_t> values;
};

struct FloatField {
    bool required = false;
    std::optional<double> min_value;
    std::optional<double> max_value;
};

struct DecimalField {
    bool required = false;
    std::optional<uint32_t> round_decimal_places;
    std::optional<Decimal> min_value;
    std::optional<Decimal> max_value;
};

struct BoolField {
    bool required = false;
    std::string true_value;
    std::optional<std::string> false_value;
};

struct DatetimeField {
    bool required = false;
    std::string format;
    std::string time_zone;
};

struct DateField {
    bool required = false;
    std::string format;
};

struct TimeField {
    bool required = false;
    std::string format;
};

// Alternatives in kind order (the order of the kind tags in messages): STR,
// STR_ENUM, INT, INT_ENUM, FLOAT, DECIMAL, BOOL, DATETIME, DATE, TIME.
using Field = std::variant<StrField, StrEnumField, IntField, IntEnumField, FloatField, DecimalField,
                           BoolField, DatetimeField, DateField, TimeField>;

struct Line {
    std::string name;
    std::vector<Field> fields;
};

struct Schema {
    std::string delimiter;
    std::optional<std::string> quote_str;
    bool trailing_delimiter = false;
    bool coerce_empty_quoted = false;
    std::vector<Line> lines;
};

// Reads a schema document (JSON). Failures end in " at line L column C".
// Running out of memory throws std::bad_alloc, whatever the input.
Result<Schema> read_schema(std::string_view text);

}  // namespace kelvane
