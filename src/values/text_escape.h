// The quoted, escaped form of a text used wherever messages show one:
// "a\"b\\c\t\u{301}".
#pragma once

#include <string>
#include <string_view>

namespace kelvane {

// Appends `text` in double quotes: backslash before '"' and '\', \t \r \n \0
// for those controls, \u{hex} for other non-printable characters and
// combining marks, everything else unchanged.
void append_quoted_text(std::string& out, std::string_view text);

}  // namespace kelvane
