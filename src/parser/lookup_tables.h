// Constant-time lookups built once from a schema: a text to the position of
// its first occurrence in a list (record names, enum texts), and a set of
// 64-bit integers (integer enums). Open addressing with linear probing, at
// most three quarters full.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kelvane {

// Equality of two texts, without a library call for short ones.
inline bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k] != b[k]) return false;
    }
    return true;
}

// Hash of a text, eight bytes at a time: one multiplication a word. The last
// word is read with fixed-size loads (overlapping what came before when the
// text is longer; the length is in the hash).
inline uint64_t text_hash(std::string_view text) {
    constexpr uint64_t multiplier = 0x9E3779B97F4A7C15u;
    const char* p = text.data();
    const size_t size = text.size();
    uint64_t hash = size * multiplier;
    size_t left = size;
    for (; left > 8; p += 8, left -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        hash = (hash ^ word) * multiplier;
        hash ^= hash >> 29;
    }
    uint64_t word = 0;
    if (size >= 8) {
        std::memcpy(&word, text.data() + size - 8, 8);
    } else if (size >= 4) {
        uint32_t first;
        uint32_t last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + size - 4, 4);
        word = first | uint64_t{last} << 32;
    } else if (size > 0) {
        word = uint64_t{static_cast<unsigned char>(p[0])} | uint64_t{static_cast<unsigned char>(p[size / 2])} << 8 |
               uint64_t{static_cast<unsigned char>(p[size - 1])} << 16;
    }
    hash = (hash ^ word) * multiplier;
    return hash ^ (hash >> 32);
}

// Finds the first position of a text in a list of texts the caller keeps:
// `key(position)` gives the text at a position.
class TextIndex {
public:
    static constexpr uint32_t not_found = UINT32_MAX;

    TextIndex() = default;
    // Room for `count` texts (fewer than not_found).
    explicit TextIndex(size_t count) : slots_(capacity_for(count), 0), mask_(slots_.size() - 1) {}

    // Adds the text at `position` unless it is already there (an earlier
    // position keeps it).
    template <class Key>
    void insert(uint32_t position, std::string_view text, const Key& key) {
        if (find(text, key) != not_found) return;
        const uint64_t hash = text_hash(text);
        size_t at = hash & mask_;
        while (slots_[at] != 0) at = (at + 1) & mask_;
        slots_[at] = (hash & 0xFFFFFFFF00000000u) | (uint64_t{position} + 1);
    }

    template <class Key>
    uint32_t find(std::string_view text, const Key& key) const {
        if (slots_.empty()) return not_found;
        const uint64_t hash = text_hash(text);
        for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const uint64_t slot = slots_[at];
            if (slot == 0) return not_found;
            if (((slot ^ hash) >> 32) == 0) {
                const auto position = static_cast<uint32_t>(slot) - 1;
                if (same_text(key(position), text)) return position;
            }
        }
    }

    static size_t capacity_for(size_t count) {
        size_t capacity = 4;
        while (capacity / 4 * 3 < count) capacity *= 2;
        return capacity;
    }

private:
    // High half: the hash's high half; low half: position + 1 (0 is empty).
    std::vector<uint64_t> slots_;
    size_t mask_ = 0;
};

// A set of 64-bit integers.
class IntSet {
public:
    IntSet() = default;
    explicit IntSet(const std::vector<int64_t>& values) {
        // The empty marker is a value the set does not hold.
        empty_ = INT64_MIN;
        std::vector<int64_t> sorted(values);
        std::sort(sorted.begin(), sorted.end());
        for (const int64_t value : sorted) {
            if (value == empty_) ++empty_;
            else if (value > empty_) break;
        }
        slots_.assign(TextIndex::capacity_for(values.size()), empty_);
        mask_ = slots_.size() - 1;
        for (const int64_t value : values) {
            size_t at = slot_of(value);
            while (slots_[at] != empty_ && slots_[at] != value) at = (at + 1) & mask_;
            slots_[at] = value;
        }
    }

    bool contains(int64_t value) const {
        if (value == empty_ || slots_.empty()) return false;
        for (size_t at = slot_of(value);; at = (at + 1) & mask_) {
            if (slots_[at] == value) return true;
            if (slots_[at] == empty_) return false;
        }
    }

private:
    size_t slot_of(int64_t value) const {
        const uint64_t hash = static_cast<uint64_t>(value) * 0x9E3779B97F4A7C15u;
        return (hash ^ (hash >> 32)) & mask_;
    }

    std::vector<int64_t> slots_;
    size_t mask_ = 0;
    int64_t empty_ = INT64_MIN;
};

}  // namespace kelvane
