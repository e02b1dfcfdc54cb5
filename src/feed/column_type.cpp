// Field kind to column type, override parsing and the type's two spellings.
#include "column_type.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "../schema/record_tables.h"
#include "../values/numeric_text.h"
#include "../values/zone_db.h"

namespace kelvane::feed {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

ColumnType make(ColumnKind kind) {
    ColumnType type;
    type.kind = kind;
    return type;
}

ColumnType decimal(uint8_t precision, uint8_t scale) {
    ColumnType type = make(ColumnKind::decimal128);
    type.precision = precision;
    type.scale = scale;
    return type;
}

uint8_t index_width_for(const StrEnumField& field) {
    std::unordered_set<std::string_view> distinct(field.values.begin(), field.values.end());
    if (distinct.size() <= 127) return 1;
    if (distinct.size() <= 32767) return 2;
    return 4;
}

bool bound_fits_int64(const std::optional<double>& bound) {
    if (!bound) return true;
    const int128 value = int_bound(*bound);
    return value >= INT64_MIN && value <= INT64_MAX;
}

ColumnType timestamp(const DatetimeField& field, TimeUnit unit) {
    ColumnType type = make(ColumnKind::timestamp);
    type.unit = unit;
    type.timezone = timestamp_zone(field);
    return type;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// "decimal128(P, S)" with blanks allowed around the numbers.
std::optional<ColumnType> parse_decimal(std::string_view text) {
    constexpr std::string_view head = "decimal128(";
    if (!text.starts_with(head) || !text.ends_with(")")) return std::nullopt;
    std::string_view inside = text.substr(head.size(), text.size() - head.size() - 1);
    const size_t comma = inside.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const std::string_view precision_text = trim(inside.substr(0, comma));
    const std::string_view scale_text = trim(inside.substr(comma + 1));
    unsigned precision = 0;
    unsigned scale = 0;
    const auto read = [](std::string_view digits, unsigned& out) {
        if (digits.empty() || digits.size() > 3) return false;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
        return error == std::errc() && end == digits.data() + digits.size();
    };
    if (!read(precision_text, precision) || !read(scale_text, scale)) return std::nullopt;
    if (precision < 1 || precision > 38 || scale > precision) return std::nullopt;
    return decimal(static_cast<uint8_t>(precision), static_cast<uint8_t>(scale));
}

std::optional<TimeUnit> parse_timestamp_unit(std::string_view text) {
    if (text == "timestamp[s]") return TimeUnit::second;
    if (text == "timestamp[ms]") return TimeUnit::milli;
    if (text == "timestamp[us]") return TimeUnit::micro;
    if (text == "timestamp[ns]") return TimeUnit::nano;
    return std::nullopt;
}

std::string_view unit_name(TimeUnit unit) {
    switch (unit) {
        case TimeUnit::second: return "s";
        case TimeUnit::milli: return "ms";
        case TimeUnit::micro: return "us";
        case TimeUnit::nano: return "ns";
    }
    return "us";
}

// What each kind may be overridden with, as the failure message lists it.
std::string_view choices(const Field& field) {
    return std::visit(Overloaded{
                          [](const StrField&) { return "utf8, large_utf8"; },
                          [](const StrEnumField&) { return "dictionary, utf8, large_utf8"; },
                          [](const IntField&) { return "int64, decimal128(P, S)"; },
                          [](const IntEnumField&) { return "int64"; },
                          [](const FloatField&) { return "float64"; },
                          [](const DecimalField&) { return "decimal128(P, S)"; },
                          [](const BoolField&) { return "bool"; },
                          [](const DatetimeField&) { return "timestamp[s], timestamp[ms], timestamp[us], timestamp[ns]"; },
                          [](const DateField&) { return "date32"; },
                          [](const TimeField&) { return "time64[us]"; },
                      },
                      field);
}

}  // namespace

std::string timestamp_zone(const DatetimeField& field) {
    return find_zone(field.time_zone) != nullptr ? field.time_zone : std::string("UTC");
}

ColumnType default_column_type(const Field& field) {
    return std::visit(
        Overloaded{
            [](const StrField&) { return make(ColumnKind::utf8); },
            [](const StrEnumField& f) {
                ColumnType type = make(ColumnKind::dictionary);
                type.index_width = index_width_for(f);
                return type;
            },
            [](const IntField& f) {
                // A bound beyond int64 admits values int64 cannot hold.
                if (bound_fits_int64(f.min_value) && bound_fits_int64(f.max_value)) return make(ColumnKind::int64);
                return decimal(38, 0);
            },
            [](const IntEnumField&) { return make(ColumnKind::int64); },
            [](const FloatField&) { return make(ColumnKind::float64); },
            [](const DecimalField& f) {
                if (f.round_decimal_places)
                    return decimal(38, static_cast<uint8_t>(std::min<uint32_t>(*f.round_decimal_places, 28)));
                return decimal(38, default_decimal_scale);
            },
            [](const BoolField&) { return make(ColumnKind::boolean); },
            [](const DatetimeField& f) { return timestamp(f, TimeUnit::micro); },
            [](const DateField&) { return make(ColumnKind::date32); },
            [](const TimeField&) { return make(ColumnKind::time64); },
        },
        field);
}

Result<ColumnType> parse_column_type(std::string_view raw, const Field& field) {
    const std::string_view text = trim(raw);
    std::optional<ColumnType> type;
    std::visit(Overloaded{
                   [&](const StrField&) {
                       if (text == "utf8" || text == "string") type = make(ColumnKind::utf8);
                       if (text == "large_utf8" || text == "large_string") type = make(ColumnKind::large_utf8);
                   },
                   [&](const StrEnumField& f) {
                       if (text == "utf8" || text == "string") type = make(ColumnKind::utf8);
                       if (text == "large_utf8" || text == "large_string") type = make(ColumnKind::large_utf8);
                       if (text == "dictionary") {
                           type = make(ColumnKind::dictionary);
                           type->index_width = index_width_for(f);
                       }
                   },
                   [&](const IntField&) {
                       if (text == "int64") type = make(ColumnKind::int64);
                       if (auto d = parse_decimal(text)) type = d;
                   },
                   [&](const IntEnumField&) {
                       if (text == "int64") type = make(ColumnKind::int64);
                   },
                   [&](const FloatField&) {
                       if (text == "float64" || text == "double") type = make(ColumnKind::float64);
                   },
                   [&](const DecimalField&) {
                       if (auto d = parse_decimal(text)) type = d;
                   },
                   [&](const BoolField&) {
                       if (text == "bool" || text == "boolean") type = make(ColumnKind::boolean);
                   },
                   [&](const DatetimeField& f) {
                       if (auto unit = parse_timestamp_unit(text)) type = timestamp(f, *unit);
                   },
                   [&](const DateField&) {
                       if (text == "date32") type = make(ColumnKind::date32);
                   },
                   [&](const TimeField&) {
                       if (text == "time64[us]") type = make(ColumnKind::time64);
                   },
               },
               field);
    if (type) return *type;
    std::string message = "column type '";
    message += raw;
    message += "' does not suit a ";
    message += field_kind_tag(field);
    message += " field (choose one of: ";
    message += choices(field);
    message += ")";
    return Failure{std::move(message)};
}

std::string column_type_name(const ColumnType& type) {
    switch (type.kind) {
        case ColumnKind::utf8: return "utf8";
        case ColumnKind::large_utf8: return "large_utf8";
        case ColumnKind::dictionary:
            return type.index_width == 1   ? "dictionary<values=utf8, indices=int8>"
                   : type.index_width == 2 ? "dictionary<values=utf8, indices=int16>"
                                           : "dictionary<values=utf8, indices=int32>";
        case ColumnKind::int64: return "int64";
        case ColumnKind::decimal128:
            return "decimal128(" + std::to_string(type.precision) + ", " + std::to_string(type.scale) + ")";
        case ColumnKind::float64: return "float64";
        case ColumnKind::boolean: return "bool";
        case ColumnKind::date32: return "date32";
        case ColumnKind::time64: return "time64[us]";
        case ColumnKind::timestamp:
            return "timestamp[" + std::string(unit_name(type.unit)) + ", tz=" + type.timezone + "]";
    }
    return "";
}

std::string arrow_format(const ColumnType& type) {
    switch (type.kind) {
        case ColumnKind::utf8: return "u";
        case ColumnKind::large_utf8: return "U";
        case ColumnKind::dictionary: return type.index_width == 1 ? "c" : type.index_width == 2 ? "s" : "i";
        case ColumnKind::int64: return "l";
        case ColumnKind::decimal128:
            return "d:" + std::to_string(type.precision) + "," + std::to_string(type.scale);
        case ColumnKind::float64: return "g";
        case ColumnKind::boolean: return "b";
        case ColumnKind::date32: return "tdD";
        case ColumnKind::time64: return "ttu";
        case ColumnKind::timestamp: {
            const char unit = type.unit == TimeUnit::second ? 's'
                              : type.unit == TimeUnit::milli ? 'm'
                              : type.unit == TimeUnit::micro ? 'u'
                                                             : 'n';
            return std::string("ts") + unit + ":" + type.timezone;
        }
    }
    return "n";
}

}  // namespace kelvane::feed
