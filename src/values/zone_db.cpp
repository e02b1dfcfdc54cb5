// Zone lookup through the generated perfect hash, and placement of local
// times by binary search over the periods' local ranges (precomputed by the
// generator).
#include "zone_db.h"

#include <cstring>

#include "values/zone_hash.h"
#include "zone_tables.h"

namespace kelvane {

namespace {

using namespace zone_tables;

bool contains(const Zone& zone, uint32_t k, int64_t local) {
    return zone.local_begins[k] <= local && local < zone.local_ends[k];
}

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
    // that only neighbouring ranges overlap, which makes this search exact.
    uint32_t low = 0;
    uint32_t high = zone.period_count;  // search [low, high)
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        if (local_seconds < zone.local_begins[mid]) {
            high = mid;
        } else if (local_seconds >= zone.local_ends[mid]) {
            low = mid + 1;
        } else {
            if ((mid > 0 && contains(zone, mid - 1, local_seconds)) ||
                (mid + 1 < zone.period_count && contains(zone, mid + 1, local_seconds))) {
                return {PlacementKind::overlap, 0};
            }
            return {PlacementKind::unique, zone.total_offsets[mid]};
        }
    }
    return {PlacementKind::gap, 0};
}

}  // namespace kelvane
