// Number classing and value phrases for the schema reader.
#include "json_value.h"

#include <charconv>

#include "../values/ascii.h"
#include "../values/numeric_text.h"
#include "../values/text_escape.h"
#include "../values/utf8.h"

namespace kelvane::schema_json {

namespace {

// from_chars reports overflow and underflow alike and leaves the value alone.
// Tell them apart by the decimal order of magnitude of the leading digit: the
// two limits lie hundreds of orders apart, so this estimate never misjudges.
bool magnitude_overflows(std::string_view raw) {
    size_t i = 0;
    if (i < raw.size() && raw[i] == '-') ++i;
    int64_t order = 0;  // value lies in [10^(order-1), 10^order)
    bool seen_nonzero = false;
    for (; i < raw.size() && is_digit(raw[i]); ++i) {
        if (raw[i] != '0') seen_nonzero = true;
        if (seen_nonzero) ++order;
    }
    if (i < raw.size() && raw[i] == '.') {
        for (++i; i < raw.size() && is_digit(raw[i]); ++i) {
            if (seen_nonzero) continue;
            if (raw[i] != '0') seen_nonzero = true;
            else --order;
        }
    }
    int64_t exponent = 0;
    if (i < raw.size() && (raw[i] == 'e' || raw[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < raw.size() && (raw[i] == '+' || raw[i] == '-')) negative = raw[i++] == '-';
        // Saturate: anything past a billion is decided already.
        for (; i < raw.size() && is_digit(raw[i]); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (raw[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return order + exponent > 0;
}

}  // namespace

std::optional<JsonValue> number_value(std::string_view raw) {
    JsonValue value;
    const char* first = raw.data();
    const char* last = raw.data() + raw.size();
    bool written_as_integer = raw.find_first_of(".eE") == std::string_view::npos;
    if (written_as_integer && raw != "-0") {
        if (raw.front() == '-') {
            int64_t n = 0;
            auto [end, ec] = std::from_chars(first, last, n);
            if (ec == std::errc() && end == last) {
                value.type = JsonValue::Type::NegativeInteger;
                value.signed_integer = n;
                return value;
            }
        } else {
            uint64_t n = 0;
            auto [end, ec] = std::from_chars(first, last, n);
            if (ec == std::errc() && end == last) {
                value.type = JsonValue::Type::Integer;
                value.unsigned_integer = n;
                return value;
            }
        }
    }
    value.type = JsonValue::Type::Float;
    double d = 0.0;
    auto [end, ec] = std::from_chars(first, last, d);
    if (ec == std::errc::result_out_of_range) {
        if (magnitude_overflows(raw)) return std::nullopt;
        d = raw.front() == '-' ? -0.0 : 0.0;
    }
    value.floating = d;
    return value;
}

std::string describe_string(std::string_view text) {
    std::string out = "string ";
    append_quoted_text(out, text);
    return out;
}

std::string describe_found(const JsonValue& value) {
    switch (value.type) {
        case JsonValue::Type::Null: return "null";
        case JsonValue::Type::Bool: return value.boolean ? "boolean `true`" : "boolean `false`";
        case JsonValue::Type::Integer: return "integer `" + std::to_string(value.unsigned_integer) + "`";
        case JsonValue::Type::NegativeInteger: return "integer `" + std::to_string(value.signed_integer) + "`";
        case JsonValue::Type::Float: return "floating point `" + format_float(value.floating) + "`";
        case JsonValue::Type::String: return describe_string(value.text);
        case JsonValue::Type::Array: return "sequence";
        case JsonValue::Type::Object: return "map";
    }
    return "null";
}

}  // namespace kelvane::schema_json
