// Line arithmetic over bytes: where the lines of a byte range begin and end,
// how many lines begin in a range (counted at memory speed), and where a
// chunk of whole lines should end.
//
// A line begins at offset 0 of a non-empty source and right after every
// "\n" that is not the last byte. The lines of a byte range [start, end) are
// those that begin inside it, so ranges that tile a source read every line
// exactly once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::feed {

// Number of "\n" bytes in [data, data + size).
uint64_t count_newlines(const char* data, size_t size);

// Counts the lines that begin in [start, end) of a source fed in order, in
// pieces of any size (the pieces may begin before `start`).
class LineCounter {
public:
    LineCounter(uint64_t start, uint64_t end) : start_(start), end_(end) {}
    // `data` holds the source's bytes from `offset` on.
    void feed(const char* data, size_t size, uint64_t offset);
    // The count, once every byte up to the source's end (or to `end`) was fed.
    uint64_t finish() const;

private:
    uint64_t start_;
    uint64_t end_;
    uint64_t newlines_ = 0;
    uint64_t size_ = 0;            // bytes seen up to here (the source's size at the end)
    bool last_is_counted_newline_ = false;
};

// The region of a source held whole in memory that holds the lines beginning
// in [start, end): [begin, stop) of `size` bytes.
struct Region {
    size_t begin;
    size_t stop;
};
Region line_region(const char* data, size_t size, uint64_t start, uint64_t end);

// Where a chunk that starts at `data` and holds about `target` bytes ends:
// right after the last "\n" before `target`, or after the first one past it,
// or at `size`.
size_t chunk_end(const char* data, size_t size, size_t target);

}  // namespace kelvane::feed
