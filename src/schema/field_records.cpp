// Member reads, the structural messages, and field descriptions held until
// their record is read.
#include "field_records.h"

#include <algorithm>
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

Result<MemberValue> type_error(const JsonValue& found, const MemberInfo& member) {
    return Failure{invalid_type(found, expected_phrase(member.type))};
}

bool fits_i64(const JsonValue& value) {
    return value.type == Type::NegativeInteger ||
           (value.type == Type::Integer &&
            value.unsigned_integer <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
}

// The keys some field record reads, each once, with the list types they are
// read as by any record.
struct FieldKey {
    std::string_view key;
    bool read_as_strings = false;
    bool read_as_integers = false;
};

constexpr size_t field_key_capacity = 16;

constexpr auto field_keys = [] {
    std::array<FieldKey, field_key_capacity> keys{};
    size_t count = 0;
    for (size_t kind = 0; kind < field_kind_count; ++kind) {
        visit_field_kind(kind, [&](auto record) {
            for (const MemberInfo& info : member_infos<typename decltype(record)::type>) {
                size_t i = 0;
                while (i < count && keys[i].key != info.key) ++i;
                if (i == count) keys[count++].key = info.key;
                keys[i].read_as_strings |= info.type == MemberType::StringList;
                keys[i].read_as_integers |= info.type == MemberType::I64List;
            }
        });
    }
    return keys;
}();

const FieldKey* find_field_key(std::string_view key) {
    for (const FieldKey& entry : field_keys) {
        if (entry.key.empty()) break;
        if (entry.key == key) return &entry;
    }
    return nullptr;
}

template <class Record>
std::optional<size_t> member_index(std::string_view key) {
    const auto& infos = member_infos<Record>;
    for (size_t i = 0; i < infos.size(); ++i)
        if (infos[i].key == key) return i;
    return std::nullopt;
}

// The member of the given kind's record named `key`, if it has one.
std::optional<MemberInfo> field_member(size_t kind, std::string_view key) {
    std::optional<MemberInfo> found;
    visit_field_kind(kind, [&](auto record) {
        using Record = typename decltype(record)::type;
        if (const auto index = member_index<Record>(key)) found = member_infos<Record>[*index];
    });
    return found;
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

std::string duplicate_field(std::string_view key) { return "duplicate field `" + std::string(key) + "`"; }

std::string missing_field(std::string_view key) { return "missing field `" + std::string(key) + "`"; }

std::string too_short(size_t found, std::string_view record, size_t members) {
    return "invalid length " + std::to_string(found) + ", expected struct " + std::string(record) + " with " +
           std::to_string(members) + " elements";
}

std::string unknown_variant(std::string_view tag) {
    std::string message = "unknown variant `";
    message += tag;
    message += "`, expected one of ";
    for (size_t i = 0; i < field_kind_tags.size(); ++i) {
        if (i > 0) message += ", ";
        message += '`';
        message += field_kind_tags[i];
        message += '`';
    }
    return message;
}

void HeldList::add_string(std::string_view text) {
    if (!not_an_i64_) {
        not_an_i64_ = JsonValue::from_string(text);
        std::vector<int64_t>().swap(integers_);
    }
    if (!strings_wanted_ || not_a_string_) return;
    string_bytes_.append(text);
    string_ends_.push_back(string_bytes_.size());
}

void HeldList::add(const JsonValue& element) {
    if (!not_a_string_) {
        not_a_string_ = element;
        // No string list can come of it: drop what was kept.
        std::string().swap(string_bytes_);
        std::vector<size_t>().swap(string_ends_);
    }
    if (not_an_i64_) return;
    if (!fits_i64(element)) {
        not_an_i64_ = element;
        std::vector<int64_t>().swap(integers_);
        return;
    }
    if (!integers_wanted_) return;
    integers_.push_back(element.type == Type::NegativeInteger ? element.signed_integer
                                                              : static_cast<int64_t>(element.unsigned_integer));
}

Result<MemberValue> HeldList::take(MemberType type) {
    if (type == MemberType::StringList) {
        if (not_a_string_) return Failure{invalid_type(*not_a_string_, "a string")};
        std::vector<std::string> list;
        list.reserve(string_ends_.size());
        size_t start = 0;
        for (const size_t end : string_ends_) {
            list.emplace_back(string_bytes_, start, end - start);
            start = end;
        }
        return MemberValue{std::move(list)};
    }
    if (not_an_i64_) {
        if (not_an_i64_->type == Type::Integer) return Failure{invalid_value(*not_an_i64_, "i64")};
        return Failure{invalid_type(*not_an_i64_, "i64")};
    }
    return MemberValue{std::move(integers_)};
}

Result<MemberValue> read_member(const MemberInfo& member, JsonValue& value, HeldList* list) {
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
            return MemberValue{std::move(value.text)};
        case MemberType::StringList:
        case MemberType::I64List:
            if (value.type != Type::Array) return type_error(value, member);
            // A field description holds every array that a list member
            // may read with its list; no other record has list members.
            return list->take(member.type);
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
    for (size_t i = 0; i < field_kind_tags.size(); ++i) {
        if (field_kind_tags[i] == tag) return i;
    }
    return std::nullopt;
}

// ------------------------------------------------------------- HeldField

void HeldField::start(bool array_form) {
    array_form_ = array_form;
    kind_ = -1;
    elements_ = 0;
    entries_.clear();
    met_once_.clear();
    met_twice_.clear();
}

HeldField::Keep HeldField::keep_for(std::string_view key, bool has_value) {
    Entry& entry = entries_.emplace_back();
    entry.key = key;
    entry.has_value = has_value;
    if (!has_value) return Keep::nothing;
    bool strings = false;
    bool integers = false;
    if (kind_known()) {
        const MemberType type = field_member(static_cast<size_t>(kind_), key)->type;
        strings = type == MemberType::StringList;
        integers = type == MemberType::I64List;
    } else {
        const FieldKey* field_key = find_field_key(key);
        strings = field_key->read_as_strings;
        integers = field_key->read_as_integers;
    }
    if (!strings && !integers) return Keep::value;
    entry.list = std::make_unique<HeldList>(strings, integers);
    return Keep::value_and_list;
}

HeldField::Keep HeldField::object_key(std::string_view key) {
    const FieldKey* field_key = find_field_key(key);
    if (field_key == nullptr) return Keep::nothing;
    if (kind_known() && !field_member(static_cast<size_t>(kind_), key)) return Keep::nothing;
    const auto met = [&](const std::vector<std::string_view>& keys) {
        return std::find(keys.begin(), keys.end(), field_key->key) != keys.end();
    };
    if (met(met_twice_)) return Keep::nothing;
    if (met(met_once_)) {
        // The record fails on this duplicate once it reaches it, whatever
        // its value: keep only that it was met.
        met_twice_.push_back(field_key->key);
        return keep_for(field_key->key, false);
    }
    met_once_.push_back(field_key->key);
    return keep_for(field_key->key, true);
}

HeldField::Keep HeldField::next_element() {
    const size_t position = elements_++;
    std::optional<MemberInfo> member;
    visit_field_kind(static_cast<size_t>(kind_), [&](auto record) {
        const auto& infos = member_infos<typename decltype(record)::type>;
        if (position < infos.size()) member = infos[position];
    });
    if (!member) return Keep::nothing;  // only counted
    return keep_for(member->key, true);
}

void HeldField::hold(JsonValue value) { entries_.back().value = std::move(value); }

HeldList& HeldField::hold_list() {
    entries_.back().value = JsonValue::container(false);
    return *entries_.back().list;
}

template <class Record>
Result<Field> HeldField::read_record() {
    const auto& infos = member_infos<Record>;
    Record record{};
    const auto read = [&](size_t index, Entry& entry) -> std::optional<Failure> {
        auto value = read_member(infos[index], entry.value, entry.list.get());
        if (!value) return std::move(value.failure());
        store_member(record, index, std::move(value.value()));
        return std::nullopt;
    };

    if (array_form_) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (auto failure = read(i, entries_[i])) return std::move(*failure);
        }
        if (elements_ < infos.size()) return Failure{too_short(elements_, RecordTable<Record>::name, infos.size())};
        if (elements_ > infos.size()) {
            return Failure{"invalid length " + std::to_string(elements_) + ", expected " +
                           std::to_string(infos.size()) + " elements in sequence"};
        }
        return Field{std::move(record)};
    }

    uint32_t seen = 0;
    for (Entry& entry : entries_) {
        const auto index = member_index<Record>(entry.key);
        if (!index) continue;  // a key of other records only
        if (seen & (1u << *index)) return Failure{duplicate_field(entry.key)};
        seen |= 1u << *index;
        if (auto failure = read(*index, entry)) return std::move(*failure);
    }
    for (size_t i = 0; i < infos.size(); ++i) {
        if (!(seen & (1u << i)) && !infos[i].optional) return Failure{missing_field(infos[i].key)};
    }
    return Field{std::move(record)};
}

Result<Field> HeldField::read() {
    std::optional<Result<Field>> result;
    visit_field_kind(static_cast<size_t>(kind_), [&](auto record) {
        result.emplace(read_record<typename decltype(record)::type>());
    });
    return std::move(*result);
}

}  // namespace kelvane::schema_json
