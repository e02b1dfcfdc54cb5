// The schema reader: one pass of RapidJSON's SAX reader over the document,
// with a stack of frames that builds Schema and Line as events arrive and
// holds what each field description's record may read until its closing
// bracket (field_records.h).
//
// Positions: an error is placed at the byte it concerns (the offending byte of
// a syntax error, the last byte of a wrongly typed scalar or key, the opening
// bracket of a wrongly typed map or sequence, a record's closing bracket, the
// last byte of the text at its end). "line L column C" gives the line of that
// byte (from 1) and its 1-based byte index within the line; at the very start
// of an empty text the column is 0. A field description is judged only once
// read whole, so the errors of its record lie past it and its separator.

#include "json_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "../values/ascii.h"
#include "field_records.h"
#include "json_value.h"
#include "record_tables.h"
#include "schema.h"

namespace kelvane {

namespace {

using schema_json::HeldField;
using schema_json::HeldList;
using schema_json::JsonValue;
using schema_json::MemberValue;

constexpr size_t max_depth = 127;  // the document's own object is level 1

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// " at line L column C" for the byte just before `end` (end = number of bytes
// up to and including the byte concerned). A line feed belongs to the line it
// ends.
std::string position_suffix(std::string_view text, size_t end) {
    if (end > text.size()) end = text.size();
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i + 1 < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(end - line_start);
}

enum class FrameKind : uint8_t {
    Document,           // expects the Schema value
    SchemaObject,
    SchemaArray,
    LinesArray,         // elements are Lines
    LineObject,
    LineArray,
    FieldsArray,        // elements are field descriptions
    DescriptionObject,  // a field description (one open at a time: `field_`)
    DescriptionArray,
    HeldArray,          // an array in a description that a list member may read
    Skip,               // a value nothing reads; only its syntax counts
};

constexpr int no_member = -1;
constexpr int skip_member = -2;

struct Frame {
    explicit Frame(FrameKind frame_kind) : kind(frame_kind) {}

    FrameKind kind;
    int member = no_member;       // object records: member whose value comes next
    uint32_t seen = 0;            // object records: members met, one bit each
    size_t count = 0;             // array records: elements completed
    size_t skip_depth = 0;        // Skip: open containers
    HeldField::Keep keep = HeldField::Keep::nothing;  // descriptions: what to keep of the next value
    bool expecting_kind = false;  // description object: next value is the tag
};

class SchemaHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, SchemaHandler> {
public:
    SchemaHandler(std::string_view text, const JsonTextStream& stream) : text_(text), stream_(stream) {
        frames_.emplace_back(FrameKind::Document);
    }

    Schema& schema() { return schema_; }
    const std::string& error() const { return error_; }
    bool failed() const { return failed_; }

    bool Null() { return on_scalar(JsonValue::null()); }
    bool Bool(bool b) { return on_scalar(JsonValue::from_bool(b)); }

    bool RawNumber(const char* raw, rapidjson::SizeType length, bool) {
        // Every number must fit binary64, skipped ones too (RapidJSON refuses
        // most that do not by itself, so the rule is the same everywhere).
        auto value = schema_json::number_value(std::string_view(raw, length));
        if (!value) return fail("number out of range", stream_.Tell() - length + 1);
        return on_scalar(std::move(*value));
    }

    bool String(const char* chars, rapidjson::SizeType length, bool) {
        std::string_view s(chars, length);
        if (!check_decoded(s)) return false;
        switch (frames_.back().kind) {
            case FrameKind::Skip: return true;
            case FrameKind::HeldArray: list_->add_string(s); return true;
            default: return on_scalar(JsonValue::from_string(s));
        }
    }

    bool Key(const char* chars, rapidjson::SizeType length, bool) {
        std::string_view key(chars, length);
        if (!check_decoded(key)) return false;
        return on_key(key);
    }

    bool StartObject() { return on_start(true); }
    bool StartArray() { return on_start(false); }
    bool EndObject(rapidjson::SizeType) { return on_end(); }
    bool EndArray(rapidjson::SizeType) { return on_end(); }

