// One table per schema record: its name (and for the ten field records the
// kind tag and variant name), then each member in declared order with its key,
// its JSON type and whether it is optional (an absent optional member is
// empty). The schema reader, record building and the field descriptions in
// messages all walk these tables; the checks at the end make a table that
// disagrees with its record (order, count or type of members) fail to compile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "schema.h"

namespace kelvane {

// How a member is written in the document, and so what it holds.
enum class MemberType : uint8_t { Bool, Usize, U32, String, StringList, I64List, F64, DecimalBound, Lines, Fields };

namespace record_tables_detail {

template <MemberType type>
struct Stored;
template <> struct Stored<MemberType::Bool> { using type = bool; };
template <> struct Stored<MemberType::Usize> { using type = uint64_t; };
template <> struct Stored<MemberType::U32> { using type = uint32_t; };
template <> struct Stored<MemberType::String> { using type = std::string; };
template <> struct Stored<MemberType::StringList> { using type = std::vector<std::string>; };
template <> struct Stored<MemberType::I64List> { using type = std::vector<int64_t>; };
template <> struct Stored<MemberType::F64> { using type = double; };
template <> struct Stored<MemberType::DecimalBound> { using type = Decimal; };
template <> struct Stored<MemberType::Lines> { using type = std::vector<Line>; };
template <> struct Stored<MemberType::Fields> { using type = std::vector<Field>; };

template <class T>
struct Optional : std::false_type {
    using value_type = T;
};
template <class T>
struct Optional<std::optional<T>> : std::true_type {
    using value_type = T;
};

}  // namespace record_tables_detail

// One member of Record, held in `Record::*pointer`. Optional exactly when the
// record holds a std::optional.
template <class Record, class Held, MemberType member_type>
struct Member {
    using record_type = Record;
    using held_type = Held;
    using value_type = typename record_tables_detail::Optional<Held>::value_type;
    static constexpr MemberType type = member_type;
    static constexpr bool optional = record_tables_detail::Optional<Held>::value;
    static_assert(std::is_same_v<value_type, typename record_tables_detail::Stored<member_type>::type>,
                  "the member's C++ type does not hold its JSON type");

    std::string_view key;
    Held Record::*pointer;
};

template <MemberType type, class Record, class Held>
constexpr Member<Record, Held, type> member(std::string_view key, Held Record::*pointer) {
    return {key, pointer};
}

template <class Record>
struct RecordTable;  // one specialisation per record, below

template <>
struct RecordTable<Schema> {
    static constexpr std::string_view name = "Schema";
    static constexpr auto members = std::tuple{
        member<MemberType::String>("delimiter", &Schema::delimiter),
        member<MemberType::String>("quote_str", &Schema::quote_str),
        member<MemberType::Bool>("trailing_delimiter", &Schema::trailing_delimiter),
        member<MemberType::Bool>("coerce_empty_quoted", &Schema::coerce_empty_quoted),
        member<MemberType::Lines>("lines", &Schema::lines),
    };
};

template <>
struct RecordTable<Line> {
    static constexpr std::string_view name = "Line";
    static constexpr auto members = std::tuple{
        member<MemberType::String>("name", &Line::name),
        member<MemberType::Fields>("fields", &Line::fields),
    };
};

template <>
struct RecordTable<StrField> {
    static constexpr std::string_view tag = "STR", variant = "Str", name = "StrField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &StrField::required),
        member<MemberType::Usize>("min_length", &StrField::min_length),
        member<MemberType::Usize>("max_length", &StrField::max_length),
        member<MemberType::String>("invalid_characters", &StrField::invalid_characters),
    };
};

template <>
struct RecordTable<StrEnumField> {
    static constexpr std::string_view tag = "STR_ENUM", variant = "StrEnum", name = "StrEnumField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &StrEnumField::required),
        member<MemberType::StringList>("values", &StrEnumField::values),
    };
};

