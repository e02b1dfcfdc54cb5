// A JSON value as the schema reader holds it until a member reads it: scalars
// whole, arrays and objects by their kind only (messages name them "sequence"
// and "map"); number classing by written form, and the phrases that name a
// JSON value in messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::schema_json {

struct JsonValue {
    // Integer: non-negative, fits u64. NegativeInteger: below zero, fits i64.
    // Every other number (fraction, exponent, beyond both ranges, `-0`) is a
    // Float holding its binary64 value.
    enum class Type : uint8_t { Null, Bool, Integer, NegativeInteger, Float, String, Array, Object };

    Type type = Type::Null;
    bool boolean = false;
    uint64_t unsigned_integer = 0;
    int64_t signed_integer = 0;
    double floating = 0.0;
    std::string text;  // String

    static JsonValue null() { return {}; }
    static JsonValue from_bool(bool value) {
        JsonValue v;
        v.type = Type::Bool;
        v.boolean = value;
        return v;
    }
    static JsonValue from_string(std::string_view value) {
        JsonValue v;
        v.type = Type::String;
        v.text = std::string(value);  // exact capacity: the text may end up in a record
        return v;
    }
    static JsonValue container(bool object) {
        JsonValue v;
        v.type = object ? Type::Object : Type::Array;
        return v;
    }
};

// Classes a JSON number (grammar already checked) by its written form and
// converts it. Empty when a float's magnitude is too large for binary64.
std::optional<JsonValue> number_value(std::string_view raw);

// "boolean `true`", "integer `-3`", "floating point `1.5`", "string \"a\"",
// "sequence", "map", "null".
std::string describe_found(const JsonValue& value);

// The `string "..."` phrase: quote, backslash, \n, \r, \t and NUL (\0) escaped,
// other control and invisible characters as \u{..}, the rest kept as it is.
std::string describe_string(std::string_view text);

}  // namespace kelvane::schema_json
