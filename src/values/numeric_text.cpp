// Placeholder: number texts are not read yet.
#include "numeric_text.h"

namespace kelvane {

std::optional<int128> parse_int(std::string_view) { return std::nullopt; }
std::optional<int64_t> parse_enum_int(std::string_view) { return std::nullopt; }
std::optional<double> parse_float(std::string_view) { return std::nullopt; }
int128 int_bound(double) { return 0; }
std::string format_float(double) { return "0.0"; }
std::string format_float_plain(double) { return "0"; }

}  // namespace kelvane
