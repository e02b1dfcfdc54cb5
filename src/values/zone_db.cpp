// Zone lookup through the generated perfect hash, and placement of local
// times by a binary search over the periods' local ranges (precomputed by the
// generator).
#include "zone_db.h"

#include <cstring>

#include "values/zone_hash.h"
#include "zone_tables.h"

namespace kelvane {

namespace {

using namespace zone_tables;

}  // namespace

const Zone* find_zone(std::string_view name) {
    // Longer names cannot match; this also keeps the hash bounded.
    if (name.empty() || name.size() > longest_name) return nullptr;
    const uint64_t h = zone_name_hash(name);
    const uint16_t candidate = slots[zone_slot_of(h, displacements[zone_bucket_of(h, bucket_count)], slot_count)];
    if (candidate == empty_slot) return nullptr;
    const NameEntry& entry = names[candidate];
    if (entry.length != name.size() || std::memcmp(name_bytes + entry.offset, name.data(), name.size()) != 0) {
        return nullptr;
    }
    return &zones[entry.zone];
}

Placement place_in_zone(const Zone& zone, int64_t local_seconds) {
    // The generator checks that range beginnings and ends both increase and
    // that only neighbouring ranges overlap. So the first period whose range
    // ends after the time is the only candidate besides the next one: it
    // holds the time unless the time falls in a gap before it, and the next
    // period holds it too exactly in an overlap. The search for it has no
    // branch on the data (the last end is INT64_MAX, so it exists).
    const int64_t* const ends = zone.local_ends;
    const int64_t* base = ends;
    for (uint32_t length = zone.period_count; length > 1;) {
        const uint32_t half = length / 2;
        base = base[half - 1] <= local_seconds ? base + half : base;
        length -= half;
    }
    const auto k = static_cast<uint32_t>(base - ends) + (*base <= local_seconds ? 1u : 0u);
    if (local_seconds < zone.local_begins[k]) return {PlacementKind::gap, 0};
    if (k + 1 < zone.period_count && zone.local_begins[k + 1] <= local_seconds) return {PlacementKind::overlap, 0};
    return {PlacementKind::unique, zone.total_offsets[k]};
}

}  // namespace kelvane