    // Bytes up to and including the last one consumed.
    size_t here() const { return stream_.Tell(); }

    bool fail(std::string message, size_t end) {
        if (!failed_) {
            error_ = std::move(message) + position_suffix(text_, end);
            failed_ = true;
        }
        return false;
    }

private:
    // RapidJSON turns a lone trailing surrogate escape (\uDC00 with no
    // leading one) into the bytes of that surrogate, which are not UTF-8.
    // Raw input bytes were validated already, so only escapes can give these.
    bool check_decoded(std::string_view s) {
        for (size_t i = 0; i + 1 < s.size(); ++i) {
            if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0)
                return fail("lone trailing surrogate in hex escape", here());
        }
        return true;
    }

    static bool is_schema(FrameKind kind) { return kind == FrameKind::SchemaObject || kind == FrameKind::SchemaArray; }
    static std::span<const MemberInfo> record_members(FrameKind kind) {
        if (is_schema(kind)) return member_infos<Schema>;
        return member_infos<Line>;
    }

    static bool is_record_object(FrameKind kind) {
        return kind == FrameKind::SchemaObject || kind == FrameKind::LineObject;
    }
    static bool is_record_array(FrameKind kind) { return kind == FrameKind::SchemaArray || kind == FrameKind::LineArray; }

    void store(FrameKind record, size_t index, MemberValue value) {
        if (is_schema(record)) {
            schema_json::store_member(schema_, index, std::move(value));
        } else {
            schema_json::store_member(schema_.lines.back(), index, std::move(value));
        }
    }

    // The member a record frame's next value belongs to, or null when an
    // array form already holds all its members.
    const MemberInfo* next_member(const Frame& frame) {
        auto members = record_members(frame.kind);
        size_t index = is_record_array(frame.kind) ? frame.count : static_cast<size_t>(frame.member);
        return index < members.size() ? &members[index] : nullptr;
    }

    // A description frame is about to receive a value: what to keep of it.
    HeldField::Keep description_value(Frame& frame) {
        if (frame.kind == FrameKind::DescriptionArray) return field_.next_element();
        const HeldField::Keep keep = frame.keep;
        frame.keep = HeldField::Keep::nothing;
        return keep;
    }

    bool on_scalar(JsonValue value) {
        Frame& frame = frames_.back();
        switch (frame.kind) {
            case FrameKind::Document:
                return fail(schema_json::invalid_type(value, "struct Schema"), here());
            case FrameKind::SchemaObject:
            case FrameKind::LineObject:
            case FrameKind::SchemaArray:
            case FrameKind::LineArray: {
                if (frame.member == skip_member) return after_value();
                const MemberInfo* member = next_member(frame);
                if (member == nullptr) return fail("trailing characters", here());
                if (member->type == MemberType::Lines || member->type == MemberType::Fields)
                    return fail(schema_json::invalid_type(value, "a sequence"), here());
                auto read = schema_json::read_member(*member, value);
                if (!read) return fail(std::move(read.failure().message), here());
                store(frame.kind, static_cast<size_t>(member - record_members(frame.kind).data()), std::move(read.value()));
                return after_value();
            }
            case FrameKind::LinesArray:
                return fail(schema_json::invalid_type(value, "struct Line"), here());
            case FrameKind::FieldsArray:
                return fail(schema_json::invalid_type(value, "internally tagged enum Field"), after_separator());
            case FrameKind::DescriptionObject:
                if (frame.expecting_kind) {
                    frame.expecting_kind = false;
                    return read_tag(value);
                }
                if (description_value(frame) != HeldField::Keep::nothing) field_.hold(std::move(value));
                return true;
            case FrameKind::DescriptionArray:
                if (!field_.kind_known()) return read_tag(value);
                if (description_value(frame) != HeldField::Keep::nothing) field_.hold(std::move(value));
                return true;
            case FrameKind::HeldArray:
                list_->add(value);
                return true;
            case FrameKind::Skip:
                return true;
        }
        return true;
    }

