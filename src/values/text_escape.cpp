// Quoted text with escapes, as messages show texts.
#include "text_escape.h"

#include <cstdio>

#include "unicode_tables.h"
#include "utf8.h"

namespace kelvane {
namespace {

bool escaped_code_point(uint32_t cp) {
    size_t low = 0;
    size_t high = escaped_range_count;
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (cp < escaped_ranges[mid].first) {
            high = mid;
        } else if (cp > escaped_ranges[mid].last) {
            low = mid + 1;
        } else {
            return true;
        }
    }
    return false;
}

}  // namespace

void append_quoted_text(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const char* start = p;
        const uint32_t cp = decode_utf8(p, end);
        switch (cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (escaped_code_point(cp)) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
            out += buffer;
        } else {
            out.append(start, p);
        }
    }
    out += '"';
}

}  // namespace kelvane
