// The hash behind the zone-name lookup table. tools/gen_zones.py computes the
// same function to lay out the table; the generated source checks at compile
// time that both agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kelvane::zone_tables {

// FNV-1a over the bytes of the name.
constexpr uint64_t zone_name_hash(std::string_view name) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (char c : name) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3ULL;
    }
    return h;
}

// Final mixing of a displaced hash (splitmix64), so that the slot index takes
// all bits into account.
constexpr uint64_t zone_hash_mix(uint64_t h) {
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 31);
}

constexpr std::size_t zone_bucket_of(uint64_t h, std::size_t bucket_count) {
    return static_cast<std::size_t>((h >> 32) % bucket_count);
}

constexpr std::size_t zone_slot_of(uint64_t h, uint16_t displacement, std::size_t slot_count) {
    return static_cast<std::size_t>(zone_hash_mix(h + displacement * 0x9E3779B97F4A7C15ULL) % slot_count);
}

constexpr std::size_t zone_bucket(std::string_view name, std::size_t bucket_count) {
    return zone_bucket_of(zone_name_hash(name), bucket_count);
}

constexpr std::size_t zone_slot(std::string_view name, uint16_t displacement, std::size_t slot_count) {
    return zone_slot_of(zone_name_hash(name), displacement, slot_count);
}

}  // namespace kelvane::zone_tables
