// Chunking, the worker pool and the in-order stitching of chunk results.
#include "feed_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "line_scan.h"

namespace kelvane::feed {
namespace {

const char* last_newline(const char* data, size_t size) {
    return static_cast<const char*>(memrchr(data, '\n', size));
}

}  // namespace

FeedReader::FeedReader(std::shared_ptr<const FeedLayout> layout, ReadOptions options)
    : layout_(std::move(layout)), options_(options), next_line_number_(options.first_line_number) {
    // A chunk longer than 1 GiB is then a single line, so no batch holds
    // more text than one value: utf8 offsets overflow only for a value of
    // more than 2 GiB, which no utf8 column can hold.
    options_.chunk_size = std::clamp<size_t>(options_.chunk_size, 1, size_t{1} << 30);
    settings_.crlf = options_.crlf;
    settings_.skip_blank = options_.skip_blank;
    if (options_.errors == ErrorPolicy::raise) {
        settings_.stop_after_errors = 1;
    } else if (options_.max_errors > 0) {
        settings_.stop_after_errors = options_.max_errors;
        settings_.row_snapshots = true;
    }
    if (options_.threads > 1) {
        workers_.reserve(options_.threads);
        for (unsigned i = 0; i < options_.threads; ++i) workers_.emplace_back([this] { worker_loop(); });
    }
}

FeedReader::~FeedReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void FeedReader::use_memory(const char* data, size_t size) {
    source_ = Source::memory;
    memory_ = data;
    const Region region = line_region(data, size, options_.range_start, options_.range_end);
    memory_next_ = region.begin;
    memory_stop_ = region.stop;
    // Every line before the range ends with one of these newlines.
    if (options_.first_line_number == 0) next_line_number_ = 1 + count_newlines(data, region.begin);
}

void FeedReader::use_file(int fd) {
    fd_ = fd;
    // Counting the lines before the range means reading them.
    file_offset_ = options_.range_start == 0 || options_.first_line_number == 0 ? 0 : options_.range_start - 1;
    use_pushed_input(file_offset_);
    source_ = Source::file;
}

void FeedReader::use_pushed_input(uint64_t base_offset) {
    source_ = Source::pushed;
    block_offset_ = base_offset;
    skipping_ = options_.range_start > 0;
    if (options_.first_line_number == 0) next_line_number_ = 1;
    if (options_.range_end == 0 || options_.range_end <= options_.range_start) input_ended_ = true;
}

bool FeedReader::wants_input() const {
    return (source_ == Source::pushed || source_ == Source::file) && !input_ended_ && !finished_ &&
           in_flight_.size() < window();
}

std::shared_ptr<Buffer> FeedReader::take_block(size_t capacity) {
    if (!spare_blocks_.empty() && spare_blocks_.back()->capacity() >= capacity) {
        std::shared_ptr<Buffer> block = std::move(spare_blocks_.back());
        spare_blocks_.pop_back();
        return block;
    }
    auto block = std::make_shared<Buffer>();
    block->reserve(capacity);
    return block;
}

std::span<char> FeedReader::input_space() {
    if (!block_) {
        block_ = take_block(block_size());
        block_fill_ = 0;
    } else if (block_fill_ == block_->capacity()) {
        // A line longer than the block: grow until its end arrives.
        block_->set_size(block_fill_);
        block_->reserve(block_->capacity() * 2);
    }
    return {reinterpret_cast<char*>(block_->data()) + block_fill_, block_->capacity() - block_fill_};
}

void FeedReader::emit_block(size_t stop, bool last) {
    std::shared_ptr<Buffer> block = std::move(block_);
    Chunk chunk;
    chunk.data = reinterpret_cast<const char*>(block->data());
    chunk.size = stop;
    chunk.offset = block_offset_;
    chunk.at_source_start = block_offset_ == 0;
    chunk.owner = block;
    const size_t rest = block_fill_ - stop;
    block_fill_ = 0;
    if (!last) {
        // The unfinished line moves to the next block.
        block_ = take_block(std::max(block_size(), rest + 4096));
        std::memcpy(block_->data(), block->data() + stop, rest);
        block_fill_ = rest;
    }
    block_offset_ += stop;
    if (chunk.size > 0) submit(std::move(chunk), std::move(block));
}

void FeedReader::commit_input(size_t count) {
    if (count == 0) {
        input_ended_ = true;
        if (!skipping_ && block_ && block_fill_ > 0) {
            emit_block(block_fill_, true);
        } else {
            block_.reset();
            block_fill_ = 0;
        }
        return;
    }
    block_fill_ += count;
    if (skipping_) {
        // The range's first line begins after the first "\n" at or past
        // range_start - 1.
        const uint64_t low = options_.range_start - 1;
        const size_t from = low > block_offset_ ? static_cast<size_t>(low - block_offset_) : 0;
        char* const bytes = reinterpret_cast<char*>(block_->data());
        const void* newline = from < block_fill_ ? std::memchr(bytes + from, '\n', block_fill_ - from) : nullptr;
        const size_t drop =
            newline == nullptr ? block_fill_ : static_cast<size_t>(static_cast<const char*>(newline) - bytes) + 1;
        if (options_.first_line_number == 0) {
            dropped_newlines_ += count_newlines(bytes, drop);
            next_line_number_ = 1 + dropped_newlines_;
        }
        if (newline == nullptr) {
            block_offset_ += block_fill_;
            block_fill_ = 0;
            return;
        }
        std::memmove(bytes, bytes + drop, block_fill_ - drop);
        block_fill_ -= drop;
        block_offset_ += drop;
        skipping_ = false;
    }
    if (options_.range_end != UINT64_MAX) {
        if (block_offset_ >= options_.range_end) {
            // No line of the range is left.
            input_ended_ = true;
            block_.reset();
            block_fill_ = 0;
            return;
        }
        const uint64_t high = options_.range_end - 1;
        if (block_offset_ + block_fill_ > high) {
            const char* bytes = reinterpret_cast<const char*>(block_->data());
            const auto from = static_cast<size_t>(high - block_offset_);
            const void* newline = std::memchr(bytes + from, '\n', block_fill_ - from);
            if (newline != nullptr) {
                // The line holding byte range_end - 1 is the range's last.
                emit_block(static_cast<size_t>(static_cast<const char*>(newline) - bytes) + 1, true);
                input_ended_ = true;
                return;
            }
        }
    }
    if (block_fill_ >= options_.chunk_size) {
        const char* bytes = reinterpret_cast<const char*>(block_->data());
        if (const char* newline = last_newline(bytes, block_fill_))
            emit_block(static_cast<size_t>(newline - bytes) + 1, false);
    }
}

void FeedReader::fill_from_memory() {
    while (in_flight_.size() < window() && memory_next_ < memory_stop_) {
        const size_t size =
            chunk_end(memory_ + memory_next_, memory_stop_ - memory_next_, options_.chunk_size);
        Chunk chunk;
        chunk.data = memory_ + memory_next_;
        chunk.size = size;
        chunk.offset = memory_next_;
        chunk.at_source_start = memory_next_ == 0;
        memory_next_ += size;
        submit(std::move(chunk));
    }
}

void FeedReader::fill_from_file() {
    while (wants_input()) {
        const std::span<char> space = input_space();
        const ssize_t count = pread(fd_, space.data(), space.size(), static_cast<off_t>(file_offset_));
        if (count < 0) {
            if (errno == EINTR) continue;
            throw InputError{errno};
        }
        file_offset_ += static_cast<uint64_t>(count);
        commit_input(static_cast<size_t>(count));
    }
}

void FeedReader::submit(Chunk chunk, std::shared_ptr<Buffer> block) {
    auto slot = std::make_shared<Slot>();
    slot->chunk = std::move(chunk);
    slot->block = std::move(block);
    in_flight_.push_back(slot);
    if (!workers_.empty()) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(slot);
        }
        work_ready_.notify_one();
    }
}

