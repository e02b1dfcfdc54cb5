// ArrowSchema, ArrowArray and ArrowArrayStream over the reader's batches.
// Each exported node keeps its own share of the batch (consumers may move
// children out and release them separately).
#include "arrow_export.h"

#include <cerrno>
#include <string>

#include "column_builder.h"

namespace kelvane::feed {
namespace {

// Pointed to by buffers of size 0, which some consumers refuse as null.
alignas(64) const uint8_t empty_bytes[64] = {};

const void* buffer_pointer(const Buffer& buffer) {
    return buffer.empty() ? static_cast<const void*>(empty_bytes) : buffer.data();
}

struct SchemaHolder {
    std::string format;
    std::string name;
    std::vector<ArrowSchema*> children;
    ArrowSchema* dictionary = nullptr;
};

// Releases a schema or array made here: its children and dictionary (each
// released first when still live, then freed), then its holder.
template <typename Holder, typename Struct>
void release_owned(Struct* owned) {
    auto* holder = static_cast<Holder*>(owned->private_data);
    const auto release_and_free = [](Struct* part) {
        if (part->release != nullptr) part->release(part);
        delete part;
    };
    for (Struct* child : holder->children) release_and_free(child);
    if (holder->dictionary != nullptr) release_and_free(holder->dictionary);
    delete holder;
    owned->release = nullptr;
}

void release_schema(ArrowSchema* schema) { release_owned<SchemaHolder>(schema); }

// Fills `out` and returns its holder, to which children may be added.
SchemaHolder* fill_schema(ArrowSchema* out, std::string format, std::string name, int64_t flags) {
    auto* holder = new SchemaHolder{std::move(format), std::move(name), {}, nullptr};
    out->format = holder->format.c_str();
    out->name = holder->name.c_str();
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = 0;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = holder;
    return holder;
}

void export_column_schema(const ColumnPlan& plan, ArrowSchema* out) {
    fill_schema(out, arrow_format(plan.type), plan.name, plan.nullable ? ARROW_FLAG_NULLABLE : 0);
    if (plan.type.kind == ColumnKind::dictionary) {
        auto* holder = static_cast<SchemaHolder*>(out->private_data);
        holder->dictionary = new ArrowSchema();
        fill_schema(holder->dictionary, "u", "", 0);
        out->dictionary = holder->dictionary;
    }
}

struct ArrayHolder {
    std::shared_ptr<const void> keep;
    const void* buffers[3] = {};
    std::vector<ArrowArray*> children;
    ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* array) { release_owned<ArrayHolder>(array); }

ArrayHolder* fill_array(ArrowArray* out, std::shared_ptr<const void> keep, int64_t length, int64_t null_count,
                        int64_t buffer_count) {
    auto* holder = new ArrayHolder();
    holder->keep = std::move(keep);
    out->length = length;
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = buffer_count;
    out->n_children = 0;
    out->buffers = holder->buffers;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = holder;
    return holder;
}

void export_dictionary(const std::shared_ptr<const DictionaryValues>& dictionary, ArrowArray* out) {
    const ColumnData& column = dictionary->column;
    ArrayHolder* holder = fill_array(out, dictionary, column.length, 0, 3);
    holder->buffers[0] = nullptr;
    holder->buffers[1] = buffer_pointer(column.values);
    holder->buffers[2] = buffer_pointer(column.data);
}

void export_column(const std::shared_ptr<const void>& keep, const ColumnPlan& plan, const ColumnData& column,
                   int64_t rows, ArrowArray* out) {
    int64_t null_count = 0;
    if (!column.validity.empty())
        null_count = rows == column.length ? column.null_count
                                           : rows - count_set_bits(column.validity.data(), static_cast<size_t>(rows));
    const bool text = plan.type.kind == ColumnKind::utf8 || plan.type.kind == ColumnKind::large_utf8;
    ArrayHolder* holder = fill_array(out, keep, rows, null_count, text ? 3 : 2);
    holder->buffers[0] = null_count == 0 ? nullptr : column.validity.data();
    holder->buffers[1] = buffer_pointer(column.values);
    if (text) holder->buffers[2] = buffer_pointer(column.data);
    if (plan.type.kind == ColumnKind::dictionary) {
        holder->dictionary = new ArrowArray();
        export_dictionary(plan.dictionary, holder->dictionary);
        out->dictionary = holder->dictionary;
    }
}

struct StreamHolder {
    TableShape shape;
    std::vector<BatchView> batches;
    size_t next = 0;
    std::string error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* holder = static_cast<StreamHolder*>(stream->private_data);
    try {
        export_schema(holder->shape, out);
        return 0;
    } catch (...) {
        holder->error = "out of memory while exporting the schema";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* holder = static_cast<StreamHolder*>(stream->private_data);
    if (holder->next == holder->batches.size()) {
        out->release = nullptr;
        return 0;
    }
    try {
        export_batch(holder->shape, holder->batches[holder->next], out);
        ++holder->next;
        return 0;
    } catch (...) {
        holder->error = "out of memory while exporting a batch";
        return ENOMEM;
    }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    auto* holder = static_cast<StreamHolder*>(stream->private_data);
    return holder->error.empty() ? nullptr : holder->error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamHolder*>(stream->private_data);
    stream->release = nullptr;
}

// Invalid UTF-8 bytes written as \xNN, so that a line's text is valid text.
std::string valid_text(std::string_view bytes) {
    std::string out;
    while (!bytes.empty()) {
        const size_t bad = invalid_utf8_at(bytes);
        if (bad == std::string_view::npos) {
            out += bytes;
            break;
        }
        out += bytes.substr(0, bad);
        static const char hex[] = "0123456789abcdef";
        const auto byte = static_cast<uint8_t>(bytes[bad]);
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 15];
        bytes.remove_prefix(bad + 1);
    }
    return out;
}

ColumnPlan error_column(const char* name, ColumnKind kind, bool nullable) {
    ColumnPlan plan;
    plan.name = name;
    plan.type.kind = kind;
    plan.nullable = nullable;
    return plan;
}

}  // namespace

TableShape kind_shape(const std::shared_ptr<const FeedLayout>& layout, size_t kind) {
    return TableShape{layout, &layout->kinds()[kind]};
}

void export_schema(const TableShape& shape, ArrowSchema* out) {
    SchemaHolder* holder = fill_schema(out, "+s", "", 0);
    const auto& columns = shape.kind->columns;
    holder->children.reserve(columns.size());
    for (const ColumnPlan& plan : columns) {
        auto* child = new ArrowSchema();
        child->release = nullptr;
        holder->children.push_back(child);
        export_column_schema(plan, child);
    }
    out->n_children = static_cast<int64_t>(columns.size());
    out->children = holder->children.data();
}

void export_batch(const TableShape& shape, const BatchView& view, ArrowArray* out) {
    const auto& columns = shape.kind->columns;
    // The batch keeps the layout (and so the shape) alive as well.
    std::shared_ptr<const void> keep = view.batch;
    ArrayHolder* holder = fill_array(out, keep, view.rows, 0, 1);
    holder->buffers[0] = nullptr;
    holder->children.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        auto* child = new ArrowArray();
        child->release = nullptr;
        holder->children.push_back(child);
        export_column(keep, columns[i], view.batch->columns[i], view.rows, child);
    }
    out->n_children = static_cast<int64_t>(columns.size());
    out->children = holder->children.data();
}

