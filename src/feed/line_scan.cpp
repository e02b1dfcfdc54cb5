// Newline counting (16 bytes at a time where SSE2 is there) and the line
// boundaries of ranges and chunks.
#include "line_scan.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelvane::feed {

uint64_t count_newlines(const char* data, size_t size) {
    uint64_t count = 0;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
        count += static_cast<uint64_t>(__builtin_popcount(mask));
    }
#endif
    for (; i < size; ++i) count += data[i] == '\n';
    return count;
}

void LineCounter::feed(const char* data, size_t size, uint64_t offset) {
    if (size == 0) return;
    // Newlines at positions p with start - 1 <= p < end - 1 each begin a line
    // in the range, unless p is the source's last byte.
    const uint64_t low = start_ == 0 ? 0 : start_ - 1;
    const uint64_t high = end_ == 0 ? 0 : end_ - 1;
    uint64_t from = offset < low ? low : offset;
    uint64_t to = offset + size < high ? offset + size : high;
    if (from < to) newlines_ += count_newlines(data + (from - offset), static_cast<size_t>(to - from));
    size_ = offset + size;
    const uint64_t last = size_ - 1;
    last_is_counted_newline_ = data[size - 1] == '\n' && last >= low && last < high;
}

uint64_t LineCounter::finish() const {
    uint64_t count = newlines_;
    if (last_is_counted_newline_) --count;  // a final "\n" begins no line
    if (start_ == 0 && end_ > 0 && size_ > 0) ++count;  // the line at offset 0
    return count;
}

Region line_region(const char* data, size_t size, uint64_t start, uint64_t end) {
    // The first line beginning at or after `offset`.
    const auto line_start_from = [&](uint64_t offset) -> size_t {
        if (offset == 0) return 0;
        if (offset >= size) return size;
        const void* newline = std::memchr(data + offset - 1, '\n', size - (offset - 1));
        return newline == nullptr ? size : static_cast<size_t>(static_cast<const char*>(newline) - data) + 1;
    };
    const size_t begin = line_start_from(start);
    size_t stop = end >= size ? size : line_start_from(end);
    if (stop < begin) stop = begin;
    return {begin, stop};
}

size_t chunk_end(const char* data, size_t size, size_t target) {
    if (size <= target) return size;
    for (size_t i = target; i > 0; --i) {
        // memrchr is a GNU extension; a backward scan over one line is short.
        if (data[i - 1] == '\n') return i;
        if (target - i > 4096) break;
    }
    const void* newline = std::memchr(data + target, '\n', size - target);
    if (newline != nullptr) return static_cast<size_t>(static_cast<const char*>(newline) - data) + 1;
    return size;
}

}  // namespace kelvane::feed
