// The built-in time zone database: lookup by exact name and placement of a
// local wall-clock time in a zone, telling gaps and overlaps apart.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvane {

// One zone as periods of constant total offset, each with the range of
// wall-clock times it covers: [local_begins[k], local_ends[k]), in seconds
// since 1970-01-01T00:00:00 counted as if UTC. The first period has no
// beginning (INT64_MIN) and the last no end (INT64_MAX). Beginnings and ends
// both increase, and only neighbouring ranges overlap (a repeated hour) or
// leave a gap between them (a skipped hour). Links share their target's Zone.
struct Zone {
    const int64_t* local_begins;  // period_count entries each
    const int64_t* local_ends;
    const int32_t* total_offsets;  // seconds east of UTC
    uint32_t period_count;
};

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
