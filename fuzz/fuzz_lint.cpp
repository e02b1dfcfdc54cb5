// Fuzz target for the schema lint: any bytes as a schema document. When the
// feed reader accepts it, lint must run without fault and give the same
// findings twice; each finding must point into the text at the key or value it
// names (line and column agreeing with its offset); the separator and zone
// findings must agree with the prepared schema's own checks; and a format
// said to be malformed or never to match must indeed fail on texts the C
// library writes under it.
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "feed/schema_lint.h"
#include "fuzz_common.h"
#include "values/time_format.h"

using namespace kelvane;
using namespace kelvane::feed;
using kelvane_fuzz::show;

namespace {

void check_position(std::string_view text, const LintFinding& finding) {
    const JsonPosition& at = finding.position;
    FUZZ_CHECK(at.offset < text.size(), "finding past the end: %s", finding.message.c_str());
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < at.offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    FUZZ_CHECK(at.line == line && at.column == at.offset - line_start + 1, "line %u column %u for offset %zu", at.line,
               at.column, at.offset);
    const char c = text[at.offset];
    const std::string& code = finding.code;
    if (code == "unknown-key" || code == "delimiter-length" || code == "quote-length" || code == "unknown-zone" ||
        code == "bad-format" || code == "format-never-matches" || code == "duplicate-line" || code == "same-bool-values") {
        FUZZ_CHECK(c == '"', "%s finding not at a string: %s", code.c_str(), show(text.substr(at.offset, 20)).c_str());
    } else if (code == "duplicate-enum-value" || code == "min-above-max") {
        FUZZ_CHECK(c == '"' || c == '-' || (c >= '0' && c <= '9'), "%s finding not at a value", code.c_str());
    } else {
        FUZZ_CHECK(false, "unknown finding code %s", code.c_str());
    }
    FUZZ_CHECK(!finding.path.empty() && !finding.message.empty(), "finding without a path or message");
}

// The offset of a field's format value, when it has one.
size_t format_offset(const FieldOutline& field) {
    if (!field.object_form) return field.keys.size() > 2 ? field.keys[2].value_position.offset : SIZE_MAX;
    for (const KeyRecord& key : field.keys)
        if (key.key == "format") return key.value_position.offset;
    return SIZE_MAX;
}

// Texts the C library writes under `pattern` for a few instants.
bool some_text_reads(const Field& field, const std::string& pattern) {
    if (pattern.find('\0') != std::string::npos || pattern.size() > 200) return false;
    static const std::tm instants[] = {
        {15, 30, 13, 4, 0, 121, 1, 3, 0, 0, nullptr},    // 2021-01-04 13:30:15, a Monday
        {0, 0, 0, 29, 1, 124, 4, 59, 0, 0, nullptr},     // 2024-02-29 00:00:00, a Thursday
        {59, 59, 23, 31, 11, 99, 5, 364, 0, 0, nullptr}, // 1999-12-31 23:59:59, a Friday
    };
    for (const std::tm& instant : instants) {
        char written[512];
        const size_t length = std::strftime(written, sizeof written, pattern.c_str(), &instant);
        if (length == 0) continue;
        const std::string_view text(written, length);
        const TimeFormat format(pattern);
        if (std::holds_alternative<DateField>(field) && parse_date(text, format)) return true;
        if (std::holds_alternative<TimeField>(field) && parse_time(text, format)) return true;
        if (std::holds_alternative<DatetimeField>(field) && parse_datetime(text, format)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    Result<std::shared_ptr<const FeedSchema>> read = FeedSchema::read(text);
    if (!read) return 0;
    const FeedSchema& schema = *read.value();
    const std::vector<LintFinding> findings = lint_schema(schema);
    const std::vector<LintFinding> again = lint_schema(schema);
    FUZZ_CHECK(findings.size() == again.size(), "lint differs between two runs");

    std::set<size_t> format_findings;
    size_t delimiter = 0, quote = 0, zones = 0;
    for (size_t i = 0; i < findings.size(); ++i) {
        const LintFinding& finding = findings[i];
        FUZZ_CHECK(finding.position.offset == again[i].position.offset && finding.path == again[i].path &&
                       finding.code == again[i].code && finding.message == again[i].message,
                   "lint differs between two runs");
        FUZZ_CHECK(i == 0 || findings[i - 1].position.offset <= finding.position.offset, "findings out of order");
        check_position(text, finding);
        kelvane_fuzz::touch(finding.message);
        delimiter += finding.code == "delimiter-length";
        quote += finding.code == "quote-length";
        zones += finding.code == "unknown-zone";
        if (finding.code == "bad-format" || finding.code == "format-never-matches")
            format_findings.insert(finding.position.offset);
    }

    const PreparedSchema& prepared = *schema.prepared();
    FUZZ_CHECK(delimiter == (prepared.delimiter_ok() ? 0u : 1u), "delimiter finding and the parser disagree");
    FUZZ_CHECK(quote == (prepared.quote_ok() ? 0u : 1u), "quote finding and the parser disagree");
    size_t unknown_zones = 0;
    const Schema& document = prepared.schema();
    for (size_t i = 0; i < document.lines.size(); ++i) {
        const auto fields = prepared.prepared_fields(i);
        for (size_t j = 0; j < fields.size(); ++j) {
            const Field& field = document.lines[i].fields[j];
            if (std::holds_alternative<DatetimeField>(field) && fields[j].zone == nullptr) ++unknown_zones;
            if (fields[j].format == nullptr) continue;
            const size_t offset = format_offset(schema.outline().lines[i].fields[j]);
            if (!format_findings.contains(offset)) continue;
            const std::string& pattern = std::visit(
                [](const auto& record) -> const std::string& {
                    if constexpr (requires { record.format; }) {
                        return record.format;
                    } else {
                        static const std::string none;
                        return none;
                    }
                },
                field);
            FUZZ_CHECK(!some_text_reads(field, pattern), "format '%s' said never to read, but a text reads",
                       show(pattern).c_str());
        }
    }
    FUZZ_CHECK(zones == unknown_zones, "%zu unknown-zone findings for %zu unknown zones", zones, unknown_zones);
    return 0;
}
