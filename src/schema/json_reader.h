// RapidJSON as every walk over a schema text uses it: string lengths as wide
// as the text, a stream that reads to the text's real end, and an allocator
// that throws when memory runs out. Include it instead of RapidJSON's own
// headers, so that every translation unit sees the same SizeType.
#pragma once

// RapidJSON counts string lengths in SizeType; make it as wide as the text can
// be, so that no length wraps.
#define RAPIDJSON_NO_SIZETYPEDEFINE
#include <cstddef>
namespace rapidjson {
typedef ::std::size_t SizeType;
}  // namespace rapidjson

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <new>
#include <string_view>

namespace kelvane {

// RapidJSON reads through this stream. Unlike its StringStream it stops at
// the real end of the text rather than at the first NUL byte (Peek gives NUL
// there, which RapidJSON takes as the end), and it is not copied locally
// while strings and numbers are read, so Tell() is current in every handler
// callback.
class JsonTextStream {
public:
    using Ch = char;
    explicit JsonTextStream(std::string_view text)
        : begin_(text.data()), current_(text.data()), end_(text.data() + text.size()) {}
    Ch Peek() const { return current_ == end_ ? '\0' : *current_; }
    Ch Take() { return current_ == end_ ? '\0' : *current_++; }
    size_t Tell() const { return static_cast<size_t>(current_ - begin_); }
    // Write side, never used: the reader is not run in place.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

private:
    const char* begin_;
    const char* current_;
    const char* end_;
};

// RapidJSON's own allocator returns null when memory runs out and its stack
// then writes through it. This one allocates with operator new, which throws
// std::bad_alloc instead; the exception unwinds out of the reader, whose
// stack frees what it holds.
class ThrowingAllocator {
public:
    static const bool kNeedFree = true;
    void* Malloc(size_t size) { return size == 0 ? nullptr : ::operator new(size); }
    void* Realloc(void* original, size_t original_size, size_t new_size) {
        if (new_size == 0) {
            Free(original);
            return nullptr;
        }
        void* grown = ::operator new(new_size);
        if (original != nullptr) {
            std::memcpy(grown, original, original_size < new_size ? original_size : new_size);
            Free(original);
        }
        return grown;
    }
    static void Free(void* pointer) { ::operator delete(pointer); }
};

// Reads UTF-8 text through ThrowingAllocator; construct it with a pointer to
// one.
using JsonReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ThrowingAllocator>;

}  // namespace kelvane
