// Conversion and validation of one field's piece by its kind, and the field
// description that failure messages end with.
#pragma once

#include <string>
#include <string_view>

#include "../schema/schema.h"
#include "field_value.h"
#include "line_parser.h"

namespace kelvane {

// One piece of a split line: its text with quote characters removed, and
// whether a quote character occurred in it.
struct Piece {
    std::string_view text;
    bool quoted;
};

struct FieldContext {
    bool has_quote;
    char quote;
    bool coerce_empty_quoted;
};

// The converted value, or the failed check's sentence (kind message).
struct Conversion {
    FieldValue value;
    const char* failure = nullptr;
};

Conversion convert_field(const Field& field, const PreparedField& prepared, const Piece& piece,
                         const FieldContext& context);

// The kind message used when a value converts but cannot be represented by
// the caller (for example a year outside what the host can hold).
const char* unrepresentable_message(const Field& field);

// "<kind message> - '<text>' given schema: <description>".
std::string field_failure_message(const char* kind_message, std::string_view text, const Field& field);

// Variant(Record { key: value, ... }) as shown in field messages.
std::string describe_field(const Field& field);

}  // namespace kelvane
