// Member reads and the field record tables of the schema reader.
#include "field_records.h"

#include <cstdint>
#include <limits>

#include "../values/numeric_text.h"

namespace kelvane::schema_json {

namespace {

using Type = JsonValue::Type;

constexpr std::string_view decimal_expected = "a Decimal type representing a fixed-point number";

std::string invalid_value(const JsonValue& found, std::string_view expected) {
    std::string message = "invalid value: ";
    message += describe_found(found);
    message += ", expected ";
    message += expected;
    return message;
}

Result<MemberValue> type_error(const JsonValue& found, const MemberSpec& member) {
    return Failure{invalid_type(found, expected_phrase(member.type))};
}

struct RecordSpec {
    std::string_view name;
    std::span<const MemberSpec> members;
};

constexpr MemberSpec str_members[] = {{"required", MemberType::Bool, false},
                                      {"min_length", MemberType::Usize, true},
                                      {"max_length", MemberType::Usize, true},
                                      {"invalid_characters", MemberType::String, true}};
constexpr MemberSpec str_enum_members[] = {{"required", MemberType::Bool, false},
                                           {"values", MemberType::StringList, false}};
constexpr MemberSpec int_members[] = {{"required", MemberType::Bool, false},
                                      {"min_value", MemberType::F64, true},
                                      {"max_value", MemberType::F64, true}};
constexpr MemberSpec int_enum_members[] = {{"required", MemberType::Bool, false},
                                           {"values", MemberType::I64List, false}};
constexpr MemberSpec decimal_members[] = {{"required", MemberType::Bool, false},
                                          {"round_decimal_places", MemberType::U32, true},
                                          {"min_value", MemberType::DecimalBound, true},
                                          {"max_value", MemberType::DecimalBound, true}};
constexpr MemberSpec bool_members[] = {{"required", MemberType::Bool, false},
                                       {"true_value", MemberType::String, false},
                                       {"false_value", MemberType::String, true}};
constexpr MemberSpec datetime_members[] = {{"required", MemberType::Bool, false},
                                           {"format", MemberType::String, false},
                                           {"time_zone", MemberType::String, false}};
constexpr MemberSpec format_members[] = {{"required", MemberType::Bool, false},
                                         {"format", MemberType::String, false}};

// Indexed like field_kind_tags.
constexpr RecordSpec field_records[] = {
    {"StrField", str_members},       {"StrEnumField", str_enum_members}, {"IntField", int_members},
    {"IntEnumField", int_enum_members}, {"FloatField", int_members},   {"DecimalField", decimal_members},
    {"BoolField", bool_members},     {"DatetimeField", datetime_members}, {"DateField", format_members},
    {"TimeField", format_members},
};

template <class T>
T take(MemberValue& value) {
    return std::get<T>(std::move(value));
}

template <class T>
std::optional<T> take_optional(MemberValue& value) {
    if (std::holds_alternative<std::monostate>(value)) return std::nullopt;
    return std::get<T>(std::move(value));
}

// All members have been read and checked for presence.
Field build_field(size_t kind_index, std::vector<MemberValue>& m) {
    switch (kind_index) {
        case 0: {
            StrField field;
            field.required = take<bool>(m[0]);
            field.min_length = take_optional<uint64_t>(m[1]);
            field.max_length = take_optional<uint64_t>(m[2]);
            field.invalid_characters = take_optional<std::string>(m[3]);
            return field;
        }
        case 1: return StrEnumField{take<bool>(m[0]), take<std::vector<std::string>>(m[1])};
        case 2: return IntField{take<bool>(m[0]), take_optional<double>(m[1]), take_optional<double>(m[2])};
        case 3: return IntEnumField{take<bool>(m[0]), take<std::vector<int64_t>>(m[1])};
        case 4: return FloatField{take<bool>(m[0]), take_optional<double>(m[1]), take_optional<double>(m[2])};
        case 5:
            return DecimalField{take<bool>(m[0]), take_optional<uint32_t>(m[1]), take_optional<Decimal>(m[2]),
                                take_optional<Decimal>(m[3])};
        case 6: return BoolField{take<bool>(m[0]), take<std::string>(m[1]), take_optional<std::string>(m[2])};
        case 7: {
            DatetimeField field;
            field.required = take<bool>(m[0]);
            field.format = take<std::string>(m[1]);
            field.time_zone = take<std::string>(m[2]);
            return field;
        }
        case 8: {
            DateField field;
            field.required = take<bool>(m[0]);
            field.format = take<std::string>(m[1]);
            return field;
        }
        default: {
            TimeField field;
            field.required = take<bool>(m[0]);
            field.format = take<std::string>(m[1]);
            return field;
        }
    }
}

}  // namespace

std::string_view expected_phrase(MemberType type) {
    switch (type) {
        case MemberType::Bool: return "a boolean";
        case MemberType::Usize: return "usize";
        case MemberType::U32: return "u32";
        case MemberType::String: return "a string";
        case MemberType::F64: return "f64";
        case MemberType::DecimalBound: return decimal_expected;
        case MemberType::StringList:
        case MemberType::I64List:
        case MemberType::Lines:
        case MemberType::Fields: return "a sequence";
    }
    return "a sequence";
}

std::string invalid_type(std::string_view found, std::string_view expected) {
    std::string message = "invalid type: ";
    message += found;
    message += ", expected ";
    message += expected;
    return message;
}

std::string invalid_type(const JsonValue& found, std::string_view expected) {
    return invalid_type(describe_found(found), expected);
}

Result<MemberValue> read_member(const MemberSpec& member, const JsonValue& value) {
    if (member.optional && value.type == Type::Null) return MemberValue{};
    switch (member.type) {
        case MemberType::Bool:
            if (value.type != Type::Bool) return type_error(value, member);
            return MemberValue{value.boolean};
        case MemberType::Usize:
            if (value.type == Type::Integer) return MemberValue{value.unsigned_integer};
            if (value.type == Type::NegativeInteger) return Failure{invalid_value(value, "usize")};
            return type_error(value, member);
        case MemberType::U32:
            if (value.type == Type::Integer) {
                if (value.unsigned_integer > std::numeric_limits<uint32_t>::max())
                    return Failure{invalid_value(value, "u32")};
                return MemberValue{static_cast<uint32_t>(value.unsigned_integer)};
            }
            if (value.type == Type::NegativeInteger) return Failure{invalid_value(value, "u32")};
            return type_error(value, member);
        case MemberType::String:
            if (value.type != Type::String) return type_error(value, member);
            return MemberValue{value.text};
        case MemberType::StringList: {
            if (value.type != Type::Array) return type_error(value, member);
            std::vector<std::string> list;
            list.reserve(value.items.size());
            for (const JsonValue& item : value.items) {
                if (item.type != Type::String) return Failure{invalid_type(item, "a string")};
                list.push_back(item.text);
            }
            return MemberValue{std::move(list)};
        }
        case MemberType::I64List: {
            if (value.type != Type::Array) return type_error(value, member);
            std::vector<int64_t> list;
            list.reserve(value.items.size());
            for (const JsonValue& item : value.items) {
                if (item.type == Type::NegativeInteger) {
                    list.push_back(item.signed_integer);
                } else if (item.type == Type::Integer) {
                    if (item.unsigned_integer > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                        return Failure{invalid_value(item, "i64")};
                    list.push_back(static_cast<int64_t>(item.unsigned_integer));
                } else {
                    return Failure{invalid_type(item, "i64")};
                }
            }
            return MemberValue{std::move(list)};
        }
        case MemberType::F64:
            // Integers round to the nearest binary64, ties to even (the
            // conversion's own rounding); floats were converted when read.
            if (value.type == Type::Integer) return MemberValue{static_cast<double>(value.unsigned_integer)};
            if (value.type == Type::NegativeInteger) return MemberValue{static_cast<double>(value.signed_integer)};
            if (value.type == Type::Float) return MemberValue{value.floating};
            return type_error(value, member);
        case MemberType::DecimalBound: {
            std::optional<Decimal> decimal;
            switch (value.type) {
                case Type::Integer: return MemberValue{Decimal::from_uint64(value.unsigned_integer)};
                case Type::NegativeInteger: return MemberValue{Decimal::from_int64(value.signed_integer)};
                case Type::Float: decimal = Decimal::from_str(format_float_plain(value.floating)); break;
                case Type::String:
                    decimal = Decimal::from_str(value.text);
                    if (!decimal) decimal = Decimal::from_scientific(value.text);
                    break;
                default: return type_error(value, member);
            }
            if (!decimal) return Failure{invalid_value(value, decimal_expected)};
            return MemberValue{*decimal};
        }
        case MemberType::Lines:
        case MemberType::Fields: break;
    }
    return type_error(value, member);
}

std::optional<size_t> find_field_kind(std::string_view tag) {
    for (size_t i = 0; i < std::size(field_kind_tags); ++i) {
        if (field_kind_tags[i] == tag) return i;
    }
    return std::nullopt;
}

std::string unknown_variant(std::string_view tag) {
    std::string message = "unknown variant `";
    message += tag;
    message += "`, expected one of ";
    for (size_t i = 0; i < std::size(field_kind_tags); ++i) {
        if (i > 0) message += ", ";
        message += '`';
        message += field_kind_tags[i];
        message += '`';
    }
    return message;
}

Result<Field> read_field_record(size_t kind_index, const JsonValue& content) {
    const RecordSpec& record = field_records[kind_index];
    const size_t member_count = record.members.size();
    std::vector<MemberValue> values(member_count);

    if (content.type == Type::Array) {
        const size_t found = content.items.size();
        for (size_t i = 0; i < found && i < member_count; ++i) {
            auto read = read_member(record.members[i], content.items[i]);
            if (!read) return std::move(read.failure());
            values[i] = std::move(read.value());
        }
        if (found < member_count) {
            return Failure{"invalid length " + std::to_string(found) + ", expected struct " + std::string(record.name) +
                           " with " + std::to_string(member_count) + " elements"};
        }
        if (found > member_count) {
            return Failure{"invalid length " + std::to_string(found) + ", expected " + std::to_string(member_count) +
                           " elements in sequence"};
        }
        return build_field(kind_index, values);
    }

    std::vector<bool> seen(member_count, false);
    for (size_t k = 0; k < content.keys.size(); ++k) {
        size_t i = 0;
        while (i < member_count && record.members[i].key != content.keys[k]) ++i;
        if (i == member_count) continue;  // unknown keys are skipped
        if (seen[i]) return Failure{"duplicate field `" + content.keys[k] + "`"};
        seen[i] = true;
        auto read = read_member(record.members[i], content.items[k]);
        if (!read) return std::move(read.failure());
        values[i] = std::move(read.value());
    }
    for (size_t i = 0; i < member_count; ++i) {
        if (!seen[i] && !record.members[i].optional)
            return Failure{"missing field `" + std::string(record.members[i].key) + "`"};
    }
    return build_field(kind_index, values);
}

}  // namespace kelvane::schema_json
