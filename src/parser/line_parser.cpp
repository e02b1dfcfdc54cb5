// Preparing a schema for its lines, parse_line over any FieldSink, and the
// first-field rule of parse_first.
#include "line_parser.h"

#include <new>
#include <unordered_map>
#include <vector>

#include "line_loop.h"

namespace kelvane {
namespace {

// One shared compiled form per distinct source text.
template <class Compiled>
class SharedForms {
public:
    explicit SharedForms(std::vector<std::shared_ptr<const Compiled>>& owned) : owned_(owned) {}

    const Compiled* get(const std::string& source) {
        auto [entry, added] = by_source_.try_emplace(source, nullptr);
        if (added) {
            owned_.push_back(std::make_shared<const Compiled>(source));
            entry->second = owned_.back().get();
        }
        return entry->second;
    }

private:
    std::vector<std::shared_ptr<const Compiled>>& owned_;
    std::unordered_map<std::string_view, const Compiled*> by_source_;  // views into the schema
};

constexpr int128 int128_max = static_cast<int128>((static_cast<uint128>(1) << 127) - 1);
constexpr int128 int128_min = -int128_max - 1;

// Positions are 32-bit; no schema that fits in memory comes near.
uint32_t checked_count(size_t count) {
    if (count >= TextIndex::not_found) throw std::bad_alloc();
    return static_cast<uint32_t>(count);
}

TextEnum text_enum(const std::vector<std::string>& values, bool has_quote, char quote) {
    const uint32_t count = checked_count(values.size());
    const auto value_at = [&values](uint32_t position) -> std::string_view { return values[position]; };
    TextEnum table{TextIndex(count), TextIndex()};
    for (uint32_t position = 0; position < count; ++position) table.exact.insert(position, values[position], value_at);
    if (has_quote) {
        const auto written_quoted = [&](const std::string& value) {
            return value.size() >= 2 && value.front() == quote && value.back() == quote;
        };
        const auto inner_at = [&values](uint32_t position) {
            return std::string_view(values[position]).substr(1, values[position].size() - 2);
        };
        size_t quoted_count = 0;
        for (const std::string& value : values) quoted_count += written_quoted(value);
        table.quoted = TextIndex(quoted_count);
        for (uint32_t position = 0; position < count; ++position) {
            if (written_quoted(values[position])) table.quoted.insert(position, inner_at(position), inner_at);
        }
    }
    return table;
}

}  // namespace

PreparedSchema::PreparedSchema(Schema schema) : schema_(std::move(schema)) {
    delimiter_ok_ = schema_.delimiter.size() == 1;
    if (delimiter_ok_) delimiter_ = schema_.delimiter[0];
    quote_ok_ = !schema_.quote_str || schema_.quote_str->size() == 1;
    has_quote_ = schema_.quote_str && schema_.quote_str->size() == 1;
    if (has_quote_) quote_ = (*schema_.quote_str)[0];

    const uint32_t line_count = checked_count(schema_.lines.size());
    if (line_count > few_lines) {
        line_names_ = TextIndex(line_count);
        const auto name_at = [this](uint32_t line) -> std::string_view { return schema_.lines[line].name; };
        for (uint32_t line = 0; line < line_count; ++line) line_names_.insert(line, schema_.lines[line].name, name_at);
    }

    // The per-kind tables are sized first: prepared fields point into them.
    size_t field_count = 0;
    size_t bounded_ints = 0;
    size_t text_enums = 0;
    size_t int_enums = 0;
    for (const Line& line : schema_.lines) {
        field_count += line.fields.size();
        for (const Field& field : line.fields) {
            if (const auto* integer = std::get_if<IntField>(&field)) {
                bounded_ints += integer->min_value || integer->max_value;
            }
            text_enums += std::holds_alternative<StrEnumField>(field);
            int_enums += std::holds_alternative<IntEnumField>(field);
        }
    }
    fields_.reserve(field_count);
    line_starts_.reserve(schema_.lines.size());
    int_bounds_.reserve(bounded_ints);
    text_enums_.reserve(text_enums);
    int_enums_.reserve(int_enums);

    SharedForms<TimeFormat> formats(formats_);
    SharedForms<CharSet> char_sets(char_sets_);
    for (const Line& line : schema_.lines) {
        line_starts_.push_back(fields_.size());
        for (const Field& field : line.fields) {
            PreparedField& prepared = fields_.emplace_back();
            prepared.required = std::visit([](const auto& record) { return record.required; }, field);
            prepared.empty_quoted_is_present = schema_.coerce_empty_quoted && std::holds_alternative<StrField>(field);
            if (const auto* str = std::get_if<StrField>(&field)) {
                if (str->invalid_characters) prepared.invalid_characters = char_sets.get(*str->invalid_characters);
            } else if (const auto* str_enum = std::get_if<StrEnumField>(&field)) {
                prepared.text_enum = &text_enums_.emplace_back(text_enum(str_enum->values, has_quote_, quote_));
            } else if (const auto* integer = std::get_if<IntField>(&field)) {
                if (integer->min_value || integer->max_value) {
                    prepared.int_bounds = &int_bounds_.emplace_back(IntBounds{
                        integer->min_value ? int_bound(*integer->min_value) : int128_min,
                        integer->max_value ? int_bound(*integer->max_value) : int128_max});
                }
            } else if (const auto* int_enum = std::get_if<IntEnumField>(&field)) {
                checked_count(int_enum->values.size());
                prepared.int_enum = &int_enums_.emplace_back(int_enum->values);
            } else if (const auto* datetime = std::get_if<DatetimeField>(&field)) {
                prepared.format = formats.get(datetime->format);
                // The database never changes, so resolving the name once
                // answers every later lookup the same way.
                prepared.zone = find_zone(datetime->time_zone);
            } else if (const auto* date = std::get_if<DateField>(&field)) {
                prepared.format = formats.get(date->format);
            } else if (const auto* time = std::get_if<TimeField>(&field)) {
                prepared.format = formats.get(time->format);
            }
        }
    }
}

Status parse_line(const PreparedSchema& prepared, std::string_view line, FieldSink& sink) {
    return parse_line_into(prepared, line, sink);
}

Result<std::string_view> parse_first(const PreparedSchema& prepared, std::string_view line) {
    if (!prepared.quote_ok()) return Failure{"Quote needs to be of length 1"};
    if (prepared.has_quote() && !line.empty() && line.front() == prepared.quote()) {
        // Quoted first field: up to the next quote character, or the end.
        const std::string_view rest = line.substr(1);
        return rest.substr(0, rest.find(prepared.quote()));
    }
    if (!prepared.delimiter_ok()) return Failure{"Delimiter needs to be of length 1"};
    return line.substr(0, line.find(prepared.delimiter()));
}

}  // namespace kelvane
