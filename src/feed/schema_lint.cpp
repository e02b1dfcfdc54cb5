// The schema lint: walks the schema's records (what the reader made of the
// document) beside its outline (where each key and value stands) and reports
// what can only be a mistake. Known keys come from the record tables.
#include "schema_lint.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "schema/record_tables.h"
#include "values/time_fields.h"
#include "values/time_format.h"
#include "values/zone_db.h"
#include "zone_tables.h"

namespace kelvane::feed {
namespace {

constexpr size_t shown_limit = 60;  // bytes of a key or value quoted in a message

// Cuts `text` to `limit` bytes at a character boundary, marking the cut.
std::string cut(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "...";
}

std::string shown(std::string_view text) { return "`" + cut(text, shown_limit) + "`"; }

bool is_identifier(std::string_view key) {
    if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// One step of a path: `.key`, `["odd key"]` or `[3]`.
std::string key_step(std::string_view key) {
    if (is_identifier(key)) return "." + std::string(key);
    std::string step = "[\"";
    for (char c : cut(key, shown_limit)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            step += '\\';
            step += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            static constexpr char hex[] = "0123456789abcdef";
            step += "\\u00";
            step += hex[byte >> 4];
            step += hex[byte & 15];
        } else {
            step += c;
        }
    }
    return step + "\"]";
}

std::string index_step(size_t index) { return "[" + std::to_string(index) + "]"; }

// Optimal string alignment distance (edits, with adjacent swaps), or a value
// above `limit` as soon as it must exceed it.
size_t edit_distance(std::string_view a, std::string_view b, size_t limit) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
    std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        size_t row_best = current[0];
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
            row_best = std::min(row_best, current[j]);
        }
        if (row_best > limit) return limit + 1;
        before.swap(previous);
        previous.swap(current);
    }
    return previous[b.size()];
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// The candidate a misspelling most likely meant: the same but for letter
// case, or else the closest within one edit (two for longer words).
std::string_view closest(std::string_view word, const std::vector<std::string_view>& candidates) {
    if (word.size() > 64) return {};
    for (std::string_view candidate : candidates)
        if (equal_ignoring_case(word, candidate)) return candidate;
    const size_t limit = word.size() <= 4 ? 1 : 2;
    std::string_view best;
    size_t best_distance = limit + 1;
    for (std::string_view candidate : candidates) {
        const size_t distance = edit_distance(word, candidate, limit);
        if (distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

std::vector<std::string_view> zone_names() {
    std::vector<std::string_view> names;
    names.reserve(zone_tables::name_count);
    for (const zone_tables::NameEntry& entry : zone_tables::names)
        names.emplace_back(zone_tables::name_bytes + entry.offset, entry.length);
    return names;
}

template <class Record>
void add_keys(std::vector<std::string_view>& keys) {
    for (const MemberInfo& info : member_infos<Record>) keys.push_back(info.key);
}

template <class Record>
size_t member_index(std::string_view key) {
    const auto& infos = member_infos<Record>;
    for (size_t i = 0; i < infos.size(); ++i)
        if (infos[i].key == key) return i;
    return infos.size();
}

// One record of the document: its keys (or elements) and its path.
struct RecordView {
    const std::vector<KeyRecord>* keys;
    bool object_form;
    std::string path;
    size_t first_member = 0;  // array form: the element of the first member (1 for fields, after the kind)
};

const KeyRecord* member_of(const RecordView& view, std::string_view key, size_t index) {
    if (view.object_form) {
        for (const KeyRecord& record : *view.keys)
            if (record.key == key) return &record;
        return nullptr;
    }
    const size_t element = view.first_member + index;
    return element < view.keys->size() ? &(*view.keys)[element] : nullptr;
}

std::string member_path(const RecordView& view, std::string_view key, size_t index) {
    return view.path + (view.object_form ? key_step(key) : index_step(view.first_member + index));
}

// The reference instant the format check fills components from: Monday
// 2021-01-04 13:30:15.5 UTC, in ISO week 1 of 2021 and in week 1 of both the
// Sunday- and the Monday-first counts. Indexed by Component.
constexpr int64_t reference_components[] = {
    2021,           // year
    20,             // year_div_100
    21,             // year_mod_100
    2021,           // isoyear
    21,             // isoyear_mod_100
    1,              // month
    4,              // day
    4,              // ordinal
    1,              // week_from_sun
    1,              // week_from_mon
    1,              // isoweek
    1,              // weekday (days since Sunday)
    1,              // hour_div_12
    1,              // hour_mod_12
    30,             // minute
    15,             // second
    500'000'000,    // nanosecond
    1'609'767'015,  // timestamp
    0,              // offset
};
static_assert(std::size(reference_components) == static_cast<size_t>(Component::count_));

enum class TemporalKind { date, time, datetime };

bool has(uint32_t mask, Component component) { return (mask >> static_cast<unsigned>(component)) & 1u; }

// Why no text can ever be read under a well-formed format, or "" when some can.
std::string never_matches(const TimeFormat& format, TemporalKind kind) {
    const uint32_t mask = components_always_read(format);
    Parsed parsed;
    for (unsigned i = 0; i < static_cast<unsigned>(Component::count_); ++i) {
        if (has(mask, static_cast<Component>(i)) && !parsed.set(static_cast<Component>(i), reference_components[i]))
            return {};  // cannot happen: the reference agrees with itself
    }
    CivilDate date{};
    TimeOfDay time{};
    const bool date_missing = resolve_date(parsed, date) == Resolution::missing;
    const bool time_missing = resolve_time(parsed, time) == Resolution::missing;
    NaiveDateTime datetime{};
    Parsed copy = parsed;
    const bool datetime_missing = resolve_datetime(copy, datetime) == Resolution::missing;

    const std::string no_date =
        "it never reads a whole date (a year with a month and a day, a day of the year, or a week with a weekday)";
    std::string no_time;
    if (has(mask, Component::hour_mod_12) && !has(mask, Component::hour_div_12)) {
        no_time = "it reads a 12-hour clock hour (`%I`) without AM or PM (`%p`)";
    } else if (!has(mask, Component::hour_div_12) || !has(mask, Component::hour_mod_12) || !has(mask, Component::minute)) {
        no_time = "it never reads an hour and a minute";
    } else {
        no_time = "it reads a fraction of a second without the second";
    }
    switch (kind) {
        case TemporalKind::date: return date_missing ? no_date : std::string();
        case TemporalKind::time: return time_missing ? no_time : std::string();
        case TemporalKind::datetime:
            if (!datetime_missing) return {};
            return (date_missing ? no_date : no_time) + " (nor a Unix time, `%s`)";
    }
    return {};
}

// Where a malformed format goes wrong: the byte where the first refused
// specifier (or the first byte that is not UTF-8) starts. Found as the
// longest prefix that compiles cleanly; long formats are not searched.
bool refused(std::string_view pattern) {
    const TimeFormat format(pattern);
    return !format.items().empty() && format.items().back().kind == TimeItem::Kind::error;
}

std::string refusal(std::string_view pattern) {
    if (pattern.size() > 256) return "a malformed specifier";
    size_t start = pattern.size();
    while (start > 0) {
        --start;
        if (!refused(pattern.substr(0, start))) break;
    }
    const std::string place = " at byte " + std::to_string(start + 1);
    if (pattern[start] != '%') return "a byte that is not UTF-8" + place;
    size_t end = start + 1;
    while (end < pattern.size() && end - start <= 3 && std::string_view("-0_#:.").find(pattern[end]) != std::string_view::npos) ++end;
    if (end < pattern.size()) {
        ++end;
        while (end < pattern.size() && (static_cast<unsigned char>(pattern[end]) & 0xC0) == 0x80) ++end;
    }
    return "the malformed specifier " + shown(pattern.substr(start, end - start)) + place;
}

class Linter {
public:
    Linter(const FeedSchema& schema, const SchemaOutline& outline)
        : schema_(schema.prepared()->schema()), outline_(outline) {}

    std::vector<LintFinding> run() {
        const RecordView root{&outline_.keys, outline_.object_form, ""};
        std::vector<std::string_view> known;
        add_keys<Schema>(known);
        unknown_keys(root, known, "in the schema", {});
        separators(root);

        const std::string lines_path = outline_.object_form ? ".lines" : index_step(member_index<Schema>("lines"));
        std::unordered_map<std::string_view, size_t> first_of_name;
        const size_t line_count = std::min(schema_.lines.size(), outline_.lines.size());
        for (size_t i = 0; i < line_count; ++i) {
            const Line& line = schema_.lines[i];
            const LineOutline& line_outline = outline_.lines[i];
            const RecordView view{&line_outline.keys, line_outline.object_form, lines_path + index_step(i)};
            std::vector<std::string_view> line_keys;
            add_keys<Line>(line_keys);
            unknown_keys(view, line_keys, "in a line", {});

            const auto [first, inserted] = first_of_name.emplace(line.name, i);
            if (!inserted) duplicate_line(view, first->second, lines_path);

            const std::string fields_path = view.path + (view.object_form ? ".fields" : index_step(member_index<Line>("fields")));
            const size_t field_count = std::min(line.fields.size(), line_outline.fields.size());
            for (size_t j = 0; j < field_count; ++j) {
                const FieldOutline& field_outline = line_outline.fields[j];
                field(line.fields[j], RecordView{&field_outline.keys, field_outline.object_form, fields_path + index_step(j), 1});
            }
        }
        std::stable_sort(findings_.begin(), findings_.end(),
                         [](const LintFinding& a, const LintFinding& b) { return a.position.offset < b.position.offset; });
        for (LintFinding& finding : findings_)
            if (!finding.path.empty() && finding.path[0] == '.') finding.path.erase(0, 1);
        return std::move(findings_);
    }

private:
    void add(JsonPosition position, std::string path, std::string code, std::string message) {
        findings_.push_back({position, std::move(path), std::move(code), std::move(message)});
    }

    // The value of a member, located, when it is there.
    struct Located {
        JsonPosition position;
        std::string path;
        const KeyRecord* record = nullptr;
    };

    template <class Record>
    Located locate(const RecordView& view, std::string_view key) {
        const size_t index = member_index<Record>(key);
        const KeyRecord* record = member_of(view, key, index);
        if (record == nullptr) return {};
        return {record->value_position, member_path(view, key, index), record};
    }

    void unknown_keys(const RecordView& view, const std::vector<std::string_view>& known, std::string_view where,
                      std::string_view kind) {
        if (!view.object_form) return;
        for (const KeyRecord& record : *view.keys) {
            if (std::find(known.begin(), known.end(), record.key) != known.end()) continue;
            std::string message = "unknown key " + shown(record.key) + " " + std::string(where);
            const std::string_view meant = closest(record.key, known);
            if (!meant.empty()) {
                message += "; did you mean `" + std::string(meant) + "`?";
            } else if (!kind.empty()) {
                message += other_kinds(record.key, kind);
            }
            add(record.key_position, view.path + key_step(record.key), "unknown-key", std::move(message));
        }
    }

    // " (a key of DATE and TIME fields)" when other kinds know the key.
    static std::string other_kinds(std::string_view key, std::string_view kind) {
        std::vector<std::string_view> owners;
        for (size_t k = 0; k < field_kind_count; ++k) {
            visit_field_kind(k, [&]<class Record>(std::type_identity<Record>) {
                if (RecordTable<Record>::tag != kind && member_index<Record>(key) < member_count<Record>)
                    owners.push_back(RecordTable<Record>::tag);
            });
        }
        if (owners.empty()) return {};
        std::string list;
        for (size_t i = 0; i < owners.size(); ++i) {
            if (i > 0) list += i + 1 == owners.size() ? " and " : ", ";
            list += owners[i];
        }
        return " (a key of " + list + " fields)";
    }

    void separators(const RecordView& root) {
        if (schema_.delimiter.size() != 1) {
            const Located at = locate<Schema>(root, "delimiter");
            if (at.record != nullptr)
                add(at.position, at.path, "delimiter-length",
                    "delimiter " + length_of(schema_.delimiter) + ": every line fails with \"Delimiter needs to be of length 1\"");
        }
        if (schema_.quote_str && schema_.quote_str->size() != 1) {
            const Located at = locate<Schema>(root, "quote_str");
            if (at.record != nullptr)
                add(at.position, at.path, "quote-length",
                    "quote_str " + length_of(*schema_.quote_str) + ": every line fails with \"Quote needs to be of length 1\"");
        }
    }

    static std::string length_of(std::string_view text) {
        if (text.empty()) return "is empty, not one byte";
        return shown(text) + " is " + std::to_string(text.size()) + " bytes long, not one";
    }

    void duplicate_line(const RecordView& view, size_t first, const std::string& lines_path) {
        const Located at = locate<Line>(view, "name");
        if (at.record == nullptr) return;
        const LineOutline& earlier = outline_.lines[first];
        std::string message = "line name " + shown(schema_.lines[first].name) + " is already the name of " +
                              (lines_path + index_step(first)).substr(lines_path[0] == '.' ? 1 : 0) +
                              position_suffix(earlier.position) +
                              ": parse_line selects the first line of a name, so this one is never used";
        add(at.position, at.path, "duplicate-line", std::move(message));
    }

    void field(const Field& field, const RecordView& view) {
        const std::string_view kind = field_kind_tag(field);
        std::vector<std::string_view> known = {"kind"};
        std::visit([&]<class Record>(const Record&) { add_keys<Record>(known); }, field);
        known.push_back("name");
        known.push_back("column_type");
        unknown_keys(view, known, "in a field of kind " + std::string(kind), kind);

        if (const auto* str = std::get_if<StrField>(&field)) {
            if (str->min_length && str->max_length && *str->min_length > *str->max_length)
                reversed<StrField>(view, "min_length", "max_length", "no text has a length between them");
        } else if (const auto* str_enum = std::get_if<StrEnumField>(&field)) {
            repeated_values<StrEnumField>(view, str_enum->values);
        } else if (const auto* integer = std::get_if<IntField>(&field)) {
            // Int bounds are truncated toward zero before comparing.
            if (integer->min_value && integer->max_value && std::trunc(*integer->min_value) > std::trunc(*integer->max_value))
                reversed<IntField>(view, "min_value", "max_value", "every value fails");
        } else if (const auto* int_enum = std::get_if<IntEnumField>(&field)) {
            repeated_values<IntEnumField>(view, int_enum->values);
        } else if (const auto* real = std::get_if<FloatField>(&field)) {
            if (real->min_value && real->max_value && *real->min_value > *real->max_value)
                reversed<FloatField>(view, "min_value", "max_value", "every value but NaN fails");
        } else if (const auto* decimal = std::get_if<DecimalField>(&field)) {
            if (decimal->min_value && decimal->max_value && compare(*decimal->min_value, *decimal->max_value) > 0)
                reversed<DecimalField>(view, "min_value", "max_value", "every value fails");
        } else if (const auto* flag = std::get_if<BoolField>(&field)) {
            if (flag->false_value && *flag->false_value == flag->true_value) {
                const Located at = locate<BoolField>(view, "false_value");
                if (at.record != nullptr)
                    add(at.position, at.path, "same-bool-values",
                        "false_value is the same text as true_value: it always reads as True");
            }
        } else if (const auto* datetime = std::get_if<DatetimeField>(&field)) {
            format<DatetimeField>(view, datetime->format, TemporalKind::datetime);
            zone(view, datetime->time_zone);
        } else if (const auto* date = std::get_if<DateField>(&field)) {
            format<DateField>(view, date->format, TemporalKind::date);
        } else if (const auto* time = std::get_if<TimeField>(&field)) {
            format<TimeField>(view, time->format, TemporalKind::time);
        }
    }

    template <class Record>
    void reversed(const RecordView& view, std::string_view low_key, std::string_view high_key, std::string_view effect) {
        const Located low = locate<Record>(view, low_key);
        const Located high = locate<Record>(view, high_key);
        if (low.record == nullptr || high.record == nullptr) return;
        add(low.position, low.path, "min-above-max",
            std::string(low_key) + " " + cut(low.record->string_value, shown_limit) + " is greater than " +
                std::string(high_key) + " " + cut(high.record->string_value, shown_limit) + ": " + std::string(effect));
    }

    template <class Record, class Value>
    void repeated_values(const RecordView& view, const std::vector<Value>& values) {
        const Located at = locate<Record>(view, "values");
        if (at.record == nullptr) return;
        const std::vector<ElementRecord>& elements = at.record->elements;
        if (elements.size() != values.size()) return;
        std::unordered_map<Value, size_t> first_of;
        for (size_t i = 0; i < values.size(); ++i) {
            const auto [first, inserted] = first_of.emplace(values[i], i);
            if (inserted) continue;
            add(elements[i].position, at.path + index_step(i), "duplicate-enum-value",
                "enum value " + shown(elements[i].text) + " repeats the one at index " + std::to_string(first->second) +
                    "; the repeat has no effect");
        }
    }

    template <class Record>
    void format(const RecordView& view, const std::string& pattern, TemporalKind kind) {
        const Located at = locate<Record>(view, "format");
        if (at.record == nullptr) return;
        const std::string_view tag = RecordTable<Record>::tag;
        if (refused(pattern)) {
            add(at.position, at.path, "bad-format",
                "format " + shown(pattern) + " has " + refusal(pattern) + ": every " + std::string(tag) + " value fails");
            return;
        }
        const std::string reason = never_matches(TimeFormat(pattern), kind);
        if (!reason.empty())
            add(at.position, at.path, "format-never-matches",
                "format " + shown(pattern) + " can never read a " + std::string(tag) + " value: " + reason);
    }

    void zone(const RecordView& view, const std::string& name) {
        if (find_zone(name) != nullptr) return;
        const Located at = locate<DatetimeField>(view, "time_zone");
        if (at.record == nullptr) return;
        if (zone_names_.empty()) zone_names_ = zone_names();
        std::string message = "time zone " + shown(name) + " is not in the built-in database (IANA " +
                              zone_tables::iana_version + "): every value fails with \"Invalid timezone\"";
        const std::string_view meant = closest(name, zone_names_);
        if (!meant.empty()) message += "; did you mean `" + std::string(meant) + "`?";
        add(at.position, at.path, "unknown-zone", std::move(message));
    }

    const Schema& schema_;
    const SchemaOutline& outline_;
    std::vector<std::string_view> zone_names_;
    std::vector<LintFinding> findings_;
};

}  // namespace

std::vector<LintFinding> lint_schema(const FeedSchema& schema) {
    Result<SchemaOutline> outline = outline_schema(schema.text(), true);
    if (!outline) return {};  // never: the text has been read
    return Linter(schema, outline.value()).run();
}

}  // namespace kelvane::feed
