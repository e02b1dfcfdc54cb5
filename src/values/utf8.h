// UTF-8 decoding and character sets over code points. Decoding is total: a
// malformed sequence yields U+FFFD for one byte, so no input can overrun.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kelvane {

constexpr uint32_t replacement_character = 0xFFFD;

// Decodes the code point at `p` (p < end) and advances `p` past it.
inline uint32_t decode_utf8(const char*& p, const char* end) {
    const auto byte = [&](std::ptrdiff_t i) { return static_cast<uint8_t>(p[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        ++p;
        return lead;
    }
    int length;
    uint32_t cp;
    uint32_t min;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        ++p;
        return replacement_character;
    }
    if (end - p < length) {
        ++p;
        return replacement_character;
    }
    for (int i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            ++p;
            return replacement_character;
        }
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++p;
        return replacement_character;
    }
    p += length;
    return cp;
}

// True when every byte of `text` is ASCII; eight bytes at a time.
inline bool is_ascii(std::string_view text) {
    const char* p = text.data();
    size_t left = text.size();
    uint64_t any = 0;
    for (; left >= 8; p += 8, left -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        any |= word;
    }
    for (; left > 0; ++p, --left) any |= static_cast<uint8_t>(*p);
    return (any & 0x8080808080808080u) == 0;
}

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values
// beyond U+10FFFF). A malformed sequence decodes as U+FFFD over one byte, the
// real U+FFFD over three.
inline bool is_valid_utf8(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* start = p;
        if (decode_utf8(p, end) == replacement_character && p - start != 3) return false;
    }
    return true;
}

// A set of code points given as a text; ASCII members are a bitmap.
class CharSet {
public:
    CharSet() = default;
    explicit CharSet(std::string_view text) {
        const char* p = text.data();
        const char* end = p + text.size();
        while (p < end) {
            const uint32_t cp = decode_utf8(p, end);
            if (cp < 128) {
                ascii_[cp >> 6] |= uint64_t{1} << (cp & 63);
            } else {
                others_.push_back(cp);
            }
        }
        std::sort(others_.begin(), others_.end());
    }

    bool contains(uint32_t cp) const {
        if (cp < 128) return (ascii_[cp >> 6] >> (cp & 63)) & 1;
        return std::binary_search(others_.begin(), others_.end(), cp);
    }

    // True when some character of `text` is in the set.
    bool intersects(std::string_view text) const {
        const char* p = text.data();
        const char* end = p + text.size();
        if (others_.empty()) {
            // Only ASCII members: bytes of multi-byte characters never match.
            for (; p < end; ++p) {
                const auto b = static_cast<uint8_t>(*p);
                if (b < 128 && ((ascii_[b >> 6] >> (b & 63)) & 1)) return true;
            }
            return false;
        }
        while (p < end) {
            if (contains(decode_utf8(p, end))) return true;
        }
        return false;
    }

private:
    std::array<uint64_t, 2> ascii_{};
    std::vector<uint32_t> others_;
};

}  // namespace kelvane
