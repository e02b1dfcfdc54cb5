// Fuzz target for the feed reader: the first input byte picks one of the real
// schemas under fuzz/schemas (read once at start-up), the second the read
// options, the rest is the feed. Reading it as one chunk, as one chunk per
// line, as input pushed in pieces of varying sizes on two worker threads, and
// as three byte ranges must give the same rows and the same errors; each line
// must be judged as parse_line judges it alone (the same message, or a
// column-type or UTF-8 error of the reader's own); rows and errors must add up
// to the lines; and every exported Arrow struct must be well formed and
// released.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "feed/arrow_export.h"
#include "feed/column_builder.h"
#include "feed/feed_reader.h"
#include "feed/line_scan.h"
#include "fuzz_common.h"
#include "values/utf8.h"

using namespace kelvane;
using namespace kelvane::feed;
using kelvane_fuzz::show;

namespace {

std::vector<std::shared_ptr<const FeedLayout>> layouts;

void load_schemas() {
    for (const auto& file : kelvane_fuzz::schema_files(KELVANE_FUZZ_SCHEMA_DIR)) {
        auto schema = FeedSchema::read(file.second);
        if (schema) layouts.push_back(schema.value()->layout());
    }
    FUZZ_CHECK(!layouts.empty(), "no schema under fuzz/schemas could be read");
}

// parse_line alone, refusing what the Parser's binding refuses (years it
// cannot hold), as the Parser judges a line.
class ParserSink final : public FieldSink {
public:
    Verdict record_name(std::string_view, size_t) override { return Verdict::accepted; }
    Verdict accept(const FieldValue& value) override {
        return host_refuses(value) ? Verdict::refused : Verdict::accepted;
    }
};

bool valid_utf8(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* start = p;
        if (decode_utf8(p, end) == replacement_character &&
            !(p - start == 3 && std::memcmp(start, "\xEF\xBF\xBD", 3) == 0))
            return false;
    }
    return true;
}

// One cell as bytes: validity, then the value's bytes (text, fixed width or bit).
std::string cell(const ColumnPlan& plan, const ColumnData& column, int64_t row) {
    std::string out;
    const bool valid = column.validity.empty() || bit_at(column.validity.data(), static_cast<size_t>(row));
    out += valid ? '1' : '0';
    if (!valid) return out;
    const uint8_t* values = column.values.data();
    switch (plan.type.kind) {
        case ColumnKind::utf8: {
            int32_t begin, end;
            std::memcpy(&begin, values + row * 4, 4);
            std::memcpy(&end, values + row * 4 + 4, 4);
            FUZZ_CHECK(0 <= begin && begin <= end && static_cast<size_t>(end) <= column.data.size(), "bad offsets");
            out.append(reinterpret_cast<const char*>(column.data.data()) + begin, static_cast<size_t>(end - begin));
            FUZZ_CHECK(valid_utf8(out.substr(1)), "a text column holds invalid UTF-8: %s", show(out).c_str());
            break;
        }
        case ColumnKind::large_utf8: {
            int64_t begin, end;
            std::memcpy(&begin, values + row * 8, 8);
            std::memcpy(&end, values + row * 8 + 8, 8);
            FUZZ_CHECK(0 <= begin && begin <= end && static_cast<size_t>(end) <= column.data.size(), "bad offsets");
            out.append(reinterpret_cast<const char*>(column.data.data()) + begin, static_cast<size_t>(end - begin));
            break;
        }
        case ColumnKind::boolean: out += bit_at(values, static_cast<size_t>(row)) ? 'T' : 'F'; break;
        case ColumnKind::dictionary: {
            const size_t width = plan.type.index_width;
            int32_t index = 0;
            if (width == 1) index = static_cast<int8_t>(values[row]);
            if (width == 2) index = static_cast<int16_t>(values[row * 2] | values[row * 2 + 1] << 8);
            if (width == 4) std::memcpy(&index, values + row * 4, 4);
            FUZZ_CHECK(index >= 0 && index < plan.dictionary->column.length, "dictionary index %d out of range", index);
            out += std::to_string(index);
            break;
        }
        default: {
            const size_t width = plan.type.kind == ColumnKind::decimal128 ? 16 : plan.type.kind == ColumnKind::date32 ? 4 : 8;
            FUZZ_CHECK(column.values.size() >= static_cast<size_t>(row + 1) * width, "short values buffer");
            out.append(reinterpret_cast<const char*>(values) + row * width, width);
        }
    }
    return out;
}

