// Reading a schema for the feed reader: the schema reader first (its messages
// are the Parser's), then column names and types from the outline walk, then
// the record kinds and their column plans.
#include "feed_schema.h"

#include <unordered_set>

namespace kelvane::feed {
namespace {

bool is_required(const Field& field) {
    return std::visit([](const auto& record) { return record.required; }, field);
}

std::shared_ptr<const DictionaryValues> make_dictionary(const StrEnumField& field) {
    auto dictionary = std::make_shared<DictionaryValues>();
    ColumnData& column = dictionary->column;
    column.values.push<int32_t>(0);
    dictionary->by_position.reserve(field.values.size());
    for (const std::string& value : field.values) {
        if (const auto found = dictionary->index.find(value); found != dictionary->index.end()) {
            dictionary->by_position.push_back(found->second);
            continue;
        }
        dictionary->by_position.push_back(static_cast<int32_t>(column.length));
        if (column.data.size() + value.size() > INT32_MAX) throw std::bad_alloc();
        dictionary->index.emplace(std::string_view(value), static_cast<int32_t>(column.length));
        column.data.append(value.data(), value.size());
        column.values.push<int32_t>(static_cast<int32_t>(column.data.size()));
        ++column.length;
    }
    column.values.shrink_to_fit();
    column.data.shrink_to_fit();
    return dictionary;
}

// The reader-only keys of one field description.
struct FieldKeys {
    std::optional<std::string> name;
    std::optional<ColumnType> type;
};

Result<FieldKeys> read_field_keys(const FieldOutline& outline, const Field& field) {
    FieldKeys keys;
    bool seen_name = false;
    bool seen_type = false;
    for (const KeyRecord& key : outline.keys) {
        if (key.key != "name" && key.key != "column_type") continue;
        const bool is_name = key.key == "name";
        bool& seen = is_name ? seen_name : seen_type;
        if (seen) return Failure{"duplicate field `" + key.key + "`" + position_suffix(key.key_position)};
        seen = true;
        if (key.value_type == JsonType::null) continue;
        if (key.value_type != JsonType::string)
            return Failure{"the value of `" + key.key + "` must be a string" + position_suffix(key.value_position)};
        if (is_name) {
            if (key.string_value.empty())
                return Failure{"a column name must not be empty" + position_suffix(key.value_position)};
            keys.name = key.string_value;
        } else {
            Result<ColumnType> type = parse_column_type(key.string_value, field);
            if (!type) return Failure{type.message() + position_suffix(key.value_position)};
            keys.type = std::move(type).value();
        }
    }
    return keys;
}

}  // namespace

FeedLayout::FeedLayout(std::shared_ptr<const PreparedSchema> prepared, std::vector<KindLayout> kinds)
    : prepared_(std::move(prepared)), kinds_(std::move(kinds)) {
    for (size_t i = 0; i < kinds_.size(); ++i) by_name_.emplace(kinds_[i].name, static_cast<int>(i));
}

int FeedLayout::find_kind(std::string_view name) const {
    const auto it = by_name_.find(name);
    return it == by_name_.end() ? -1 : it->second;
}

Result<std::shared_ptr<const FeedSchema>> FeedSchema::read(std::string text) {
    Result<Schema> schema = read_schema(text);
    if (!schema) return Failure{schema.message()};
    std::shared_ptr<FeedSchema> result(new FeedSchema());
    result->prepared_ = std::make_shared<const PreparedSchema>(std::move(schema).value());
    const Schema& document = result->prepared_->schema();

    Result<SchemaOutline> outline = outline_schema(text);
    if (!outline) return Failure{outline.message()};
    result->outline_ = std::move(outline).value();
    const SchemaOutline& walked = result->outline_;
    if (walked.lines.size() != document.lines.size()) return Failure{"the schema outline does not match the schema"};

    for (size_t i = 0; i < document.lines.size(); ++i) {
        const Line& line = document.lines[i];
        const LineOutline& line_outline = walked.lines[i];
        if (line_outline.fields.size() != line.fields.size())
            return Failure{"the schema outline does not match the schema"};
        std::vector<std::string> names;
        std::vector<std::optional<ColumnType>> types;
        std::unordered_set<std::string> taken;
        for (size_t j = 0; j < line.fields.size(); ++j) {
            Result<FieldKeys> keys = read_field_keys(line_outline.fields[j], line.fields[j]);
            if (!keys) return Failure{keys.message()};
            std::string name;
            if (keys.value().name) {
                name = *keys.value().name;
            } else {
                name = "f";
                name += std::to_string(j + 1);
            }
            if (!taken.insert(name).second) {
                return Failure{"duplicate column name '" + name + "' in line '" + line.name + "'" +
                               position_suffix(line_outline.fields[j].position)};
            }
            names.push_back(std::move(name));
            types.push_back(keys.value().type);
        }
        result->column_names_.push_back(std::move(names));
        result->schema_types_.push_back(std::move(types));
    }

    Result<std::shared_ptr<const FeedLayout>> layout = result->build_layout({});
    if (!layout) return Failure{layout.message()};
    result->layout_ = std::move(layout).value();
    result->text_ = std::move(text);
    return std::shared_ptr<const FeedSchema>(std::move(result));
}

Result<std::shared_ptr<const FeedLayout>> FeedSchema::layout_with(const std::vector<ColumnOverride>& overrides) const {
    if (overrides.empty()) return layout_;
    return build_layout(overrides);
}

Result<std::shared_ptr<const FeedLayout>> FeedSchema::build_layout(const std::vector<ColumnOverride>& overrides) const {
    const Schema& document = prepared_->schema();
    std::vector<KindLayout> kinds;
    std::unordered_set<std::string_view> seen;
    for (size_t i = 0; i < document.lines.size(); ++i) {
        const Line& line = document.lines[i];
        if (!seen.insert(line.name).second) continue;  // later Lines of a name are never selected
        KindLayout kind;
        kind.name = line.name;
        kind.line_index = i;
        for (size_t j = 0; j < line.fields.size(); ++j) {
            ColumnPlan plan;
            plan.name = column_names_[i][j];
            plan.field = &line.fields[j];
            plan.type = schema_types_[i][j] ? *schema_types_[i][j] : default_column_type(line.fields[j]);
            plan.nullable = !is_required(line.fields[j]);
            kind.columns.push_back(std::move(plan));
        }
        kinds.push_back(std::move(kind));
    }

    for (const ColumnOverride& override : overrides) {
        KindLayout* kind = nullptr;
        for (KindLayout& candidate : kinds)
            if (candidate.name == override.kind) kind = &candidate;
        if (kind == nullptr) return Failure{"column_types: the schema has no record kind '" + override.kind + "'"};
        ColumnPlan* plan = nullptr;
        if (override.column.empty()) {
            if (override.position >= 1 && override.position <= kind->columns.size())
                plan = &kind->columns[override.position - 1];
        } else {
            for (ColumnPlan& candidate : kind->columns)
                if (candidate.name == override.column) plan = &candidate;
        }
        const std::string column =
            override.column.empty() ? "field " + std::to_string(override.position) : "column '" + override.column + "'";
        if (plan == nullptr) return Failure{"column_types: record kind '" + override.kind + "' has no " + column};
        Result<ColumnType> type = parse_column_type(override.type, *plan->field);
        if (!type) return Failure{"column_types: " + column + " of record kind '" + override.kind + "': " + type.message()};
        plan->type = std::move(type).value();
    }

    for (KindLayout& kind : kinds) {
        for (ColumnPlan& plan : kind.columns) {
            if (plan.type.kind == ColumnKind::dictionary)
                plan.dictionary = make_dictionary(std::get<StrEnumField>(*plan.field));
        }
    }
    return std::make_shared<const FeedLayout>(prepared_, std::move(kinds));
}

}  // namespace kelvane::feed