    bool read_tag(const JsonValue& value) {
        if (value.type != JsonValue::Type::String)
            return fail(schema_json::invalid_type(value, "variant identifier"), here());
        auto index = schema_json::find_field_kind(value.text);
        if (!index) return fail(schema_json::unknown_variant(value.text), here());
        field_.set_kind(*index);
        return true;
    }

    void push(FrameKind kind) {
        Frame& frame = frames_.emplace_back(kind);
        if (kind == FrameKind::Skip) frame.skip_depth = 1;
    }

    // A container inside a description: held as its kind, an array with its
    // list when one may read it; its content is skipped otherwise.
    void start_in_description(HeldField::Keep keep, bool object) {
        if (keep == HeldField::Keep::value_and_list && !object) {
            list_ = &field_.hold_list();
            push(FrameKind::HeldArray);
            return;
        }
        if (keep != HeldField::Keep::nothing) field_.hold(JsonValue::container(object));
        push(FrameKind::Skip);
    }

    bool on_start(bool object) {
        if (++depth_ > max_depth) return fail("recursion limit exceeded", here());
        const char* found = object ? "map" : "sequence";
        Frame& frame = frames_.back();
        switch (frame.kind) {
            case FrameKind::Skip:
                ++frame.skip_depth;
                return true;
            case FrameKind::Document:
                push(object ? FrameKind::SchemaObject : FrameKind::SchemaArray);
                return true;
            case FrameKind::SchemaObject:
            case FrameKind::LineObject:
            case FrameKind::SchemaArray:
            case FrameKind::LineArray: {
                if (frame.member == skip_member) {
                    push(FrameKind::Skip);
                    return true;
                }
                const MemberInfo* member = next_member(frame);
                if (member == nullptr) return fail("trailing characters", here());
                if (!object && member->type == MemberType::Lines) {
                    push(FrameKind::LinesArray);
                    return true;
                }
                if (!object && member->type == MemberType::Fields) {
                    push(FrameKind::FieldsArray);
                    return true;
                }
                return fail(schema_json::invalid_type(found, schema_json::expected_phrase(member->type)), here());
            }
            case FrameKind::LinesArray:
                schema_.lines.emplace_back();
                push(object ? FrameKind::LineObject : FrameKind::LineArray);
                return true;
            case FrameKind::FieldsArray:
                field_.start(!object);
                push(object ? FrameKind::DescriptionObject : FrameKind::DescriptionArray);
                return true;
            case FrameKind::DescriptionObject:
                if (frame.expecting_kind) return fail(schema_json::invalid_type(found, "variant identifier"), here());
                start_in_description(description_value(frame), object);
                return true;
            case FrameKind::DescriptionArray:
                if (!field_.kind_known()) return fail(schema_json::invalid_type(found, "variant identifier"), here());
                start_in_description(description_value(frame), object);
                return true;
            case FrameKind::HeldArray:
                list_->add(JsonValue::container(object));
                push(FrameKind::Skip);
                return true;
        }
        return true;
    }

    bool on_key(std::string_view key) {
        Frame& frame = frames_.back();
        switch (frame.kind) {
            case FrameKind::SchemaObject:
            case FrameKind::LineObject: {
                auto members = record_members(frame.kind);
                size_t i = 0;
                while (i < members.size() && members[i].key != key) ++i;
                if (i == members.size()) {
                    frame.member = skip_member;
                    return true;
                }
                if (frame.seen & (1u << i)) return fail(schema_json::duplicate_field(key), here());
                frame.seen |= 1u << i;
                frame.member = static_cast<int>(i);
                return true;
            }
            case FrameKind::DescriptionObject:
                if (key == "kind") {
                    if (field_.kind_known()) return fail(schema_json::duplicate_field(key), here());
                    frame.expecting_kind = true;
                    return true;
                }
                frame.keep = field_.object_key(key);
                return true;
            default:
                return true;
        }
    }

