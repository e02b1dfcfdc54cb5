// The outline walk: RapidJSON's SAX reader with a small stack of frames that
// follows the document's structure (object or array form at every level) and
// records positions and keys without building any records.
#include "schema_outline.h"

#include "../schema/json_reader.h"

#include <algorithm>

namespace kelvane::feed {
namespace {

enum class Role : uint8_t {
    document,
    root_object,
    root_array,
    lines,
    line_object,
    line_array,
    fields,
    field_object,
    field_array,
    value_list,  // an array a record holds, its elements recorded
    skip,
};

bool is_array_record(Role role) { return role == Role::root_array || role == Role::line_array || role == Role::field_array; }

struct Frame {
    Role role;
    size_t count = 0;  // arrays: elements completed
};

class Walker : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Walker> {
public:
    Walker(std::string_view text, const JsonTextStream& stream, bool with_elements)
        : text_(text), stream_(stream), with_elements_(with_elements) {
        frames_.push_back({Role::document});
    }

    SchemaOutline& outline() { return outline_; }

    bool Null() { return scalar(JsonType::null, stream_.Tell() - 4, {}); }
    bool Bool(bool b) { return scalar(JsonType::boolean, stream_.Tell() - (b ? 4 : 5), {}); }
    bool RawNumber(const char* chars, rapidjson::SizeType length, bool) {
        return scalar(JsonType::number, stream_.Tell() - length, std::string_view(chars, length));
    }
    bool String(const char* chars, rapidjson::SizeType length, bool) {
        return scalar(JsonType::string, string_start(), std::string_view(chars, length));
    }

    bool Key(const char* chars, rapidjson::SizeType length, bool) {
        std::vector<KeyRecord>* keys = keys_of(frames_.back().role);
        if (keys != nullptr) {
            KeyRecord record;
            record.key.assign(chars, length);
            record.key_position = at(string_start());
            keys->push_back(std::move(record));
        }
        pending_key_.assign(chars, length);
        return true;
    }

    bool StartObject() { return open(JsonType::object); }
    bool StartArray() { return open(JsonType::array); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

private:
    // The opening quote of the string that just ended: the nearest quote
    // before the closing one that no odd run of backslashes escapes.
    size_t string_start() const {
        size_t p = stream_.Tell() - 1;  // the closing quote
        while (p > 0) {
            --p;
            if (text_[p] != '"') continue;
            size_t backslashes = 0;
            while (p > backslashes && text_[p - 1 - backslashes] == '\\') ++backslashes;
            if (backslashes % 2 == 0) return p;
        }
        return 0;
    }

    JsonPosition at(size_t offset) {
        if (line_starts_.empty()) {
            line_starts_.push_back(0);
            for (size_t i = 0; i < text_.size(); ++i)
                if (text_[i] == '\n') line_starts_.push_back(i + 1);
        }
        const auto it = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
        const size_t line_index = static_cast<size_t>(it - line_starts_.begin()) - 1;
        JsonPosition position;
        position.offset = offset;
        position.line = static_cast<uint32_t>(line_index + 1);
        position.column = static_cast<uint32_t>(offset - line_starts_[line_index] + 1);
        return position;
    }

    // The key (or element) list of a record, for the roles that are records.
    std::vector<KeyRecord>* keys_of(Role role) {
        switch (role) {
            case Role::root_object:
            case Role::root_array: return &outline_.keys;
            case Role::line_object:
            case Role::line_array: return &outline_.lines.back().keys;
            case Role::field_object:
            case Role::field_array: return &outline_.lines.back().fields.back().keys;
            default: return nullptr;
        }
    }

    // Notes a value's start in the key (or array-form element) that holds
    // it, or as an element of a recorded list.
    void note_value(JsonType type, size_t offset, std::string_view text) {
        const Role top = frames_.back().role;
        if (top == Role::value_list) {
            // A list sits right above the record holding it.
            KeyRecord& owner = keys_of(frames_[frames_.size() - 2].role)->back();
            owner.elements.push_back({at(offset), type, std::string(text)});
            return;
        }
        std::vector<KeyRecord>* keys = keys_of(top);
        if (keys == nullptr) return;
        if (is_array_record(top)) keys->emplace_back().key_position = at(offset);
        if (keys->empty()) return;
        KeyRecord& record = keys->back();
        record.value_position = at(offset);
        record.value_type = type;
        if (type == JsonType::string || type == JsonType::number) record.string_value.assign(text);
    }

    bool scalar(JsonType type, size_t offset, std::string_view string_value) {
        note_value(type, offset, string_value);
        ++frames_.back().count;
        return true;
    }

    // What a compound value opened here is, given where it stands.
    Role child_role(JsonType type) const {
        const Frame& top = frames_.back();
        const bool is_array = type == JsonType::array;
        switch (top.role) {
            case Role::document: return is_array ? Role::root_array : Role::root_object;
            case Role::root_object: return pending_key_ == "lines" && is_array ? Role::lines : held(is_array);
            case Role::root_array: return top.count == 4 && is_array ? Role::lines : held(is_array);
            case Role::lines: return is_array ? Role::line_array : Role::line_object;
            case Role::line_object: return pending_key_ == "fields" && is_array ? Role::fields : held(is_array);
            case Role::line_array: return top.count == 1 && is_array ? Role::fields : held(is_array);
            case Role::fields: return is_array ? Role::field_array : Role::field_object;
            case Role::field_object:
            case Role::field_array: return held(is_array);
            default: return Role::skip;
        }
    }

    // A compound value a record holds as one of its members.
    Role held(bool is_array) const { return is_array && with_elements_ ? Role::value_list : Role::skip; }

    bool open(JsonType type) {
        const size_t offset = stream_.Tell() - 1;
        note_value(type, offset, {});
        const Role role = child_role(type);
        const bool object_form = type == JsonType::object;
        switch (role) {
            case Role::root_object:
            case Role::root_array:
                outline_.position = at(offset);
                outline_.object_form = object_form;
                break;
            case Role::line_object:
            case Role::line_array: {
                LineOutline line;
                line.position = at(offset);
                line.object_form = object_form;
                outline_.lines.push_back(std::move(line));
                break;
            }
            case Role::field_object:
            case Role::field_array: {
                FieldOutline field;
                field.position = at(offset);
                field.object_form = object_form;
                outline_.lines.back().fields.push_back(std::move(field));
                break;
            }
            default: break;
        }
        frames_.push_back({role});
        return true;
    }

    bool close() {
        frames_.pop_back();
        ++frames_.back().count;
        return true;
    }

    std::string_view text_;
    const JsonTextStream& stream_;
    bool with_elements_;
    std::vector<Frame> frames_;
    std::string pending_key_;
    std::vector<size_t> line_starts_;
    SchemaOutline outline_;
};

}  // namespace

std::string position_suffix(const JsonPosition& position) {
    return " at line " + std::to_string(position.line) + " column " + std::to_string(position.column);
}

Result<SchemaOutline> outline_schema(std::string_view text, bool with_elements) {
    JsonTextStream stream(text);
    Walker walker(text, stream, with_elements);
    ThrowingAllocator allocator;
    JsonReader reader(&allocator);
    constexpr unsigned flags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
    const rapidjson::ParseResult result = reader.Parse<flags>(stream, walker);
    if (result.IsError()) return Failure{"the schema text is not valid JSON"};
    return std::move(walker.outline());
}

}  // namespace kelvane::feed
