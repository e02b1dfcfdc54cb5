// Field conversion by kind, in each kind's check order, with the presence rule
// and the quoted form; failures name the check's sentence only, the message
// is composed by field_failure_message.
#include "field_convert.h"

#include <algorithm>

#include "../values/numeric_text.h"
#include "../values/zone_db.h"

namespace kelvane {
namespace {

// Text equals `quote + text + quote` (the quoted form), built without copying.
bool equals_quoted_form(std::string_view entry, std::string_view text, const FieldContext& context) {
    if (!context.has_quote) return entry == text;
    return entry.size() == text.size() + 2 && entry.front() == context.quote &&
           entry.back() == context.quote && entry.substr(1, text.size()) == text;
}

bool matches(std::string_view entry, std::string_view text, const FieldContext& context) {
    return entry == text || equals_quoted_form(entry, text, context);
}

struct Converter {
    const PreparedField& prepared;
    const Piece& piece;
    const FieldContext& context;

    std::string_view text() const { return piece.text; }

    Conversion fail(const char* message) const { return {Absent{}, message}; }

    Conversion operator()(const StrField& field) const {
        const auto length = static_cast<uint64_t>(text().size());
        if (field.min_length && length < *field.min_length) return fail("String is too short");
        if (field.max_length && length > *field.max_length) return fail("String is too long");
        if (prepared.invalid_characters != nullptr && prepared.invalid_characters->intersects(text()))
            return fail("String contains invalid characters");
        return {text()};
    }

    Conversion operator()(const StrEnumField& field) const {
        for (const auto& entry : field.values)
            if (entry == text()) return {std::string_view(entry)};
        for (const auto& entry : field.values)
            if (equals_quoted_form(entry, text(), context)) return {std::string_view(entry)};
        return fail("Value not in enum");
    }

    Conversion operator()(const IntField& field) const {
        const auto value = parse_int(text());
        if (!value) return fail("Does not parse as int");
        if (field.min_value && *value < int_bound(*field.min_value)) return fail("Int is too small");
        if (field.max_value && *value > int_bound(*field.max_value)) return fail("Int is too large");
        return {*value};
    }

    Conversion operator()(const IntEnumField& field) const {
        const auto value = parse_enum_int(text());
        if (!value) return fail("Does not parse as int");
        if (std::find(field.values.begin(), field.values.end(), *value) == field.values.end())
            return fail("Value not in enum");
        return {EnumInt{*value}};
    }

    Conversion operator()(const FloatField& field) const {
        const auto value = parse_float(text());
        if (!value) return fail("Does not parse as float");
        // IEEE comparisons: a NaN passes both bounds.
        if (field.min_value && *field.min_value > *value) return fail("Float is too small");
        if (field.max_value && *value > *field.max_value) return fail("Float is too large");
        return {*value};
    }

    Conversion operator()(const DecimalField& field) const {
        const auto value = Decimal::from_str_exact(text());
        if (!value) return fail("Does not parse as decimal");
        // Bounds apply to the value as written, before rounding.
        if (field.min_value && compare(*value, *field.min_value) < 0) return fail("Decimal is too small");
        if (field.max_value && compare(*value, *field.max_value) > 0) return fail("Decimal is too large");
        if (field.round_decimal_places) return {value->round_dp(*field.round_decimal_places)};
        return {*value};
    }

    Conversion operator()(const BoolField& field) const {
        if (matches(field.true_value, text(), context)) return {true};
        if (field.false_value && matches(*field.false_value, text(), context)) return {false};
        return fail("Value is neither true or false value");
    }

    Conversion operator()(const DatetimeField&) const {
        // The zone is resolved once per Parser; an unknown name fails every
        // converted value, before its text is read.
        if (prepared.zone == nullptr) return fail("Invalid timezone");
        const auto reading = parse_datetime(text(), *prepared.format);
        if (!reading) return fail("Does not parse as datetime");
        // The fraction and a leap second's extra second are dropped here.
        const int64_t local_seconds =
            days_from_civil(reading->date.year, reading->date.month, reading->date.day) * 86400 +
            reading->time.seconds;
        const Placement placement = place_in_zone(*prepared.zone, local_seconds);
        if (placement.kind != PlacementKind::unique) return fail("Does not parse as datetime");
        return {ZonedDateTime{reading->date, reading->time.seconds, placement.total_offset}};
    }

    Conversion operator()(const DateField&) const {
        const auto date = parse_date(text(), *prepared.format);
        if (!date) return fail("Does not parse as date");
        return {*date};
    }

    Conversion operator()(const TimeField&) const {
        // End of day written as 240000 reads as midnight, whatever the format.
        const std::string_view source = text() == "240000" ? std::string_view("000000") : text();
        const auto time = parse_time(source, *prepared.format);
        if (!time) return fail("Does not parse as time");
        return {*time};
    }
};

bool is_required(const Field& field) {
    return std::visit([](const auto& record) { return record.required; }, field);
}

}  // namespace

Conversion convert_field(const Field& field, const PreparedField& prepared, const Piece& piece,
                         const FieldContext& context) {
    const bool present = !piece.text.empty() || is_required(field) ||
                         (piece.quoted && context.coerce_empty_quoted && std::holds_alternative<StrField>(field));
    if (!present) return {Absent{}};
    return std::visit(Converter{prepared, piece, context}, field);
}

const char* unrepresentable_message(const Field& field) {
    // Only dates can be out of the caller's reach (years it cannot hold).
    if (std::holds_alternative<DatetimeField>(field)) return "Does not parse as datetime";
    if (std::holds_alternative<DateField>(field)) return "Does not parse as date";
    if (std::holds_alternative<TimeField>(field)) return "Does not parse as time";
    return "Value cannot be represented";
}

std::string field_failure_message(const char* kind_message, std::string_view text, const Field& field) {
    std::string message(kind_message);
    message += " - '";
    message += text;
    message += "' given schema: ";
    message += describe_field(field);
    return message;
}

}  // namespace kelvane
