// Finished Arrow columns: growable heap buffers and the column data they make
// up (validity bitmap, values or offsets, text bytes). Owned by shared batch
// objects and handed to Arrow consumers without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kelvane::feed {

// A growable byte buffer. Small ones live on the heap; from 64 KiB on they
// are mappings of their own, grown in place by mremap and given back to the
// system the moment they are freed, so that memory in use follows the data
// (an allocator's cached free space would make streaming reads grow).
// Allocation failure throws std::bad_alloc (the binding's MemoryError).
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          bound_(std::exchange(other.bound_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            bound_ = std::exchange(other.bound_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    ~Buffer() { release(); }

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }

    void reserve(size_t capacity);
    // The most the buffer may come to hold, when known: once it outgrows the
    // heap, it maps that much at once without touching it (only the pages
    // written take memory), so that it never moves or grows again.
    void bound(size_t most) { bound_ = most; }

    // Room for `extra` more bytes, growing by at least half.
    void ensure(size_t extra) {
        if (size_ + extra <= capacity_) return;
        grow(extra);
    }

    void append(const void* bytes, size_t count) {
        ensure(count);
        if (count != 0) std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }

    template <class T>
    void push(T value) {
        ensure(sizeof(T));
        std::memcpy(data_ + size_, &value, sizeof(T));
        size_ += sizeof(T);
    }

    // Appends `count` zero bytes.
    void append_zeros(size_t count) {
        ensure(count);
        std::memset(data_ + size_, 0, count);
        size_ += count;
    }

    void resize_down(size_t size) { size_ = size < size_ ? size : size_; }
    // Sets the size after bytes were written past it (within capacity).
    void set_size(size_t size) { size_ = size; }
    void clear() { size_ = 0; }

    // Gives back unused capacity.
    void shrink_to_fit();

private:
    void grow(size_t extra);
    void release();

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t bound_ = 0;
    bool mapped_ = false;
};

// One column of one batch. `validity` is empty when there is no null;
// `values` holds offsets (text), fixed-width values or value bits (bool);
// `data` holds text bytes.
struct ColumnData {
    int64_t length = 0;
    int64_t null_count = 0;
    Buffer validity;
    Buffer values;
    Buffer data;

    size_t byte_size() const { return validity.size() + values.size() + data.size(); }
};

inline bool bit_at(const uint8_t* bits, size_t index) { return (bits[index >> 3] >> (index & 7)) & 1; }

// Number of set bits among the first `count`.
inline int64_t count_set_bits(const uint8_t* bits, size_t count) {
    int64_t total = 0;
    size_t whole = count / 8;
    for (size_t i = 0; i < whole; ++i) total += __builtin_popcount(bits[i]);
    for (size_t i = whole * 8; i < count; ++i) total += bit_at(bits, i);
    return total;
}

}  // namespace kelvane::feed