struct ErrorSeen {
    uint64_t line;
    uint64_t offset;
    uint32_t field;
    bool has_record;
    std::string record;
    std::string message;
    friend bool operator==(const ErrorSeen&, const ErrorSeen&) = default;
};

struct Outcome {
    std::vector<std::vector<std::string>> rows;  // per kind, one string per row
    std::vector<ErrorSeen> errors;
    uint64_t lines = 0;
    std::vector<std::vector<BatchView>> batches;  // per kind
};

void collect(FeedReader& reader, const std::shared_ptr<const FeedLayout>& layout, Outcome& outcome,
             const std::vector<size_t>* pieces, std::string_view data) {
    outcome.rows.resize(layout->kinds().size());
    outcome.batches.resize(layout->kinds().size());
    size_t position = 0;
    size_t piece = 0;
    while (true) {
        if (pieces != nullptr) {
            while (reader.wants_input()) {
                const std::span<char> space = reader.input_space();
                size_t count = std::min({space.size(), data.size() - position, (*pieces)[piece++ % pieces->size()]});
                std::memcpy(space.data(), data.data() + position, count);
                position += count;
                reader.commit_input(count);
            }
        }
        std::optional<Delivery> delivery = reader.next();
        if (!delivery) break;
        outcome.lines += delivery->lines;
        for (const BatchView& view : delivery->batches) {
            const KindLayout& kind = layout->kinds()[view.batch->kind];
            FUZZ_CHECK(view.rows > 0 && view.rows <= view.batch->rows, "bad batch size");
            for (int64_t row = 0; row < view.rows; ++row) {
                std::string serialized;
                for (size_t c = 0; c < kind.columns.size(); ++c) {
                    serialized += cell(kind.columns[c], view.batch->columns[c], row);
                    serialized += '\x1f';
                }
                outcome.rows[view.batch->kind].push_back(std::move(serialized));
            }
            outcome.batches[view.batch->kind].push_back(view);
        }
        for (const LineError& error : delivery->errors) {
            outcome.errors.push_back(
                {error.line, error.offset, error.field, error.has_record, error.record, error.message});
        }
    }
}

