// ASCII character tests, the optional sign shared by the number readers, and
// runs of up to eight digits read as one word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvane {

constexpr bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

constexpr bool is_hex_digit(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

constexpr char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Steps over an optional '+' or '-' at `p`; true when it was '-'.
constexpr bool take_sign(const char*& p, const char* end) {
    if (p != end && (*p == '+' || *p == '-')) return *p++ == '-';
    return false;
}

// The `count` (0..8) bytes at `at` in a word, the first in the lowest byte,
// zero bytes above them. Reads no byte past them.
inline uint64_t load_up_to_eight(const char* at, size_t count) {
    uint64_t word = 0;
    if (count == 8) {
        std::memcpy(&word, at, 8);
    } else if (count >= 4) {
        uint32_t low;
        uint32_t high;
        std::memcpy(&low, at, 4);
        std::memcpy(&high, at + count - 4, 4);
        word = low | uint64_t{high} << (8 * (count - 4));
    } else {
        for (size_t k = 0; k < count; ++k) word |= uint64_t{static_cast<unsigned char>(at[k])} << (8 * k);
    }
    return word;
}

// The `count` (1..8) bytes at `at` in the high bytes of a word, the low
// bytes '0': a run of digits right-aligned in eight digit places. Reads no
// byte past the run.
inline uint64_t digit_word(const char* at, size_t count) {
    const uint64_t word = load_up_to_eight(at, count);
    if (count == 8) return word;
    return word << (8 * (8 - count)) | 0x3030303030303030u >> (8 * count);
}

// Every byte of the word is '0'..'9'.
constexpr bool is_eight_digits(uint64_t word) {
    return (((word + 0x4646464646464646u) | (word - 0x3030303030303030u)) & 0x8080808080808080u) == 0;
}

// The value of eight digits, the first in the lowest byte: pairs, then
// fours, then the whole, each step one multiplication.
constexpr uint32_t eight_digits_value(uint64_t word) {
    word -= 0x3030303030303030u;
    word = word * 10 + (word >> 8);
    constexpr uint64_t mask = 0x000000FF000000FFu;
    constexpr uint64_t hundreds = 100 + (1000000ull << 32);
    constexpr uint64_t ones = 1 + (10000ull << 32);
    return static_cast<uint32_t>(((word & mask) * hundreds + ((word >> 16) & mask) * ones) >> 32);
}

// 1..19 ASCII digits as a number (which fits 64 bits); false on a non-digit.
inline bool read_short_digits(const char* at, size_t count, uint64_t& value) {
    constexpr uint64_t powers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    size_t chunk = count - 8 * ((count - 1) / 8);  // 1..8, the rest in eights
    value = 0;
    for (size_t done = 0; done < count; done += chunk, chunk = 8) {
        const uint64_t word = digit_word(at + done, chunk);
        if (!is_eight_digits(word)) return false;
        value = value * powers[chunk] + eight_digits_value(word);
    }
    return true;
}

}  // namespace kelvane
