// Fuzz target for parse_line and parse_first: the first input byte picks one
// of the real schemas under fuzz/schemas (read once at start-up), the rest is
// the line. A plain reference of the split, record selection and count rules
// (written from the rules, byte by byte, without the fast paths) decides what
// must happen up to the fields: the exact line message, or which pieces the
// fields get; unconstrained STR fields must then deliver exactly their piece,
// and a field failure must name its piece and its field's description. Values
// must lie inside their ranges, parse_first must match its own reference, and
// a second run must give the same outcome.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "checking_sink.h"
#include "fuzz_common.h"
#include "parser/field_convert.h"
#include "parser/line_parser.h"

using namespace kelvane;
using kelvane_fuzz::CheckingSink;
using kelvane_fuzz::show;

namespace {

std::vector<std::unique_ptr<PreparedSchema>> schemas;

// Used only while the schema reader cannot read the files: one record per
// field kind, written directly as records.
Schema built_in_schema() {
    Schema schema;
    schema.delimiter = "|";
    schema.quote_str = "'";
    schema.coerce_empty_quoted = true;
    Line line;
    line.name = "A";
    StrField text;
    text.min_length = 1;
    text.max_length = 4;
    text.invalid_characters = "x";
    line.fields.push_back(text);
    StrEnumField choice;
    choice.values = {"A", "'B'"};
    line.fields.push_back(choice);
    IntField integer;
    integer.min_value = -2.5;
    integer.max_value = 1e30;
    line.fields.push_back(integer);
    IntEnumField code;
    code.values = {1, -9223372036854775807 - 1};
    line.fields.push_back(code);
    FloatField ratio;
    ratio.min_value = 0.0;
    ratio.max_value = 1.0;
    line.fields.push_back(ratio);
    DecimalField amount;
    amount.round_decimal_places = 2;
    amount.min_value = Decimal::from_str("0.1");
    amount.max_value = Decimal::from_str("100");
    line.fields.push_back(amount);
    BoolField flag;
    flag.true_value = "Y";
    flag.false_value = "N";
    line.fields.push_back(flag);
    DatetimeField stamp;
    stamp.format = "%Y-%m-%d %H:%M:%S";
    stamp.time_zone = "Europe/Paris";
    line.fields.push_back(stamp);
    DateField day;
    day.format = "%Y%m%d";
    line.fields.push_back(day);
    TimeField clock;
    clock.format = "%H:%M:%S%.f";
    line.fields.push_back(clock);
    schema.lines.push_back(line);
    return schema;
}

void load_schemas() {
    for (const auto& [path, text] : kelvane_fuzz::schema_files(KELVANE_FUZZ_SCHEMA_DIR)) {
        Result<Schema> schema = read_schema(text);
        if (!schema) {
            std::fprintf(stderr, "fuzz_line: %s not read: %s\n", path.c_str(), schema.message().c_str());
            continue;
        }
        schemas.push_back(std::make_unique<PreparedSchema>(std::move(schema).value()));
    }
    if (schemas.empty()) {
        std::fprintf(stderr, "fuzz_line: no schema read, using the built-in one\n");
        schemas.push_back(std::make_unique<PreparedSchema>(built_in_schema()));
    }
}

constexpr const char* field_messages[] = {
    "String is too short", "String is too long", "String contains invalid characters", "Value not in enum",
    "Does not parse as int", "Int is too small", "Int is too large", "Does not parse as float",
    "Float is too small", "Float is too large", "Does not parse as decimal", "Decimal is too small",
    "Decimal is too large", "Value is neither true or false value", "Invalid timezone",
    "Does not parse as datetime", "Does not parse as date", "Does not parse as time",
};

bool known_message(const std::string& message) {
    static constexpr const char* fixed[] = {"Delimiter needs to be of length 1", "Quote needs to be of length 1",
                                            "Line doesn't have trailing delimiter"};
    for (const char* text : fixed)
        if (message == text) return true;
    if (message.rfind("No schema line matching '", 0) == 0 && message.back() == '\'') return true;
    if (message.rfind("Mismatched line length, schema length: ", 0) == 0) return true;
    for (const char* text : field_messages) {
        if (message.rfind(std::string(text) + " - '", 0) == 0 && message.find("' given schema: ") != std::string::npos)
            return true;
    }
    return false;
}

struct ReferencePiece {
    std::string text;
    bool quoted = false;
};

// What parse_line must do before any field is converted: fail with `message`,
// or hand `pieces[1..]` to the fields of `line`.
struct ReferenceLine {
    std::string message;
    const Line* line = nullptr;
    std::vector<ReferencePiece> pieces;
};

ReferenceLine reference_line(const Schema& schema, std::string_view text) {
    ReferenceLine result;
    if (schema.delimiter.size() != 1) {
        result.message = "Delimiter needs to be of length 1";
        return result;
    }
    if (schema.quote_str && schema.quote_str->size() != 1) {
        result.message = "Quote needs to be of length 1";
        return result;
    }
    const char delimiter = schema.delimiter[0];
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (schema.trailing_delimiter) {
        if (text.empty() || text.back() != delimiter) {
            result.message = "Line doesn't have trailing delimiter";
            return result;
        }
        text.remove_suffix(1);
    }
    ReferencePiece current;
    bool in_quotes = false;
    for (const char c : text) {
        if (schema.quote_str && c == (*schema.quote_str)[0]) {
            in_quotes = !in_quotes;
            current.quoted = true;
        } else if (c == delimiter && !in_quotes) {
            result.pieces.push_back(current);
            current = ReferencePiece{};
        } else {
            current.text += c;
        }
    }
    result.pieces.push_back(current);
    for (const Line& candidate : schema.lines) {
        if (candidate.name == result.pieces[0].text) {
            result.line = &candidate;
            break;
        }
    }
    if (result.line == nullptr) {
        result.message = "No schema line matching '" + result.pieces[0].text + "'";
    } else if (result.line->fields.size() != result.pieces.size() - 1) {
        result.message = "Mismatched line length, schema length: " + std::to_string(result.line->fields.size()) +
                         ", actual length: (header=1) + " + std::to_string(result.pieces.size() - 1);
        result.line = nullptr;
    }
    return result;
}

std::optional<std::string> reference_first(const Schema& schema, std::string_view line) {
    if (schema.quote_str) {
        if (schema.quote_str->size() != 1) return std::nullopt;
        const char quote = (*schema.quote_str)[0];
        if (!line.empty() && line[0] == quote) {
            const std::string_view rest = line.substr(1);
            return std::string(rest.substr(0, rest.find(quote)));
        }
    }
    if (schema.delimiter.size() != 1) return std::nullopt;
    return std::string(line.substr(0, line.find(schema.delimiter[0])));
}

bool unconstrained_text(const Field& field) {
    const auto* text = std::get_if<StrField>(&field);
    return text && !text->required && !text->min_length && !text->max_length && !text->invalid_characters;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    load_schemas();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const PreparedSchema& prepared = *schemas[data[0] % schemas.size()];
    // A private copy, so that reading past the line is caught.
    const std::unique_ptr<char[]> owned(new char[size - 1]);
    std::memcpy(owned.get(), data + 1, size - 1);
    const std::string_view line(owned.get(), size - 1);

    CheckingSink sink;
    const Status status = parse_line(prepared, line, sink);
    CheckingSink again;
    const Status repeated = parse_line(prepared, line, again);
    FUZZ_CHECK(status.ok() == repeated.ok(), "parse_line not repeatable on '%s'", show(line).c_str());

    const ReferenceLine reference = reference_line(prepared.schema(), line);
    if (status) {
        FUZZ_CHECK(reference.line != nullptr, "'%s' parsed, the reference says '%s'", show(line).c_str(),
                   show(reference.message).c_str());
        FUZZ_CHECK(sink.accepted == sink.expected_fields && sink.expected_fields == reference.line->fields.size(),
                   "%zu of %zu fields delivered for '%s'", sink.accepted, sink.expected_fields, show(line).c_str());
        FUZZ_CHECK(sink.name == reference.pieces[0].text, "record name '%s', reference '%s'",
                   show(sink.name).c_str(), show(reference.pieces[0].text).c_str());
        FUZZ_CHECK(sink.digest == again.digest && sink.name == again.name, "second run differs on '%s'",
                   show(line).c_str());
        for (size_t i = 0; i < reference.line->fields.size(); ++i) {
            if (!unconstrained_text(reference.line->fields[i])) continue;
            const ReferencePiece& piece = reference.pieces[i + 1];
            const bool absent = piece.text.empty() && !(piece.quoted && prepared.schema().coerce_empty_quoted);
            const auto& got = sink.delivered[i];
            FUZZ_CHECK(got.absent == absent && (absent || (got.text && *got.text == piece.text)),
                       "field %zu of '%s': got '%s', reference '%s'", i, show(line).c_str(),
                       got.text ? show(*got.text).c_str() : "(none)", show(piece.text).c_str());
        }
    } else {
        const std::string& message = status.message();
        FUZZ_CHECK(message == repeated.message(), "message differs between runs on '%s'", show(line).c_str());
        FUZZ_CHECK(known_message(message), "unknown message '%s' for line '%s'", show(message).c_str(),
                   show(line).c_str());
        if (reference.line == nullptr) {
            FUZZ_CHECK(message == reference.message, "'%s' gives '%s', reference '%s'", show(line).c_str(),
                       show(message).c_str(), show(reference.message).c_str());
        } else {
            // A field failed: the message names the first failing field's
            // piece and description, and fields before it were delivered.
            const size_t index = sink.refused ? sink.accepted - 1 : sink.accepted;
            FUZZ_CHECK(index < reference.line->fields.size(), "field failure past the last field of '%s'",
                       show(line).c_str());
            const std::string tail = " - '" + reference.pieces[index + 1].text + "' given schema: " +
                                     describe_field(reference.line->fields[index]);
            const bool matched = message.size() > tail.size() &&
                                 message.compare(message.size() - tail.size(), tail.size(), tail) == 0;
            FUZZ_CHECK(matched, "field message '%s' does not name field %zu of '%s'", show(message).c_str(), index,
                       show(line).c_str());
        }
    }

    const auto reference_first_field = reference_first(prepared.schema(), line);
    const auto first = parse_first(prepared, line);
    FUZZ_CHECK(first.ok() == reference_first_field.has_value() &&
                   (!first || first.value() == *reference_first_field),
               "parse_first('%s') differs from the reference", show(line).c_str());
    if (first) {
        const std::string_view text = first.value();
        FUZZ_CHECK(text.empty() || (text.data() >= line.data() && text.data() + text.size() <= line.data() + line.size()),
                   "parse_first result outside the line");
        kelvane_fuzz::touch(text);
    } else {
        FUZZ_CHECK(first.message() == "Delimiter needs to be of length 1" ||
                       first.message() == "Quote needs to be of length 1",
                   "parse_first message '%s'", first.message().c_str());
    }
    return 0;
}
