// Placeholder: decimals are not read yet.
#include "decimal.h"

namespace kelvane {

std::optional<Decimal> Decimal::from_str_exact(std::string_view) { return std::nullopt; }
std::optional<Decimal> Decimal::from_str(std::string_view) { return std::nullopt; }
std::optional<Decimal> Decimal::from_scientific(std::string_view) { return std::nullopt; }
Decimal Decimal::from_int64(int64_t) { return Decimal(); }
Decimal Decimal::from_uint64(uint64_t) { return Decimal(); }
Decimal Decimal::round_dp(uint32_t) const { return *this; }
size_t Decimal::write(char* buffer) const {
    buffer[0] = '0';
    return 1;
}
std::string Decimal::to_string() const { return "0"; }
int compare(const Decimal&, const Decimal&) { return 0; }

}  // namespace kelvane
