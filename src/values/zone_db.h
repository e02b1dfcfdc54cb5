// The built-in time zone database: lookup by exact name and placement of a
// local wall-clock time in a zone, telling gaps and overlaps apart.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvane {

// One zone as periods of constant total offset. Period 0 holds from the
// beginning of time; period k (k >= 1) from transition_instants[k - 1] on,
// in UTC seconds since 1970-01-01; the last period has no end. Links share
// their target's Zone.
struct Zone {
    const int64_t* transition_instants;  // period_count - 1 entries, increasing
    const int32_t* total_offsets;        // period_count entries, seconds east of UTC
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
