// Parsing one chunk of whole lines into columns: each line through
// parse_line into a column-building sink, a failed line rolled back whole
// and recorded with its location, rows of each record kind in file order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "column_data.h"
#include "feed_schema.h"

namespace kelvane::feed {

struct ReadSettings {
    bool crlf = true;         // "\r\n" ends a line too; otherwise the "\r" stays in the line
    bool skip_blank = false;  // empty lines are skipped instead of parsed
    // A chunk stops at its own error number `stop_after_errors` (0: never):
    // the reader never needs more errors than it will keep.
    uint64_t stop_after_errors = 0;
    // Record the rows of each kind before every error, so that results can
    // be cut at any error (needed only when reading stops at an error count).
    bool row_snapshots = false;
};

struct LineError {
    uint64_t line = 0;    // chunk-local index from 0 until stitched, then the 1-based line number
    uint64_t offset = 0;  // byte offset of the line's start in the source
    bool has_record = false;
    std::string record;   // the record name, when one could be read
    uint32_t field = 0;   // 1-based position of the field that failed; 0 when none did
    std::string field_name;
    std::string message;
    std::string text;     // the line's bytes without its line end
    std::vector<int64_t> rows_before;  // per kind, with row_snapshots
    uint64_t skipped_before = 0;       // blank lines skipped in the chunk before this one
};

// The rows one chunk gave one record kind, column by column.
struct BatchData {
    std::shared_ptr<const FeedLayout> layout;
    size_t kind = 0;
    int64_t rows = 0;
    std::vector<ColumnData> columns;
};

struct ChunkResult {
    std::vector<std::shared_ptr<const BatchData>> batches;  // by kind; null where a kind got no rows
    std::vector<LineError> errors;
    uint64_t lines = 0;          // lines read, including failed and skipped ones
    uint64_t skipped_blank = 0;
    bool stopped = false;        // stopped at stop_after_errors before the chunk's end
};

struct Chunk {
    const char* data = nullptr;
    size_t size = 0;
    uint64_t offset = 0;           // of data[0] in the source
    bool at_source_start = false;  // a byte-order mark here is skipped
    std::shared_ptr<const void> owner;  // keeps the bytes alive, when they are the reader's
};

ChunkResult parse_chunk(const std::shared_ptr<const FeedLayout>& layout, const Chunk& chunk,
                        const ReadSettings& settings);

// Offset of the first byte that is not part of valid UTF-8, or npos.
size_t invalid_utf8_at(std::string_view text);

// The message of a line that is not valid UTF-8.
std::string invalid_utf8_message(size_t offset);

// The first piece of a line as parse_line would split it, when the schema's
// separators are usable: the record name an error shows.
std::optional<std::string> first_piece(const PreparedSchema& prepared, std::string_view line);

// Where parse_line fails a line and why, as the Parser reports it (field 0
// when no field failed): for callers that parse with the Parser itself.
struct Located {
    bool has_record = false;
    std::string record;
    uint32_t field = 0;
    std::string field_name;
    std::string message;
};
Located locate_failure(const FeedLayout& layout, std::string_view line);

}  // namespace kelvane::feed
