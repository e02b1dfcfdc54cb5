// ASCII character tests and the optional sign shared by the number readers.
#pragma once

namespace kelvane {

constexpr bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

constexpr bool is_hex_digit(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

constexpr char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Steps over an optional '+' or '-' at `p`; true when it was '-'.
constexpr bool take_sign(const char*& p, const char* end) {
    if (p != end && (*p == '+' || *p == '-')) return *p++ == '-';
    return false;
}

}  // namespace kelvane
