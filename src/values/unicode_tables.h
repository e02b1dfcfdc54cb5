// Generated Unicode property tables (see tools/gen_unicode_tables.py).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane {

struct CodePointRange {
    uint32_t first;
    uint32_t last;
};

extern const CodePointRange escaped_ranges[];
extern const size_t escaped_range_count;

}  // namespace kelvane
