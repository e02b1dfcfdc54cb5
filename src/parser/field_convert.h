// Conversion and validation of one field's piece by its kind, handed straight
// to a sink, and the field description that failure messages end with.
#pragma once

#include <string>
#include <string_view>

#include "../schema/schema.h"
#include "../values/numeric_text.h"
#include "../values/zone_db.h"
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
};

// What became of one field: the failed check's sentence (kind message), or
// null and the sink's verdict on the value.
struct Delivery {
    const char* failure;
    FieldSink::Verdict verdict;
};

// Hands a value to the sink: by its own type when the sink takes it so (a
// final sink then builds its object without looking at a FieldValue), else
// as a FieldValue.
template <class Sink, class Value>
FieldSink::Verdict deliver(Sink& sink, const Value& value) {
    if constexpr (requires { sink.take(value); }) {
        return sink.take(value);
    } else {
        return sink.accept(FieldValue(value));
    }
}

// The conversions by kind, in each kind's check order.
template <class Sink>
struct Converter {
    const PreparedField& prepared;
    // The piece's text as its parts, each stored and read back on its own (a
    // view stored in two halves and read whole would wait on the stores).
    const char* text_data;
    size_t text_size;
    const FieldContext& context;
    Sink& sink;

    std::string_view text() const { return std::string_view(text_data, text_size); }

    static Delivery fail(const char* message) { return {message, FieldSink::Verdict::accepted}; }
    template <class Value>
    Delivery give(const Value& value) const { return {nullptr, deliver(sink, value)}; }

    Delivery operator()(const StrField& field) const {
        const auto length = static_cast<uint64_t>(text().size());
        if (field.min_length && length < *field.min_length) return fail("String is too short");
        if (field.max_length && length > *field.max_length) return fail("String is too long");
        if (prepared.invalid_characters != nullptr && prepared.invalid_characters->intersects(text()))
            return fail("String contains invalid characters");
        return give(text());
    }

    Delivery operator()(const StrEnumField& field) const {
        const auto value_at = [&field](uint32_t position) -> std::string_view { return field.values[position]; };
        uint32_t position = prepared.text_enum->exact.find(text(), value_at);
        if (position == TextIndex::not_found && context.has_quote) {
            // Values written quoted, by the text between their quotes.
            position = prepared.text_enum->quoted.find(text(), [&field](uint32_t at) {
                const std::string_view value = field.values[at];
                return value.substr(1, value.size() - 2);
            });
        }
        if (position == TextIndex::not_found) return fail("Value not in enum");
        // A sink that indexes the values itself takes the position too.
        if constexpr (requires { sink.take_enum(std::string_view(), position); }) {
            return {nullptr, sink.take_enum(std::string_view(field.values[position]), position)};
        } else {
            return give(std::string_view(field.values[position]));
        }
    }

    Delivery operator()(const IntField&) const {
        const auto value = parse_int(text());
        if (!value) return fail("Does not parse as int");
        if (const IntBounds* bounds = prepared.int_bounds) {
            if (*value < bounds->low) return fail("Int is too small");
            if (*value > bounds->high) return fail("Int is too large");
        }
        return give(*value);
    }

    Delivery operator()(const IntEnumField&) const {
        const auto value = parse_enum_int(text());
        if (!value) return fail("Does not parse as int");
        if (!prepared.int_enum->contains(*value)) return fail("Value not in enum");
        return give(EnumInt{*value});
    }

    Delivery operator()(const FloatField& field) const {
        const auto value = parse_float(text());
        if (!value) return fail("Does not parse as float");
        // IEEE comparisons: a NaN passes both bounds.
        if (field.min_value && *field.min_value > *value) return fail("Float is too small");
        if (field.max_value && *value > *field.max_value) return fail("Float is too large");
        return give(*value);
    }

    Delivery operator()(const DecimalField& field) const {
        const auto value = Decimal::from_str_exact(text());
        if (!value) return fail("Does not parse as decimal");
        // Bounds apply to the value as written, before rounding.
        if (field.min_value && compare(*value, *field.min_value) < 0) return fail("Decimal is too small");
        if (field.max_value && compare(*value, *field.max_value) > 0) return fail("Decimal is too large");
        if (field.round_decimal_places) return give(value->round_dp(*field.round_decimal_places));
        return give(*value);
    }

    Delivery operator()(const BoolField& field) const {
        if (matches(field.true_value)) return give(true);
        if (field.false_value && matches(*field.false_value)) return give(false);
        return fail("Value is neither true or false value");
    }

    Delivery operator()(const DatetimeField&) const {
        // The zone is resolved once per Parser; an unknown name fails every
        // converted value, before its text is read.
        if (prepared.zone == nullptr) return fail("Invalid timezone");
        NaiveDateTime reading;
        if (!read_datetime(text(), *prepared.format, reading)) return fail("Does not parse as datetime");
        // The fraction and a leap second's extra second are dropped here.
        const int64_t local_seconds =
            days_from_civil(reading.date.year, reading.date.month, reading.date.day) * 86400 + reading.time.seconds;
        const Placement placement = place_in_zone(*prepared.zone, local_seconds);
        if (placement.kind != PlacementKind::unique) return fail("Does not parse as datetime");
        return give(ZonedDateTime{reading.date, reading.time.seconds, placement.total_offset, local_seconds});
    }

    Delivery operator()(const DateField&) const {
        CivilDate date;
        if (!read_date(text(), *prepared.format, date)) return fail("Does not parse as date");
        return give(date);
    }

    Delivery operator()(const TimeField&) const {
        // End of day written as 240000 reads as midnight, whatever the format.
        const std::string_view source = text() == "240000" ? std::string_view("000000") : text();
        TimeOfDay time;
        if (!read_time(source, *prepared.format, time)) return fail("Does not parse as time");
        return give(time);
    }

    // The text, or its quoted form (quote + text + quote), equals `entry`.
    bool matches(std::string_view entry) const {
        if (same_text(entry, text())) return true;
        return context.has_quote && entry.size() == text().size() + 2 && entry.front() == context.quote &&
               entry.back() == context.quote && same_text(entry.substr(1, text().size()), text());
    }
};

// Decides presence, converts and hands the value (absent included) to the
// sink.
template <class Sink>
Delivery convert_field(const Field& field, const PreparedField& prepared, const Piece& piece,
                       const FieldContext& context, Sink& sink) {
    const bool present = !piece.text.empty() || prepared.required || (piece.quoted && prepared.empty_quoted_is_present);
    if (!present) return {nullptr, deliver(sink, Absent{})};
    return std::visit(Converter<Sink>{prepared, piece.text.data(), piece.text.size(), context, sink}, field);
}

// The kind message used when a value converts but cannot be represented by
// the caller (for example a year outside what the host can hold).
const char* unrepresentable_message(const Field& field);

// "<kind message> - '<text>' given schema: <description>".
std::string field_failure_message(const char* kind_message, std::string_view text, const Field& field);

// Variant(Record { key: value, ... }) as shown in field messages.
std::string describe_field(const Field& field);

}  // namespace kelvane
