// Typed reading of record members from JSON values: the member tables of the
// ten field records, and the invalid type / invalid value / length messages.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json_value.h"
#include "schema.h"

namespace kelvane::schema_json {

enum class MemberType : uint8_t { Bool, Usize, U32, String, StringList, I64List, F64, DecimalBound, Lines, Fields };

struct MemberSpec {
    std::string_view key;
    MemberType type;
    bool optional;
};

// One member's value as read; monostate for an empty optional member.
using MemberValue = std::variant<std::monostate, bool, uint64_t, uint32_t, std::string, std::vector<std::string>,
                                 std::vector<int64_t>, double, Decimal>;

// What a member of this type wants, as messages name it ("a boolean", "usize").
std::string_view expected_phrase(MemberType type);

// "invalid type: <found>, expected <expected>"
std::string invalid_type(const JsonValue& found, std::string_view expected);
std::string invalid_type(std::string_view found, std::string_view expected);

// Reads a scalar or whole value as a member of the given type. Lines and
// Fields are never read this way (the streaming reader builds them).
Result<MemberValue> read_member(const MemberSpec& member, const JsonValue& value);

// The ten field kinds in tag order; index i selects alternative i of Field.
inline constexpr std::string_view field_kind_tags[] = {"STR",   "STR_ENUM", "INT",      "INT_ENUM", "FLOAT",
                                                       "DECIMAL", "BOOL",   "DATETIME", "DATE",     "TIME"};
std::optional<size_t> find_field_kind(std::string_view tag);
std::string unknown_variant(std::string_view tag);

// Reads a field record of the given kind from what its description held
// besides the tag: an Object of the remaining keys in order, or an Array of
// the elements after the tag.
Result<Field> read_field_record(size_t kind_index, const JsonValue& content);

}  // namespace kelvane::schema_json
