// Standalone driver for the zone database: reads "HEXNAME LOCAL_SECONDS"
// lines and prints "unknown", "gap", "overlap" or "unique OFFSET" for each.
// The name is hex-encoded so that any bytes, NUL included, can be asked for.
#include <cstdint>
#include <iostream>
#include <string>

#include "values/zone_db.h"

int main() {
    std::string hex;
    long long local = 0;
    while (std::cin >> hex >> local) {
        std::string name;
        if (hex != "-") {
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
                name.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
        }
        const kelvane::Zone* zone = kelvane::find_zone(name);
        if (zone == nullptr) {
            std::cout << "unknown\n";
            continue;
        }
        const kelvane::Placement placement = kelvane::place_in_zone(*zone, local);
        switch (placement.kind) {
            case kelvane::PlacementKind::unique: std::cout << "unique " << placement.total_offset << '\n'; break;
            case kelvane::PlacementKind::gap: std::cout << "gap\n"; break;
            case kelvane::PlacementKind::overlap: std::cout << "overlap\n"; break;
        }
    }
    return 0;
}
