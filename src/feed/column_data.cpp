// Buffer storage: the heap for small buffers, private anonymous mappings for
// large ones.
#include "column_data.h"

#include <sys/mman.h>
#include <unistd.h>

namespace kelvane::feed {
namespace {

constexpr size_t map_from = size_t{64} << 10;

size_t page_rounded(size_t size) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

uint8_t* map(size_t size, bool populate = true) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return static_cast<uint8_t*>(memory);
}

}  // namespace

void Buffer::release() {
    if (data_ == nullptr) return;
    if (mapped_) {
        munmap(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    mapped_ = false;
}

void Buffer::reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity < map_from) {
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<uint8_t*>(grown);
        capacity_ = capacity;
        return;
    }
    capacity = page_rounded(capacity);
    if (mapped_) {
        void* moved = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<uint8_t*>(moved);
    } else {
        uint8_t* memory = map(capacity);
        if (size_ != 0) std::memcpy(memory, data_, size_);
        std::free(data_);
        data_ = memory;
        mapped_ = true;
    }
    capacity_ = capacity;
}

void Buffer::grow(size_t extra) {
    if (extra > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    size_t target = capacity_ + capacity_ / 2;
    if (target < size_ + extra) target = size_ + extra;
    if (target < 64) target = 64;
    if (!mapped_ && target >= map_from && bound_ >= target) {
        // Leaving the heap: the whole bound, mapped untouched.
        const size_t capacity = page_rounded(bound_);
        uint8_t* memory = map(capacity, false);
        if (size_ != 0) std::memcpy(memory, data_, size_);
        std::free(data_);
        data_ = memory;
        capacity_ = capacity;
        mapped_ = true;
        return;
    }
    reserve(target);
}

void Buffer::shrink_to_fit() {
    if (data_ == nullptr) return;
    if (size_ == 0) {
        release();
        return;
    }
    if (!mapped_) {
        if (capacity_ == size_) return;
        if (void* shrunk = std::realloc(data_, size_)) {
            data_ = static_cast<uint8_t*>(shrunk);
            capacity_ = size_;
        }
        return;
    }
    if (size_ < map_from / 2) {
        // Small now: back to the heap.
        void* memory = std::malloc(size_);
        if (memory == nullptr) return;
        std::memcpy(memory, data_, size_);
        munmap(data_, capacity_);
        data_ = static_cast<uint8_t*>(memory);
        capacity_ = size_;
        mapped_ = false;
        return;
    }
    const size_t rounded = page_rounded(size_);
    if (rounded < capacity_) {
        munmap(data_ + rounded, capacity_ - rounded);
        capacity_ = rounded;
    }
}

}  // namespace kelvane::feed
