// parse_line and parse_first over a prepared schema: separator checks, newline
// trim, trailing delimiter, quote-aware split, record selection, field count,
// then field conversion into a FieldSink.
#pragma once

#include <string>
#include <string_view>

#include "../schema/schema.h"
#include "field_value.h"

namespace kelvane {

// A Schema with what every line needs derived once: the separator checks,
// prepared formats, resolved zones and character sets.
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

private:
    Schema schema_;
    bool delimiter_ok_ = false;
    bool quote_ok_ = false;
    bool has_quote_ = false;
    char delimiter_ = 0;
    char quote_ = 0;
};

// Fails with the line's or the field's message. When the sink aborts, the
// result is a failure with an empty message (the sink holds the real error).
Status parse_line(const PreparedSchema& schema, std::string_view line, FieldSink& sink);

// The line's first field by its own simpler rules.
Result<std::string_view> parse_first(const PreparedSchema& schema, std::string_view line);

}  // namespace kelvane
