// Fuzz target for the schema reader: any bytes as a schema document. A
// failure must carry a position suffix and be repeatable; a success must give
// a schema that prepares, describes every field and parses a few lines built
// from its own record names without fault. Then the reading and preparing
// run again with one allocation failing, chosen from the input: it must come
// out as std::bad_alloc, with nothing leaked or left half-built. The feed
// reader's own walks over the text (column names and types, lint) are held
// to the same.
#include <cstdlib>
#include <new>
#include <string>

#include "checking_sink.h"
#include "feed/feed_schema.h"
#include "feed/schema_lint.h"
#include "fuzz_common.h"
#include "parser/field_convert.h"
#include "parser/line_parser.h"
#include "schema/schema.h"

using namespace kelvane;
using kelvane_fuzz::CheckingSink;
using kelvane_fuzz::show;

namespace {

// Allocation counting and failure injection, armed only around the calls
// under test (libFuzzer allocates too).
bool counting = false;
size_t allocations = 0;
size_t fail_at = SIZE_MAX;  // the allocation (counted from 0) that fails

// Reads and prepares `text` under the current injection; true when a failure
// came out as std::bad_alloc.
bool read_and_prepare(const std::string& text) {
    allocations = 0;
    counting = true;
    bool ran_out = false;
    try {
        Result<Schema> schema = read_schema(text);
        if (schema) {
            const PreparedSchema prepared(std::move(schema).value());
            (void)prepared;
        }
        Result<std::shared_ptr<const feed::FeedSchema>> feed_schema = feed::FeedSchema::read(text);
        if (feed_schema) (void)feed::lint_schema(*feed_schema.value());
    } catch (const std::bad_alloc&) {
        ran_out = true;
    }
    counting = false;
    return ran_out;
}

void check_allocation_failure(const std::string& text, const uint8_t* data, size_t size) {
    fail_at = SIZE_MAX;
    FUZZ_CHECK(!read_and_prepare(text), "bad_alloc without an injected failure");
    const size_t total = allocations;
    if (total == 0) return;
    uint64_t choice = kelvane_fuzz::touch(std::string_view(reinterpret_cast<const char*>(data), size));
    fail_at = choice % total;
    FUZZ_CHECK(read_and_prepare(text), "allocation %zu of %zu failed without bad_alloc on '%s'", fail_at, total,
               show(text).c_str());
    fail_at = SIZE_MAX;
}

}  // namespace

// Every replaceable form but the aligned ones (which this code never uses)
// goes through these two, so that the sanitizer sees matching pairs.
// Only throwing allocations fail on purpose: a nothrow one (std::stable_sort's
// buffer) has a fallback for a null result by design.
namespace {
void* allocate(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void* allocate_or_throw(size_t size) {
    if (counting && allocations++ == fail_at) throw std::bad_alloc();
    if (void* pointer = allocate(size)) return pointer;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return allocate_or_throw(size); }
void* operator new[](size_t size) { return allocate_or_throw(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy, so that reading past the document is caught.
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_allocation_failure(text, data, size);
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
