// The reader's view of a schema: the prepared schema the parser reads lines
// with, the column name and type of every field, and the record kinds (the
// first Line of each name, as parse_line selects them) with their columns.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../parser/line_parser.h"
#include "column_data.h"
#include "column_type.h"
#include "schema_outline.h"

namespace kelvane::feed {

// The values of a STR_ENUM field as the dictionary of its column: distinct
// texts in schema order, and the index of each, by text and by the value's
// position in the field (a repeated value has its first one's index).
struct DictionaryValues {
    ColumnData column;  // utf8
    std::unordered_map<std::string_view, int32_t> index;  // views into the schema's values
    std::vector<int32_t> by_position;
};

struct ColumnPlan {
    std::string name;
    ColumnType type;
    const Field* field = nullptr;  // owned by the layout's prepared schema
    bool nullable = true;
    std::shared_ptr<const DictionaryValues> dictionary;  // dictionary columns
};

struct KindLayout {
    std::string name;
    size_t line_index = 0;  // the Line of the schema this kind reads
    std::vector<ColumnPlan> columns;
};

// Everything a read needs from the schema; immutable and shared by every
// worker thread and every exported batch.
class FeedLayout {
public:
    FeedLayout(std::shared_ptr<const PreparedSchema> prepared, std::vector<KindLayout> kinds);

    const PreparedSchema& prepared() const { return *prepared_; }
    const std::vector<KindLayout>& kinds() const { return kinds_; }
    // The kind read by lines whose record name is `name`, or -1.
    int find_kind(std::string_view name) const;

private:
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };

    std::shared_ptr<const PreparedSchema> prepared_;
    std::vector<KindLayout> kinds_;
    std::unordered_map<std::string, int, NameHash, std::equal_to<>> by_name_;
};

// A column type chosen by the caller for one field of one kind, the field
// given by column name or by 1-based position.
struct ColumnOverride {
    std::string kind;
    std::string column;  // empty: by position
    size_t position = 0;
    std::string type;
};

class FeedSchema {
public:
    // Reads the schema text with the schema reader (same messages as the
    // Parser), then the reader-only keys of field descriptions.
    static Result<std::shared_ptr<const FeedSchema>> read(std::string text);

    const std::string& text() const { return text_; }
    const SchemaOutline& outline() const { return outline_; }
    const std::shared_ptr<const PreparedSchema>& prepared() const { return prepared_; }
    // Column names of every Line (all Lines, not only kinds).
    const std::vector<std::vector<std::string>>& column_names() const { return column_names_; }

    // The layout with the schema's own column types.
    const std::shared_ptr<const FeedLayout>& layout() const { return layout_; }
    // The layout with some column types chosen by the caller.
    Result<std::shared_ptr<const FeedLayout>> layout_with(const std::vector<ColumnOverride>& overrides) const;

private:
    FeedSchema() = default;
    Result<std::shared_ptr<const FeedLayout>> build_layout(const std::vector<ColumnOverride>& overrides) const;

    std::string text_;
    std::shared_ptr<const PreparedSchema> prepared_;
    SchemaOutline outline_;
    std::vector<std::vector<std::string>> column_names_;
    std::vector<std::vector<std::optional<ColumnType>>> schema_types_;  // from "column_type" keys
    std::shared_ptr<const FeedLayout> layout_;
};

}  // namespace kelvane::feed
