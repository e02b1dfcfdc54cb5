// The reader: cuts a source into chunks of whole lines, parses them on worker
// threads, and hands the results back in file order with global line
// numbers, stopping where the error policy says. Sources are a block of
// memory, a file descriptor read in large blocks, or bytes pushed by the
// caller (a Python file object, read under the interpreter lock).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "arrow_export.h"
#include "chunk_parser.h"

namespace kelvane::feed {

enum class ErrorPolicy { raise, collect };

struct ReadOptions {
    bool crlf = true;
    bool skip_blank = false;
    ErrorPolicy errors = ErrorPolicy::raise;
    uint64_t max_errors = 0;  // collect: stop after this many (0: no limit)
    unsigned threads = 1;
    size_t chunk_size = size_t{4} << 20;
    uint64_t range_start = 0;  // lines beginning in [range_start, range_end)
    uint64_t range_end = UINT64_MAX;
    // Number of the first line read; 0: count the lines before the range
    // (memory and file sources, and pushed input that starts at byte 0).
    uint64_t first_line_number = 1;
};

// One step of results, in file order.
struct Delivery {
    std::vector<BatchView> batches;  // kinds that got rows, in kind order
    std::vector<LineError> errors;   // with 1-based line numbers
    uint64_t lines = 0;              // lines consumed, failed and skipped ones included
    uint64_t skipped_blank = 0;
    bool stopped = false;            // reading stopped at an error (raise, or max_errors reached)
};

// A read(2)/pread(2) failure, with its errno.
struct InputError {
    int error_number;
};

class FeedReader {
public:
    FeedReader(std::shared_ptr<const FeedLayout> layout, ReadOptions options);
    ~FeedReader();
    FeedReader(const FeedReader&) = delete;
    FeedReader& operator=(const FeedReader&) = delete;

    // Choose the source, once.
    void use_memory(const char* data, size_t size);  // must outlive the reader
    void use_file(int fd);                           // read with pread; not closed here
    // Bytes pushed through input_space()/commit_input(); the first one pushed
    // is the source's byte `base_offset` (at most range_start - 1 when
    // range_start > 0, so that the range's first line can be found).
    void use_pushed_input(uint64_t base_offset);

    // Pushed input: whether the reader wants more bytes now, where to put
    // them, and how many were put there (0: the source has ended).
    bool wants_input() const;
    std::span<char> input_space();
    void commit_input(size_t count);

    // The next results in file order, parsing (threads == 1) or waiting for
    // the workers; nullopt once everything was delivered. Reads memory and
    // file sources itself. May throw InputError or std::bad_alloc.
    std::optional<Delivery> next();

private:
    struct Slot {
        Chunk chunk;
        std::shared_ptr<Buffer> block;  // the input block the chunk lies in, if any
        std::optional<ChunkResult> result;
        std::exception_ptr failure;
        bool done = false;
    };

    size_t window() const { return options_.threads <= 1 ? 1 : 2 * static_cast<size_t>(options_.threads); }
    void submit(Chunk chunk, std::shared_ptr<Buffer> block = nullptr);
    std::shared_ptr<Buffer> take_block(size_t capacity);
    size_t block_size() const { return options_.chunk_size + options_.chunk_size / 4 + 4096; }
    void fill_from_memory();
    void fill_from_file();
    void emit_block(size_t stop, bool last);
    void worker_loop();
    Delivery stitch(ChunkResult result);

    std::shared_ptr<const FeedLayout> layout_;
    ReadOptions options_;
    ReadSettings settings_;

    enum class Source { none, memory, file, pushed } source_ = Source::none;
    // memory
    const char* memory_ = nullptr;
    size_t memory_next_ = 0;
    size_t memory_stop_ = 0;
    // file
    int fd_ = -1;
    uint64_t file_offset_ = 0;
    // pushed and file input: the block being filled
    std::shared_ptr<Buffer> block_;
    size_t block_fill_ = 0;
    std::vector<std::shared_ptr<Buffer>> spare_blocks_;  // parsed blocks, reused for new input
    uint64_t block_offset_ = 0;  // source offset of block_[0]
    bool skipping_ = false;      // dropping bytes before the range's first line
    uint64_t dropped_newlines_ = 0;
    bool input_ended_ = false;

    std::deque<std::shared_ptr<Slot>> in_flight_;  // file order

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::deque<std::shared_ptr<Slot>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;

    uint64_t next_line_number_;
    uint64_t error_count_ = 0;
    bool finished_ = false;
};

}  // namespace kelvane::feed
