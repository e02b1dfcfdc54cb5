// Typed reading of record members from JSON values, the structural messages
// of the schema reader, and what a field description keeps until its closing
// bracket, when the record its kind selects is read from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json_value.h"
#include "record_tables.h"
#include "schema.h"

namespace kelvane::schema_json {

// One member's value as read; monostate for an empty optional member.
using MemberValue = std::variant<std::monostate, bool, uint64_t, uint32_t, std::string, std::vector<std::string>,
                                 std::vector<int64_t>, double, Decimal>;

// What a member of this type wants, as messages name it ("a boolean", "usize").
std::string_view expected_phrase(MemberType type);

// The structural messages, each built here only.
std::string invalid_type(const JsonValue& found, std::string_view expected);  // "invalid type: <found>, expected <expected>"
std::string invalid_type(std::string_view found, std::string_view expected);
std::string duplicate_field(std::string_view key);                        // "duplicate field `<key>`"
std::string missing_field(std::string_view key);                          // "missing field `<key>`"
std::string too_short(size_t found, std::string_view record, size_t members);  // "invalid length <n>, expected struct ..."
std::string unknown_variant(std::string_view tag);

// The elements of an array that a list member (`values`) may read, kept the
// way each list type reads them: all strings, all integers in the i64 range,
// and for each the first element that is not one.
class HeldList {
public:
    HeldList(bool strings_wanted, bool integers_wanted)
        : strings_wanted_(strings_wanted), integers_wanted_(integers_wanted) {}

    void add_string(std::string_view text);
    void add(const JsonValue& element);  // any element but a string

    // The list as a member of type StringList or I64List reads it; what was
    // kept moves into the result.
    Result<MemberValue> take(MemberType type);

private:
    bool strings_wanted_;
    bool integers_wanted_;
    std::string string_bytes_;  // the strings end to end
    std::vector<size_t> string_ends_;
    std::optional<JsonValue> not_a_string_;
    std::vector<int64_t> integers_;
    std::optional<JsonValue> not_an_i64_;
};

// Reads a value as a member; a string moves into the result. `list` holds the
// elements when the value is an array kept for a list member. Lines and
// Fields are never read this way (the streaming reader builds them).
Result<MemberValue> read_member(const MemberInfo& member, JsonValue& value, HeldList* list = nullptr);

// Stores a read value in member `index` of `record`; an empty value leaves an
// optional member empty.
template <class Record>
void store_member(Record& record, size_t index, MemberValue&& value) {
    visit_member<Record>(index, [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (M::type != MemberType::Lines && M::type != MemberType::Fields) {
            if (!std::holds_alternative<std::monostate>(value))
                record.*m.pointer = std::get<typename M::value_type>(std::move(value));
        }
    });
}

std::optional<size_t> find_field_kind(std::string_view tag);

// One field description from its opening to its closing bracket. Only the
// values a field record may read are kept: the value of a key that no record
// (or, once the tag is known, not the selected record) has is skipped, a
// key's third and later occurrences are skipped, and of its second only the
// fact (it is a duplicate whatever it holds). Arrays and objects are kept as
// their kind, except an array that a list member may read.
class HeldField {
public:
    // What the reader keeps of the next value.
    enum class Keep : uint8_t { nothing, value, value_and_list };

    void start(bool array_form);
    bool kind_known() const { return kind_ >= 0; }
    void set_kind(size_t kind) { kind_ = static_cast<int>(kind); }

    Keep object_key(std::string_view key);  // object form
    Keep next_element();                     // array form, each element after the tag

    // The value of the key or element last answered with `value...`.
    void hold(JsonValue value);
    // ... when it is an array and the answer was `value_and_list`.
    HeldList& hold_list();

    // The record, once the description is complete (once only: the values
    // held move into it).
    Result<Field> read();

private:
    struct Entry {
        std::string_view key;  // object form: the key (static storage)
        bool has_value = false;
        JsonValue value;
        std::unique_ptr<HeldList> list;
    };

    template <class Record>
    Result<Field> read_record();
    Keep keep_for(std::string_view key, bool has_value);

    bool array_form_ = false;
    int kind_ = -1;
    size_t elements_ = 0;  // array form: elements after the tag
    std::vector<Entry> entries_;
    std::vector<std::string_view> met_once_;  // object form: keys met once
    std::vector<std::string_view> met_twice_;
};

}  // namespace kelvane::schema_json
