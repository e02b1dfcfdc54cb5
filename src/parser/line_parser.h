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

namespace kelvane {

// What a field needs on every line beyond its document members, derived once
// when the Parser is built. Fields with the same format (or the same invalid
// characters) share one compiled form.
struct PreparedField {
    const TimeFormat* format = nullptr;            // DATETIME, DATE, TIME
    const Zone* zone = nullptr;                    // DATETIME; null for a name the database lacks
    const CharSet* invalid_characters = nullptr;   // STR with invalid_characters
};

// A Schema with what every line needs derived once: the separator checks and
// one PreparedField per field. Copies share the compiled forms, which never
// change.
class PreparedSchema {
public:
    explicit PreparedSchema(Schema schema);

    const Schema& schema() const { return schema_; }
    bool delimiter_ok() const { return delimiter_ok_; }
    // Quote string absent, or exactly one byte.
    bool quote_ok() const { return quote_ok_; }
    char delimiter() const { return delimiter_; }
    bool has_quote() const { return has_quote_; }
    char quote() const { return quote_; }
    // Index-parallel to schema().lines[line].fields.
    std::span<const PreparedField> prepared_fields(size_t line) const {
        return std::span(fields_).subspan(line_starts_[line], schema_.lines[line].fields.size());
    }

private:
    Schema schema_;
    bool delimiter_ok_ = false;
    bool quote_ok_ = false;
    bool has_quote_ = false;
    char delimiter_ = 0;
    char quote_ = 0;
    std::vector<PreparedField> fields_;  // every line's fields, line after line
    std::vector<size_t> line_starts_;    // index of each line's first field in fields_
    std::vector<std::shared_ptr<const TimeFormat>> formats_;
    std::vector<std::shared_ptr<const CharSet>> char_sets_;
};

// Fails with the line's or the field's message. When the sink aborts, the
// result is a failure with an empty message (the sink holds the real error).
Status parse_line(const PreparedSchema& schema, std::string_view line, FieldSink& sink);

// The line's first field by its own simpler rules.
Result<std::string_view> parse_first(const PreparedSchema& schema, std::string_view line);

}  // namespace kelvane
