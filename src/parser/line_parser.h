// parse_line and parse_first over a prepared schema: separator checks, newline
// trim, trailing delimiter, quote-aware split, record selection, field count,
// then field conversion into a FieldSink.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../schema/schema.h"
#include "../values/time_format.h"
#include "../values/utf8.h"
#include "../values/zone_db.h"
#include "field_value.h"
#include "lookup_tables.h"

namespace kelvane {

// An INT field's bounds as 128-bit integers; a missing bound is the end of
// the range, which no value passes.
struct IntBounds {
    int128 low;
    int128 high;
};

// A STR_ENUM field's values by text, and by the text between the quotes of
// the values that are written quoted (what the quoted form of a piece meets).
struct TextEnum {
    TextIndex exact;
    TextIndex quoted;
};

// What a field needs on every line beyond its document members, derived once
// when the Parser is built. Which member is set follows the field's kind.
// Fields with the same format (or the same invalid characters) share one
// compiled form.
struct PreparedField {
    union {
        const TimeFormat* format = nullptr;  // DATETIME, DATE, TIME
        const CharSet* invalid_characters;   // STR; null without invalid_characters
        const TextEnum* text_enum;           // STR_ENUM
        const IntSet* int_enum;              // INT_ENUM
        const IntBounds* int_bounds;         // INT; null without bounds
    };
    const Zone* zone = nullptr;  // DATETIME; null for a name the database lacks
    // Presence beyond a non-empty piece: the field's `required`, and for STR
    // the schema's coerce_empty_quoted (an empty quoted piece is text).
    bool required = false;
    bool empty_quoted_is_present = false;
};

// A Schema with what every line needs derived once: the separator checks,
// the record names by name and one PreparedField per field. Not copied: the
// prepared fields point into it.
class PreparedSchema {
public:
    static constexpr size_t no_line = TextIndex::not_found;

    explicit PreparedSchema(Schema schema);
    PreparedSchema(const PreparedSchema&) = delete;
    PreparedSchema& operator=(const PreparedSchema&) = delete;

    const Schema& schema() const { return schema_; }
    bool delimiter_ok() const { return delimiter_ok_; }
    // Quote string absent, or exactly one byte.
    bool quote_ok() const { return quote_ok_; }
    char delimiter() const { return delimiter_; }
    bool has_quote() const { return has_quote_; }
    char quote() const { return quote_; }
    // The first Line of that name, or no_line. A few names are compared in
    // turn, more are looked up by hash.
    size_t find_line(std::string_view name) const {
        if (schema_.lines.size() <= few_lines) {
            for (size_t line = 0; line < schema_.lines.size(); ++line) {
                if (same_text(schema_.lines[line].name, name)) return line;
            }
            return no_line;
        }
        return line_names_.find(name, [this](uint32_t line) -> std::string_view { return schema_.lines[line].name; });
    }
    // Index-parallel to schema().lines[line].fields.
    std::span<const PreparedField> prepared_fields(size_t line) const {
        return std::span(fields_).subspan(line_starts_[line], schema_.lines[line].fields.size());
    }

private:
    static constexpr size_t few_lines = 8;

    Schema schema_;
    bool delimiter_ok_ = false;
    bool quote_ok_ = false;
    bool has_quote_ = false;
    char delimiter_ = 0;
    char quote_ = 0;
    TextIndex line_names_;
    std::vector<PreparedField> fields_;  // every line's fields, line after line
    std::vector<size_t> line_starts_;    // index of each line's first field in fields_
    std::vector<std::shared_ptr<const TimeFormat>> formats_;
    std::vector<std::shared_ptr<const CharSet>> char_sets_;
    std::vector<IntBounds> int_bounds_;  // sized once: fields point into these
    std::vector<TextEnum> text_enums_;
    std::vector<IntSet> int_enums_;
};

// Fails with the line's or the field's message. When the sink aborts, the
// result is a failure with an empty message (the sink holds the real error).
Status parse_line(const PreparedSchema& schema, std::string_view line, FieldSink& sink);

// The line's first field by its own simpler rules.
Result<std::string_view> parse_first(const PreparedSchema& schema, std::string_view line);

}  // namespace kelvane