template <>
struct RecordTable<IntField> {
    static constexpr std::string_view tag = "INT", variant = "Int", name = "IntField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &IntField::required),
        member<MemberType::F64>("min_value", &IntField::min_value),
        member<MemberType::F64>("max_value", &IntField::max_value),
    };
};

template <>
struct RecordTable<IntEnumField> {
    static constexpr std::string_view tag = "INT_ENUM", variant = "IntEnum", name = "IntEnumField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &IntEnumField::required),
        member<MemberType::I64List>("values", &IntEnumField::values),
    };
};

template <>
struct RecordTable<FloatField> {
    static constexpr std::string_view tag = "FLOAT", variant = "Float", name = "FloatField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &FloatField::required),
        member<MemberType::F64>("min_value", &FloatField::min_value),
        member<MemberType::F64>("max_value", &FloatField::max_value),
    };
};

template <>
struct RecordTable<DecimalField> {
    static constexpr std::string_view tag = "DECIMAL", variant = "Decimal", name = "DecimalField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &DecimalField::required),
        member<MemberType::U32>("round_decimal_places", &DecimalField::round_decimal_places),
        member<MemberType::DecimalBound>("min_value", &DecimalField::min_value),
        member<MemberType::DecimalBound>("max_value", &DecimalField::max_value),
    };
};

template <>
struct RecordTable<BoolField> {
    static constexpr std::string_view tag = "BOOL", variant = "Bool", name = "BoolField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &BoolField::required),
        member<MemberType::String>("true_value", &BoolField::true_value),
        member<MemberType::String>("false_value", &BoolField::false_value),
    };
};

template <>
struct RecordTable<DatetimeField> {
    static constexpr std::string_view tag = "DATETIME", variant = "Datetime", name = "DatetimeField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &DatetimeField::required),
        member<MemberType::String>("format", &DatetimeField::format),
        member<MemberType::String>("time_zone", &DatetimeField::time_zone),
    };
};

template <>
struct RecordTable<DateField> {
    static constexpr std::string_view tag = "DATE", variant = "Date", name = "DateField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &DateField::required),
        member<MemberType::String>("format", &DateField::format),
    };
};

template <>
struct RecordTable<TimeField> {
    static constexpr std::string_view tag = "TIME", variant = "Time", name = "TimeField";
    static constexpr auto members = std::tuple{
        member<MemberType::Bool>("required", &TimeField::required),
        member<MemberType::String>("format", &TimeField::format),
    };
};

// ---------------------------------------------------------------- walking

template <class Record>
inline constexpr size_t member_count = std::tuple_size_v<decltype(RecordTable<Record>::members)>;

// Calls visit(member) for every member of Record in declared order.
template <class Record, class Visit>
constexpr void for_each_member(Visit&& visit) {
    std::apply([&](const auto&... members) { (visit(members), ...); }, RecordTable<Record>::members);
}

// Calls visit(member) for the member at `index` (< member_count<Record>).
template <class Record, class Visit>
constexpr void visit_member(size_t index, Visit&& visit) {
    [&]<size_t... I>(std::index_sequence<I...>) {
        ((I == index ? (visit(std::get<I>(RecordTable<Record>::members)), 0) : 0), ...);
    }(std::make_index_sequence<member_count<Record>>{});
}

// What the reader needs to know of a member at run time.
struct MemberInfo {
    std::string_view key;
    MemberType type;
    bool optional;
};

template <class Record>
inline constexpr auto member_infos = std::apply(
    [](const auto&... members) {
        return std::array<MemberInfo, sizeof...(members)>{
            MemberInfo{members.key, std::decay_t<decltype(members)>::type, std::decay_t<decltype(members)>::optional}...};
    },
    RecordTable<Record>::members);

// The field kinds are the alternatives of Field, in order.
inline constexpr size_t field_kind_count = std::variant_size_v<Field>;

template <size_t kind>
using FieldRecord = std::variant_alternative_t<kind, Field>;