    bool on_end() {
        --depth_;
        Frame& frame = frames_.back();
        switch (frame.kind) {
            case FrameKind::Skip:
                if (--frame.skip_depth > 0) return true;
                frames_.pop_back();
                return after_value();
            case FrameKind::SchemaObject:
            case FrameKind::LineObject: {
                auto members = record_members(frame.kind);
                for (size_t i = 0; i < members.size(); ++i) {
                    if (!(frame.seen & (1u << i)) && !members[i].optional)
                        return fail(schema_json::missing_field(members[i].key), here());
                }
                frames_.pop_back();
                return after_value();
            }
            case FrameKind::SchemaArray:
            case FrameKind::LineArray: {
                auto members = record_members(frame.kind);
                if (frame.count < members.size()) {
                    const std::string_view record = is_schema(frame.kind) ? RecordTable<Schema>::name
                                                                          : RecordTable<Line>::name;
                    return fail(schema_json::too_short(frame.count, record, members.size()), here());
                }
                frames_.pop_back();
                return after_value();
            }
            case FrameKind::LinesArray:
            case FrameKind::FieldsArray:
                frames_.pop_back();
                return after_value();
            case FrameKind::DescriptionObject:
            case FrameKind::DescriptionArray: {
                if (!field_.kind_known()) return fail(schema_json::missing_field("kind"), here());
                auto field = field_.read();
                if (!field) return fail(std::move(field.failure().message), after_separator());
                schema_.lines.back().fields.push_back(std::move(field.value()));
                frames_.pop_back();
                return after_value();
            }
            case FrameKind::HeldArray:
                list_ = nullptr;
                frames_.pop_back();
                return after_value();
            case FrameKind::Document:
                return true;
        }
        return true;
    }

    // The top frame has just received one complete value.
    bool after_value() {
        Frame& frame = frames_.back();
        if (is_record_object(frame.kind)) {
            frame.member = no_member;
        } else if (is_record_array(frame.kind)) {
            if (++frame.count == record_members(frame.kind).size()) return check_no_extra_element();
        }
        return true;
    }

    // An array-form Schema or Line holds exactly its members: look past the
    // last one for a comma before RapidJSON reads on.
    bool check_no_extra_element() {
        size_t i = here();
        while (i < text_.size() && is_json_space(text_[i])) ++i;
        if (i >= text_.size() || text_[i] != ',') return true;
        ++i;
        while (i < text_.size() && is_json_space(text_[i])) ++i;
        if (i >= text_.size()) return fail("EOF while parsing a value", text_.size());
        if (text_[i] == ']') return fail("trailing comma", i + 1);
        return fail("trailing characters", i + 1);
    }

    // A field description is judged only once it has been read whole, so its
    // errors are placed past it and the separator that follows it.
    size_t after_separator() const {
        size_t i = here();
        while (i < text_.size() && is_json_space(text_[i])) ++i;
        if (i < text_.size() && (text_[i] == ',' || text_[i] == ']')) return i + 1;
        return here();
    }