void FeedReader::worker_loop() {
    while (true) {
        std::shared_ptr<Slot> slot;
        {
            std::unique_lock lock(mutex_);
            work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            slot = std::move(queue_.front());
            queue_.pop_front();
        }
        std::optional<ChunkResult> result;
        std::exception_ptr failure;
        try {
            result = parse_chunk(layout_, slot->chunk, settings_);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            slot->result = std::move(result);
            slot->failure = failure;
            slot->chunk.owner.reset();  // the bytes are no longer needed
            slot->done = true;
        }
        work_done_.notify_all();
    }
}

std::optional<Delivery> FeedReader::next() {
    if (finished_) return std::nullopt;
    if (source_ == Source::memory) fill_from_memory();
    if (source_ == Source::file) fill_from_file();
    if (in_flight_.empty()) {
        if (source_ == Source::pushed && !input_ended_) throw std::logic_error("the reader needs more input first");
        finished_ = true;
        return std::nullopt;
    }
    std::shared_ptr<Slot> slot = std::move(in_flight_.front());
    in_flight_.pop_front();
    if (workers_.empty()) {
        slot->result = parse_chunk(layout_, slot->chunk, settings_);
        slot->chunk.owner.reset();
    } else {
        std::unique_lock lock(mutex_);
        work_done_.wait(lock, [&] { return slot->done; });
    }
    if (slot->failure) std::rethrow_exception(slot->failure);
    // The parsed block takes new input next (its pages are already there).
    if (slot->block && slot->block.use_count() == 1 && slot->block->capacity() < 2 * block_size() &&
        spare_blocks_.size() < window())
        spare_blocks_.push_back(std::move(slot->block));
    return stitch(std::move(*slot->result));
}

Delivery FeedReader::stitch(ChunkResult result) {
    Delivery delivery;
    const uint64_t first_line = next_line_number_;
    size_t kept = result.errors.size();
    bool cut = false;
    for (size_t i = 0; i < result.errors.size(); ++i) {
        result.errors[i].line += first_line;
        ++error_count_;
        if (options_.errors == ErrorPolicy::raise || (options_.max_errors > 0 && error_count_ >= options_.max_errors)) {
            kept = i + 1;
            cut = true;
            break;
        }
    }
    const LineError* last_error = cut ? &result.errors[kept - 1] : nullptr;
    if (cut) {
        delivery.stopped = true;
        finished_ = true;
        delivery.lines = last_error->line - first_line + 1;
        delivery.skipped_blank = last_error->skipped_before;
    } else {
        delivery.lines = result.lines;
        delivery.skipped_blank = result.skipped_blank;
    }
    next_line_number_ += delivery.lines;

    for (size_t k = 0; k < result.batches.size(); ++k) {
        const std::shared_ptr<const BatchData>& batch = result.batches[k];
        if (!batch) continue;
        int64_t rows = batch->rows;
        if (last_error != nullptr && !last_error->rows_before.empty()) rows = last_error->rows_before[k];
        if (rows > 0) delivery.batches.push_back(BatchView{batch, rows});
    }
    result.errors.resize(kept);
    delivery.errors = std::move(result.errors);
    return delivery;
}

}  // namespace kelvane::feed
