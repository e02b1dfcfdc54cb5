// Zone lookup through the generated perfect hash, and placement of local
// times by binary search over the periods' local ranges.
#include "zone_db.h"

#include <cstring>

#include "values/zone_hash.h"
#include "zone_tables.h"

namespace kelvane {

namespace {

using namespace zone_tables;

// Local range of period k: [begin, end), no lower bound for the first
// period and no upper bound for the last.
struct LocalRange {
    const Zone& zone;

    bool below(uint32_t k, int64_t local) const {
        return k > 0 && local < zone.transition_instants[k - 1] + zone.total_offsets[k];
    }
    bool at_or_past(uint32_t k, int64_t local) const {
        return k + 1 < zone.period_count && local >= zone.transition_instants[k] + zone.total_offsets[k];
    }
    bool contains(uint32_t k, int64_t local) const { return !below(k, local) && !at_or_past(k, local); }
};

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
    const LocalRange ranges{zone};
    uint32_t low = 0;
    uint32_t high = zone.period_count;  // search [low, high)
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        if (ranges.below(mid, local_seconds)) {
            high = mid;
        } else if (ranges.at_or_past(mid, local_seconds)) {
            low = mid + 1;
        } else {
            if ((mid > 0 && ranges.contains(mid - 1, local_seconds)) ||
                (mid + 1 < zone.period_count && ranges.contains(mid + 1, local_seconds))) {
                return {PlacementKind::overlap, 0};
            }
            return {PlacementKind::unique, zone.total_offsets[mid]};
        }
    }
    return {PlacementKind::gap, 0};
}

}  // namespace kelvane
