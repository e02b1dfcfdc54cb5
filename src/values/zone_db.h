// The built-in time zone database: lookup by exact name and placement of a
// local wall-clock time in a zone, telling gaps and overlaps apart.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvane {

struct Zone;  // periods of one zone; defined with the generated tables

// Exact, case-sensitive name match; nullptr for an unknown name.
const Zone* find_zone(std::string_view name);

enum class PlacementKind { unique, gap, overlap };

struct Placement {
    PlacementKind kind;
    int32_t total_offset;  // seconds east of UTC; meaningful when unique
};

// `local_seconds`: the wall-clock time counted as if it were UTC seconds
// since 1970-01-01T00:00:00.
Placement place_in_zone(const Zone& zone, int64_t local_seconds);

}  // namespace kelvane