void check_arrow(const std::shared_ptr<const FeedLayout>& layout, const Outcome& outcome) {
    for (size_t k = 0; k < layout->kinds().size(); ++k) {
        ArrowArrayStream stream;
        export_stream(kind_shape(layout, k), outcome.batches[k], &stream);
        ArrowSchema schema;
        FUZZ_CHECK(stream.get_schema(&stream, &schema) == 0, "get_schema failed");
        FUZZ_CHECK(schema.n_children == static_cast<int64_t>(layout->kinds()[k].columns.size()), "column count");
        schema.release(&schema);
        int64_t rows = 0;
        while (true) {
            ArrowArray array;
            FUZZ_CHECK(stream.get_next(&stream, &array) == 0, "get_next failed");
            if (array.release == nullptr) break;
            rows += array.length;
            for (int64_t c = 0; c < array.n_children; ++c) {
                const ArrowArray* child = array.children[c];
                FUZZ_CHECK(child->length == array.length, "child length %lld != %lld",
                           static_cast<long long>(child->length), static_cast<long long>(array.length));
                FUZZ_CHECK(child->null_count >= 0 && child->null_count <= child->length, "null count");
                for (int64_t b = 1; b < child->n_buffers; ++b) FUZZ_CHECK(child->buffers[b] != nullptr, "null buffer");
            }
            // A consumer that moves a child out and releases it on its own.
            if (array.n_children > 0) {
                ArrowArray moved = *array.children[0];
                array.children[0]->release = nullptr;
                moved.release(&moved);
            }
            array.release(&array);
        }
        stream.release(&stream);
        FUZZ_CHECK(rows == static_cast<int64_t>(outcome.rows[k].size()), "streamed rows differ");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    load_schemas();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 2) return 0;
    const std::shared_ptr<const FeedLayout>& layout = layouts[bytes[0] % layouts.size()];
    const uint8_t flags = bytes[1];
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 2, size - 2);

    ReadOptions options;
    options.crlf = flags & 1;
    options.skip_blank = flags & 2;
    options.errors = ErrorPolicy::collect;

    // One chunk, then one chunk per line.
    Outcome whole;
    {
        FeedReader reader(layout, options);
        reader.use_memory(data.data(), data.size());
        collect(reader, layout, whole, nullptr, data);
    }
    Outcome per_line;
    {
        ReadOptions small = options;
        small.chunk_size = 1;
        FeedReader reader(layout, small);
        reader.use_memory(data.data(), data.size());
        collect(reader, layout, per_line, nullptr, data);
    }
    FUZZ_CHECK(whole.rows == per_line.rows && whole.errors == per_line.errors && whole.lines == per_line.lines,
               "one chunk and one chunk per line differ");

    // Pushed in pieces, on two worker threads.
    Outcome pushed;
    {
        ReadOptions threaded = options;
        threaded.threads = 2;
        threaded.chunk_size = 1 + (flags >> 4) * 7;
        std::vector<size_t> pieces = {4096};
        for (size_t i = 2; i < std::min<size_t>(size, 12); ++i) pieces.push_back(1 + bytes[i] % 37);
        FeedReader reader(layout, threaded);
        reader.use_pushed_input(0);
        collect(reader, layout, pushed, &pieces, data);
    }
    FUZZ_CHECK(whole.rows == pushed.rows && whole.errors == pushed.errors && whole.lines == pushed.lines,
               "pushed input differs");

    // Three byte ranges, each counting its own first line number.
    if (data.size() > 2) {
        const size_t first_cut = bytes[size - 1] % data.size();
        const size_t second_cut = std::max(first_cut, static_cast<size_t>(bytes[size - 2]) % data.size());
        const uint64_t cuts[] = {0, first_cut, second_cut, UINT64_MAX};
        Outcome ranged;
        for (int r = 0; r < 3; ++r) {
            const uint64_t lines_before = ranged.lines;
            ReadOptions part = options;
            part.range_start = cuts[r];
            part.range_end = cuts[r + 1];
            part.first_line_number = 0;
            FeedReader reader(layout, part);
            if (r == 1) {
                reader.use_memory(data.data(), data.size());
                collect(reader, layout, ranged, nullptr, data);
            } else {
                const std::vector<size_t> pieces = {3, 50, 1};
                reader.use_pushed_input(0);
                collect(reader, layout, ranged, &pieces, data);
            }
            LineCounter counter(part.range_start, part.range_end);
            counter.feed(data.data(), data.size(), 0);
            FUZZ_CHECK(counter.finish() == ranged.lines - lines_before, "range %d: count_lines differs from lines read", r);
        }
        FUZZ_CHECK(ranged.rows == whole.rows && ranged.errors == whole.errors && ranged.lines == whole.lines,
                   "byte ranges differ from the whole");
    }

    // Each line against parse_line alone.
    LineCounter counter(0, UINT64_MAX);
    counter.feed(data.data(), data.size(), 0);
    FUZZ_CHECK(counter.finish() == whole.lines, "count_lines %llu != lines read %llu",
               static_cast<unsigned long long>(counter.finish()), static_cast<unsigned long long>(whole.lines));
    size_t accepted = 0;
    size_t error_index = 0;
    size_t row_total = 0;
    for (const auto& rows : whole.rows) row_total += rows.size();
    uint64_t number = 0;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string_view::npos) end = data.size();
        std::string_view line = data.substr(start, end - start);
        if (number == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        if (options.crlf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++number;
        start = end + 1;
        if (line.empty() && options.skip_blank) continue;
        const bool has_error = error_index < whole.errors.size() && whole.errors[error_index].line == number;
        const std::string message = has_error ? whole.errors[error_index].message : "";
        if (has_error) ++error_index;
        if (!valid_utf8(line)) {
            FUZZ_CHECK(has_error && message.starts_with("Invalid UTF-8 at byte "), "line %llu: invalid UTF-8 not reported",
                       static_cast<unsigned long long>(number));
            continue;
        }
        ParserSink sink;
        const Status status = parse_line(layout->prepared(), line, sink);
        if (status.ok()) {
            // Either a row, or a value its column type cannot hold.
            if (has_error) {
                FUZZ_CHECK(message.find("the column type") != std::string::npos, "line %llu: accepted by parse_line, "
                           "refused with: %s", static_cast<unsigned long long>(number), message.c_str());
            } else {
                ++accepted;
            }
        } else {
            FUZZ_CHECK(has_error, "line %llu accepted, parse_line says: %s", static_cast<unsigned long long>(number),
                       status.message().c_str());
            FUZZ_CHECK(message == status.message(), "line %llu: %s != %s", static_cast<unsigned long long>(number),
                       message.c_str(),
                       status.message().c_str());
        }
    }
    FUZZ_CHECK(error_index == whole.errors.size(), "errors past the last line");
    FUZZ_CHECK(accepted == row_total, "rows %zu != accepted lines %zu", row_total, accepted);

    check_arrow(layout, whole);
    return 0;
}