// Calls visit(std::type_identity<FieldRecord<kind>>{}) for the kind at `kind`.
template <class Visit>
constexpr void visit_field_kind(size_t kind, Visit&& visit) {
    [&]<size_t... K>(std::index_sequence<K...>) {
        ((K == kind ? (visit(std::type_identity<FieldRecord<K>>{}), 0) : 0), ...);
    }(std::make_index_sequence<field_kind_count>{});
}

inline constexpr auto field_kind_tags = []<size_t... K>(std::index_sequence<K...>) {
    return std::array<std::string_view, field_kind_count>{RecordTable<FieldRecord<K>>::tag...};
}(std::make_index_sequence<field_kind_count>{});

// A field's tag, as the schema writes its kind ("STR", "DATETIME", ...).
inline std::string_view field_kind_tag(const Field& field) { return field_kind_tags[field.index()]; }

// ---------------------------------------------------------------- checks

namespace record_tables_detail {

// References to a record's members in declared order, by structured binding
// (which also fails to compile when the count differs).
template <size_t count, class Record>
constexpr auto declared_types(Record& r) {
    if constexpr (count == 2) {
        auto& [a, b] = r;
        return std::tie(a, b);
    } else if constexpr (count == 3) {
        auto& [a, b, c] = r;
        return std::tie(a, b, c);
    } else if constexpr (count == 4) {
        auto& [a, b, c, d] = r;
        return std::tie(a, b, c, d);
    } else {
        static_assert(count == 5, "extend declared_types for records of this size");
        auto& [a, b, c, d, e] = r;
        return std::tie(a, b, c, d, e);
    }
}

template <class Record>
using DeclaredTypes = decltype(declared_types<member_count<Record>>(std::declval<Record&>()));

template <class Members>
struct HeldReferences;
template <class... Members>
struct HeldReferences<std::tuple<Members...>> {
    using type = std::tuple<typename Members::held_type&...>;
};

template <class Record>
using TableTypes = typename HeldReferences<std::remove_cv_t<decltype(RecordTable<Record>::members)>>::type;

// Same types in the same order catches a missing, extra or retyped member. A
// swap of two members of one type is caught by comparing addresses, which
// needs std::string in constant evaluation: GCC's library and compiler agree
// on that, clang 14 with it does not, so the GCC builds check it.
template <class Record>
consteval bool table_follows_declaration() {
    if constexpr (!std::is_same_v<DeclaredTypes<Record>, TableTypes<Record>>) {
        return false;
    } else {
#if defined(__GNUC__) && !defined(__clang__)
        Record probe{};
        auto bound = declared_types<member_count<Record>>(probe);
        bool same = true;
        [&]<size_t... I>(std::index_sequence<I...>) {
            same = ((&(probe.*std::get<I>(RecordTable<Record>::members).pointer) == &std::get<I>(bound)) && ...);
        }(std::make_index_sequence<member_count<Record>>{});
        return same;
#else
        return true;
#endif
    }
}

template <class Record>
consteval bool keys_distinct() {
    const auto& infos = member_infos<Record>;
    for (size_t i = 0; i < infos.size(); ++i)
        for (size_t j = i + 1; j < infos.size(); ++j)
            if (infos[i].key == infos[j].key) return false;
    return true;
}

template <class... Records>
consteval bool tables_agree() {
    return ((table_follows_declaration<Records>() && keys_distinct<Records>()) && ...);
}

// Member bits of the reader's `seen` masks.
static_assert(member_count<Schema> <= 32);

}  // namespace record_tables_detail

static_assert(record_tables_detail::tables_agree<Schema, Line, StrField, StrEnumField, IntField, IntEnumField,
                                                 FloatField, DecimalField, BoolField, DatetimeField, DateField,
                                                 TimeField>(),
              "a record table lists its record's members out of declared order, or twice");

}  // namespace kelvane
