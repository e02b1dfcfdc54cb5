// Export of batches through the Arrow C data and stream interfaces. Every
// exported struct owns a share of what it points to and releases it in its
// release callback; a released struct has release == NULL.
#pragma once

#include <memory>
#include <vector>

#include "arrow_abi.h"
#include "chunk_parser.h"

namespace kelvane::feed {

// A batch, possibly cut to its first `rows` rows.
struct BatchView {
    std::shared_ptr<const BatchData> batch;
    int64_t rows = 0;
};

// The columns of a table: a kind of a layout, or the errors table.
struct TableShape {
    std::shared_ptr<const void> owner;  // keeps `kind` alive
    const KindLayout* kind = nullptr;
};

TableShape kind_shape(const std::shared_ptr<const FeedLayout>& layout, size_t kind);

// The schema of a table: a struct whose children are the columns.
void export_schema(const TableShape& shape, ArrowSchema* out);

// One batch as a struct array of `view.rows` rows.
void export_batch(const TableShape& shape, const BatchView& view, ArrowArray* out);

// A stream of the batches, in order; a fresh stream for every call.
void export_stream(const TableShape& shape, std::vector<BatchView> batches, ArrowArrayStream* out);

// The errors table: line, offset, record, field, field_name, message, text.
TableShape error_shape();
std::shared_ptr<const BatchData> error_batch(const std::vector<LineError>& errors);

}  // namespace kelvane::feed