    std::string_view text_;
    const JsonTextStream& stream_;
    std::vector<Frame> frames_;
    size_t depth_ = 0;
    HeldField field_;
    HeldList* list_ = nullptr;  // the list of the open HeldArray
    Schema schema_;
    std::string error_;
    bool failed_ = false;
};

// Whether the escape starting with the backslash at `at` is cut short by the
// end of the text (every byte up to the end still fits an escape).
bool escape_cut_by_end(std::string_view text, size_t at) {
    size_t i = at + 1;
    if (i >= text.size()) return true;
    if (text[i] != 'u') return false;
    unsigned unit = 0;
    for (size_t k = 0; k < 4; ++k) {
        if (++i >= text.size()) return true;
        if (!is_hex_digit(text[i])) return false;
        unit = unit * 16 + static_cast<unsigned>(text[i] <= '9' ? text[i] - '0' : (text[i] | 0x20) - 'a' + 10);
    }
    if (unit < 0xD800 || unit > 0xDBFF) return false;
    // A leading surrogate wants a second escape.
    if (++i >= text.size()) return true;
    if (text[i] != '\\') return false;
    if (++i >= text.size()) return true;
    if (text[i] != 'u') return false;
    for (size_t k = 0; k < 4; ++k) {
        if (++i >= text.size()) return true;
        if (!is_hex_digit(text[i])) return false;
    }
    return false;
}

// The last byte before `offset` that is not white space, or NUL.
char previous_token(std::string_view text, size_t offset) {
    while (offset > 0 && is_json_space(text[offset - 1])) --offset;
    return offset > 0 ? text[offset - 1] : '\0';
}

// RapidJSON's error code and offset as this reader's message. Offsets point
// at the offending byte, or at the end of the text.
std::string syntax_message(std::string_view text, rapidjson::ParseErrorCode code, size_t offset) {
    const bool at_end = offset >= text.size();
    const char byte = at_end ? '\0' : text[offset];
    std::string message;
    switch (code) {
        case rapidjson::kParseErrorDocumentEmpty:
            message = at_end ? "EOF while parsing a value" : "expected value";
            break;
        case rapidjson::kParseErrorDocumentRootNotSingular: message = "trailing characters"; break;
        case rapidjson::kParseErrorValueInvalid:
            if (at_end) {
                message = previous_token(text, offset) == '[' ? "EOF while parsing a list" : "EOF while parsing a value";
            } else if (byte == ']' && previous_token(text, offset) == ',') {
                message = "trailing comma";
            } else if (offset > 0 && text[offset - 1] == '-') {
                message = "invalid number";
            } else {
                message = "expected value";
            }
            break;
        case rapidjson::kParseErrorObjectMissName:
            message = at_end ? "EOF while parsing an object" : byte == '}' ? "trailing comma" : "key must be a string";
            break;
        case rapidjson::kParseErrorObjectMissColon:
            message = at_end ? "EOF while parsing an object" : "expected `:`";
            break;
        case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
            message = at_end ? "EOF while parsing an object" : "expected `,` or `}`";
            break;
        case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
            message = at_end ? "EOF while parsing a list" : "expected `,` or `]`";
            break;
        case rapidjson::kParseErrorStringMissQuotationMark:
            // Reported at the end of the text, or at a raw NUL byte.
            message = at_end ? "EOF while parsing a string" : "control character (\\u0000) found while parsing a string";
            break;
        case rapidjson::kParseErrorStringEscapeInvalid:
            if (byte == '\\') {
                message = escape_cut_by_end(text, offset) ? "EOF while parsing a string" : "invalid escape";
            } else {
                // RapidJSON gives raw control characters the escape error.
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, "control character (\\u%04x) found while parsing a string",
                              static_cast<unsigned char>(byte));
                message = buffer;
            }
            break;
        case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
            message = escape_cut_by_end(text, offset) ? "EOF while parsing a string" : "invalid escape";
            break;
        case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
            message = escape_cut_by_end(text, offset) ? "EOF while parsing a string" : "lone leading surrogate in hex escape";
            break;
        case rapidjson::kParseErrorStringInvalidEncoding: message = "invalid UTF-8 in string"; break;
        case rapidjson::kParseErrorNumberTooBig: message = "number out of range"; break;
        case rapidjson::kParseErrorNumberMissFraction:
        case rapidjson::kParseErrorNumberMissExponent:
            message = at_end ? "EOF while parsing a value" : "invalid number";
            break;
        default: message = "invalid JSON"; break;
    }
    const bool is_eof_message = message.starts_with("EOF");
    return message + position_suffix(text, is_eof_message ? text.size() : offset + 1);
}

}  // namespace

Result<Schema> read_schema(std::string_view text) {
    JsonTextStream stream(text);
    SchemaHandler handler(text, stream);
    ThrowingAllocator allocator;
    JsonReader reader(&allocator);
    constexpr unsigned flags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
    rapidjson::ParseResult result = reader.Parse<flags>(stream, handler);
    if (handler.failed()) return Failure{handler.error()};
    if (result.IsError()) return Failure{syntax_message(text, result.Code(), result.Offset())};
    // RapidJSON stops at a NUL byte as if the text ended there.
    if (stream.Tell() < text.size()) return Failure{"trailing characters" + position_suffix(text, stream.Tell() + 1)};
    return std::move(handler.schema());
}

}  // namespace kelvane