void export_stream(const TableShape& shape, std::vector<BatchView> batches, ArrowArrayStream* out) {
    auto* holder = new StreamHolder{shape, std::move(batches), 0, {}};
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = holder;
}

TableShape error_shape() {
    static const std::shared_ptr<const KindLayout> shape = [] {
        auto kind = std::make_shared<KindLayout>();
        kind->name = "errors";
        kind->columns = {error_column("line", ColumnKind::int64, false),
                         error_column("offset", ColumnKind::int64, false),
                         error_column("record", ColumnKind::utf8, true),
                         error_column("field", ColumnKind::int64, true),
                         error_column("field_name", ColumnKind::utf8, true),
                         error_column("message", ColumnKind::large_utf8, false),
                         error_column("text", ColumnKind::large_utf8, false)};
        return kind;
    }();
    return TableShape{shape, shape.get()};
}

std::shared_ptr<const BatchData> error_batch(const std::vector<LineError>& errors) {
    const TableShape shape = error_shape();
    std::vector<ColumnBuilder> builders;
    for (const ColumnPlan& plan : shape.kind->columns) builders.emplace_back(plan);
    std::string misfit;
    for (const LineError& error : errors) {
        const auto number = [](uint64_t value) { return FieldValue(EnumInt{static_cast<int64_t>(value)}); };
        const auto text = [](bool present, std::string_view value) {
            return present ? FieldValue(value) : FieldValue(Absent{});
        };
        const std::string line_text = valid_text(error.text);
        const FieldValue values[] = {number(error.line),
                                     number(error.offset),
                                     text(error.has_record, error.record),
                                     error.field != 0 ? number(error.field) : FieldValue(Absent{}),
                                     text(error.field != 0, error.field_name),
                                     text(true, error.message),
                                     text(true, line_text)};
        for (size_t i = 0; i < builders.size(); ++i) {
            if (builders[i].append(values[i], misfit) != Append::ok) throw std::bad_alloc();
        }
    }
    auto batch = std::make_shared<BatchData>();
    batch->rows = static_cast<int64_t>(errors.size());
    for (ColumnBuilder& builder : builders) batch->columns.push_back(builder.finish());
    return batch;
}

}  // namespace kelvane::feed
