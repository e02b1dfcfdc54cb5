// The messages of field failures; the conversions themselves are inline in
// field_convert.h, so that each sink's loop calls them directly.
#include "field_convert.h"

namespace kelvane {

const char* unrepresentable_message(const Field& field) {
    // Only dates can be out of the caller's reach (years it cannot hold).
    if (std::holds_alternative<DatetimeField>(field)) return "Does not parse as datetime";
    if (std::holds_alternative<DateField>(field)) return "Does not parse as date";
    if (std::holds_alternative<TimeField>(field)) return "Does not parse as time";
    return "Value cannot be represented";
}

std::string field_failure_message(const char* kind_message, std::string_view text, const Field& field) {
    std::string message(kind_message);
    message += " - '";
    message += text;
    message += "' given schema: ";
    message += describe_field(field);
    return message;
}

}  // namespace kelvane
