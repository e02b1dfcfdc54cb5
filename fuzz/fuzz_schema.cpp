// Fuzz target for the schema reader: any bytes as a schema document. A
// failure must carry a position suffix and be repeatable; a success must give
// a schema that prepares, describes every field and parses a few lines built
// from its own record names without fault.
#include <string>

#include "checking_sink.h"
#include "fuzz_common.h"
#include "parser/field_convert.h"
#include "parser/line_parser.h"
#include "schema/schema.h"

using namespace kelvane;
using kelvane_fuzz::CheckingSink;
using kelvane_fuzz::show;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy, so that reading past the document is caught.
    const std::string text(reinterpret_cast<const char*>(data), size);
    Result<Schema> schema = read_schema(text);
    const Result<Schema> again = read_schema(text);
    FUZZ_CHECK(schema.ok() == again.ok(), "read_schema not repeatable on '%s'", show(text).c_str());
    if (!schema) {
        FUZZ_CHECK(kelvane_fuzz::ends_with_position(schema.message()), "message '%s' has no position",
                   show(schema.message()).c_str());
        FUZZ_CHECK(schema.message() == again.message(), "message not repeatable on '%s'", show(text).c_str());
        return 0;
    }

    const PreparedSchema prepared(std::move(schema).value());
    uint64_t digest = 0;
    for (const Line& line : prepared.schema().lines) {
        digest = kelvane_fuzz::touch(line.name, digest);
        for (const Field& field : line.fields) digest = kelvane_fuzz::touch(describe_field(field), digest);
    }

    // Lines made of each record's name and empty or sample pieces; the
    // result does not matter, only that the path holds.
    const std::string delimiter = prepared.delimiter_ok() ? prepared.schema().delimiter : "|";
    for (const Line& line : prepared.schema().lines) {
        for (const char* piece : {"", "1", "x"}) {
            std::string candidate = line.name;
            for (size_t i = 0; i < line.fields.size() && i < 64; ++i) candidate += delimiter + piece;
            if (prepared.schema().trailing_delimiter) candidate += delimiter;
            CheckingSink sink;
            const Status status = parse_line(prepared, candidate, sink);
            if (status) FUZZ_CHECK(sink.accepted == sink.expected_fields, "fields missing for '%s'",
                                   show(candidate).c_str());
            const auto first = parse_first(prepared, candidate);
            if (first) digest = kelvane_fuzz::touch(first.value(), digest);
        }
    }
    (void)digest;
    return 0;
}
