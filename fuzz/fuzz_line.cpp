// Fuzz target for parse_line and parse_first: the first input byte picks one
// of the real schemas under fuzz/schemas (read once at start-up), the rest is
// the line. Checks that a success delivers exactly the selected record's
// fields with values inside their ranges, that every failure is one of the
// system's messages, that parse_first agrees with the record name, and that a
// second run gives the same outcome.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "checking_sink.h"
#include "fuzz_common.h"
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
    const char* directory = std::getenv("KELVANE_FUZZ_SCHEMAS");
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(directory ? directory : KELVANE_FUZZ_SCHEMA_DIR, error)) {
        if (entry.path().extension() == ".json") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        Result<Schema> schema = read_schema(content.str());
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

    if (status) {
        FUZZ_CHECK(sink.accepted == sink.expected_fields, "%zu of %zu fields delivered for '%s'", sink.accepted,
                   sink.expected_fields, show(line).c_str());
        FUZZ_CHECK(sink.digest == again.digest && sink.name == again.name, "second run differs on '%s'",
                   show(line).c_str());
        // Without quote characters the record name is the plain first field
        // of the line after the newline trim and the trailing delimiter.
        const bool has_quote = prepared.has_quote() && line.find(prepared.quote()) != std::string_view::npos;
        if (!has_quote) {
            std::string_view trimmed = line;
            while (!trimmed.empty() && trimmed.back() == '\n') trimmed.remove_suffix(1);
            if (prepared.schema().trailing_delimiter) trimmed.remove_suffix(1);
            const auto first = parse_first(prepared, trimmed);
            FUZZ_CHECK(first && first.value() == sink.name, "parse_first disagrees with the record name on '%s'",
                       show(line).c_str());
        }
    } else {
        FUZZ_CHECK(status.message() == repeated.message(), "message differs between runs on '%s'",
                   show(line).c_str());
        FUZZ_CHECK(known_message(status.message()), "unknown message '%s' for line '%s'",
                   show(status.message()).c_str(), show(line).c_str());
    }

    const auto first = parse_first(prepared, line);
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
