// A second, light walk over a schema text the schema reader has accepted:
// where each line and field description stands, which keys (or, in the array
// form, which elements) each holds, for the reader-only keys of a field
// description ("name", "column_type") that the parser skips as unknown, and
// for the schema's lint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../values/result.h"

namespace kelvane::feed {

// A place in the schema text, counted as schema messages count: line from 1,
// column the 1-based byte index within that line.
struct JsonPosition {
    size_t offset = 0;
    uint32_t line = 1;
    uint32_t column = 1;
};

// " at line L column C".
std::string position_suffix(const JsonPosition& position);

enum class JsonType : uint8_t { null, boolean, number, string, array, object };

// One element of an array that a key holds (a list of enum values).
struct ElementRecord {
    JsonPosition position;
    JsonType type = JsonType::null;
    std::string text;  // strings: the value; numbers: the number as written
};

// One key of an object: its (unescaped) name, where the key's opening quote
// and its value start, the value's JSON type and, for strings, the value (for
// numbers, the number as written). In the array form a record's elements are
// recorded the same way, with an empty name and no key position.
struct KeyRecord {
    std::string key;
    JsonPosition key_position;
    JsonPosition value_position;
    JsonType value_type = JsonType::null;
    std::string string_value;  // strings and numbers
    std::vector<ElementRecord> elements;  // arrays, when the walk records elements
};

struct FieldOutline {
    JsonPosition position;  // the description's opening bracket
    bool object_form = true;
    std::vector<KeyRecord> keys;  // every key (or element) in order
};

struct LineOutline {
    JsonPosition position;
    bool object_form = true;
    std::vector<KeyRecord> keys;
    std::vector<FieldOutline> fields;
};

struct SchemaOutline {
    JsonPosition position;
    bool object_form = true;
    std::vector<KeyRecord> keys;
    std::vector<LineOutline> lines;
};

// Walks an accepted schema text. Fails only on text the schema reader would
// refuse (it is never given any). With `with_elements`, the elements of
// arrays that keys hold (beside `lines` and `fields`) are recorded too.
Result<SchemaOutline> outline_schema(std::string_view text, bool with_elements = false);

}  // namespace kelvane::feed
